// The room's rules without sockets: hellos, relays, member lists, goodbyes and the limits.
#include <gtest/gtest.h>

#include <string>

#include "server/room.h"
#include "tests/server/test_peer.h"

static const std::string T = "\x80";

static room *fresh_room(void) {
    static room r;
    room_init(&r);
    return &r;
}

// What the slot was sent since the last call, as if the socket took all of it.
static std::string take_output(room *r, int slot) {
    const char *bytes;
    size_t count = room_unsent(r, slot, &bytes);
    std::string out(bytes, count);
    room_sent(r, slot, count);
    return out;
}

static void feed(room *r, int slot, const std::string &bytes) {
    room_receive(r, slot, bytes.data(), bytes.size());
}

static int join(room *r, const std::string &name) {
    int slot = room_open(r, "127.0.0.1:1");
    feed(r, slot, "vantrel002;" + name + T);
    return slot;
}

TEST(room_members, member_frames_follow_joining_order_even_when_slots_are_reused) {
    room *r = fresh_room();
    int a = join(r, "A");
    int b = join(r, "B");
    int c = join(r, "C");
    EXPECT_EQ(printable("eA\r\n" + T + "eA\r\nB\r\n" + T + "eA\r\nB\r\nC\r\n" + T),
              printable(take_output(r, a)));
    take_output(r, b);
    take_output(r, c);

    feed(r, b, "end\n" + T);
    EXPECT_TRUE(room_wants_close(r, b));
    room_release(r, b);
    int d = join(r, "D");
    EXPECT_EQ(b, d) << "the freed slot is taken again";
    std::string want = "eA\r\nC\r\n" + T + "eA\r\nC\r\nD\r\n" + T;
    EXPECT_EQ(printable(want), printable(take_output(r, a)));
    EXPECT_EQ(printable(want), printable(take_output(r, c)));
    EXPECT_EQ(printable("eA\r\nC\r\nD\r\n" + T), printable(take_output(r, d)));
}

TEST(room_members, goodbye_and_hang_up_remove_only_members) {
    room *r = fresh_room();
    int a = join(r, "A");
    int b = join(r, "B");
    int waiting = room_open(r, "127.0.0.1:2");
    take_output(r, a);
    take_output(r, b);

    feed(r, b, "end\n " + T);
    EXPECT_EQ(printable("dB;end\n " + T), printable(take_output(r, a)))
        << "only the exact goodbye ends a membership";
    take_output(r, b);

    room_hang_up(r, waiting);
    EXPECT_TRUE(room_wants_close(r, waiting));
    EXPECT_EQ("", take_output(r, a)) << "a connection that never said hello is not announced";

    room_hang_up(r, b);
    EXPECT_TRUE(room_wants_close(r, b));
    EXPECT_EQ(printable("eA\r\n" + T), printable(take_output(r, a)));
    EXPECT_NE(std::string::npos, r->log.find("(B) left")) << r->log;
}

TEST(room_relays, frames_are_cut_the_same_whatever_the_chunking) {
    // 0x00 and a character cut by its 0x80 second byte pass through as they came.
    std::string lines = "hello\r\n" + T + std::string("a\0b\r\n", 5) + T + "\x83" + T + "\r\n" + T +
                        T + "last\r\n" + T;
    std::string want = "dTaro;hello\r\n" + T + "dTaro;" + std::string("a\0b\r\n", 5) + T +
                       "dTaro;\x83" + T + "dTaro;\r\n" + T + "dTaro;" + T + "dTaro;last\r\n" + T;
    const size_t chunks[] = {1, 2, 3, 7, 64, 100000};
    for (size_t chunk : chunks) {
        room *r = fresh_room();
        int listener = join(r, "L");
        int taro = room_open(r, "127.0.0.1:3");
        std::string stream = "vantrel002;Taro" + T + lines;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            feed(r, taro, stream.substr(at, chunk));
        }
        std::string got = take_output(r, listener);
        EXPECT_EQ(printable("eL\r\n" + T + "eL\r\nTaro\r\n" + T + want), printable(got))
            << "chunk size " << chunk;
        EXPECT_EQ(printable("eL\r\nTaro\r\n" + T + want), printable(take_output(r, taro)))
            << "the sender gets its own lines back, chunk size " << chunk;
    }
}

TEST(room_hello, anything_but_the_hello_is_refused_with_ver_err) {
    const std::string bad[] = {"vantrel001;Taro",
                               "vantrel002Taro",
                               "vantrel002",
                               "VANTREL002;x",
                               "",
                               "end\n",
                               std::string("\0vantrel002;x", 13)};
    for (const std::string &first : bad) {
        room *r = fresh_room();
        int member = join(r, "A");
        take_output(r, member);
        int s = room_open(r, "127.0.0.1:4");
        feed(r, s, first + T + "more\r\n" + T);
        EXPECT_EQ(printable("ver_err" + T), printable(take_output(r, s)))
            << "first frame \"" << printable(first) << "\"";
        EXPECT_FALSE(room_reads(r, s));
        EXPECT_TRUE(room_wants_close(r, s)) << "closed once ver_err is out";
        EXPECT_EQ("", take_output(r, member)) << "no relay, no member frame";
        EXPECT_NE(std::string::npos, r->log.find("refused")) << r->log;
    }
}

TEST(room_hello, names_are_cut_at_31_bytes_never_inside_a_character) {
    std::string sixteen_a; // sixteen two-byte characters; the sixteenth would end at byte 32
    for (int i = 0; i < 16; i++) {
        sixteen_a += "\x82\xa0";
    }
    struct {
        std::string name, want;
    } cases[] = {
        {std::string(40, 'n'), std::string(31, 'n')},
        {std::string(31, 'n'), std::string(31, 'n')},
        {"", ""},
        {"x;y", "x;y"},
        {sixteen_a, sixteen_a.substr(0, 30)},
        {"n" + sixteen_a, "n" + sixteen_a.substr(0, 30)},
        {"ab\x82", "ab\x82"}, // a lead byte with nothing after it is kept as it is
    };
    for (const auto &c : cases) {
        std::string got = room_cut_name(c.name.data(), c.name.size());
        EXPECT_EQ(printable(c.want), printable(got)) << "name \"" << printable(c.name) << "\"";
        EXPECT_LE(got.size(), NAME_LIMIT);
    }

    room *r = fresh_room();
    int s = join(r, std::string(40, 'n'));
    EXPECT_EQ(printable("e" + std::string(31, 'n') + "\r\n" + T), printable(take_output(r, s)));
}

TEST(room_limits, frames_over_64_kib_close_the_connection) {
    room *r = fresh_room();
    int a = join(r, "A");
    int b = join(r, "B");
    take_output(r, a);
    std::string biggest(FRAME_LIMIT, 'x');
    feed(r, b, biggest + T);
    EXPECT_EQ(FRAME_LIMIT + 3 + T.size(), take_output(r, a).size()) << "64 KiB exactly is relayed";
    EXPECT_TRUE(room_reads(r, b));

    // No terminator yet: the connection goes as soon as the frame cannot fit.
    feed(r, b, std::string(FRAME_LIMIT, 'y'));
    EXPECT_TRUE(room_reads(r, b));
    feed(r, b, "y");
    EXPECT_TRUE(room_wants_close(r, b));
    EXPECT_EQ(printable("eA\r\n" + T), printable(take_output(r, a)));

    int c = join(r, "C");
    take_output(r, a);
    feed(r, c, std::string(FRAME_LIMIT + 1, 'z') + T + "after" + T);
    EXPECT_TRUE(room_wants_close(r, c));
    EXPECT_EQ(printable("eA\r\n" + T), printable(take_output(r, a))) << "nothing after it relayed";
}

TEST(room_limits, members_that_stop_taking_output_are_dropped_and_the_rest_go_on) {
    room *r = fresh_room();
    int stalled1 = join(r, "S1");
    int talker = join(r, "T");
    int stalled2 = join(r, "S2");
    take_output(r, talker);
    const char *bytes;
    size_t before = room_unsent(r, stalled1, &bytes); // its three member frames
    std::string line(1000, 'w');
    int sent = 0;
    while (room_reads(r, stalled1) && sent < 2000) {
        feed(r, talker, line + T);
        std::string got = take_output(r, talker);
        sent++;
        if (room_reads(r, stalled1)) {
            ASSERT_EQ(printable("dT;" + line + T), printable(got)) << "line " << sent;
        }
    }
    EXPECT_TRUE(room_wants_close(r, stalled1));
    EXPECT_TRUE(room_wants_close(r, stalled2));
    EXPECT_EQ((OUTPUT_LIMIT - before) / (line.size() + 4) + 1, (size_t)sent)
        << "dropped on the line that passed 1 MiB";
    EXPECT_EQ(0u, room_unsent(r, stalled1, &bytes)) << "a dropped member's output is thrown away";

    feed(r, talker, "still here" + T);
    EXPECT_EQ(printable("dT;still here" + T), printable(take_output(r, talker)));
    EXPECT_NE(std::string::npos, r->log.find("(S2) dropped")) << r->log;
}

TEST(room_end, members_get_the_shutdown_notice_and_are_closed_after_it) {
    room *r = fresh_room();
    int a = join(r, "A");
    int b = join(r, "B");
    int waiting = room_open(r, "127.0.0.1:5");
    take_output(r, a);
    room_announce_end(r);
    EXPECT_TRUE(room_wants_close(r, waiting));
    EXPECT_FALSE(room_wants_close(r, a)) << "not before the notice is out";
    EXPECT_EQ(printable("dserver_end\n" + T), printable(take_output(r, a)));
    std::string b_out = take_output(r, b);
    EXPECT_EQ(printable("dserver_end\n" + T), printable(b_out.substr(b_out.size() - 13)));
    EXPECT_TRUE(room_wants_close(r, a));
    EXPECT_TRUE(room_wants_close(r, b));
    feed(r, a, "late\r\n" + T);
    EXPECT_EQ("", take_output(r, b)) << "nothing is relayed once the end is announced";
}

TEST(room_limits, a_full_room_refuses_one_more) {
    room *r = fresh_room();
    for (int i = 0; i < ROOM_SLOTS; i++) {
        ASSERT_EQ(i, room_open(r, "127.0.0.1:6"));
    }
    EXPECT_EQ(-1, room_open(r, "127.0.0.1:7"));
    EXPECT_NE(std::string::npos, r->log.find("127.0.0.1:7 refused: room full")) << r->log;
}
