// The room's rules without sockets: hellos, relays, member lists, goodbyes and the limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "server/room/room.h"
#include "tests/server/test_peer.h"

static const std::string T = "\x80";

static room *fresh_room(const room_rules *rules = NULL) {
    static room r;
    room_init(&r, rules);
    return &r;
}

// What the slot was sent since the last call, as if the socket took all of it.
static std::string take_output(room *r, int slot) {
    const char *bytes;
    std::string out;
    for (size_t count; (count = room_unsent(r, slot, &bytes)) > 0; room_sent(r, slot, count)) {
        out.append(bytes, count);
    }
    return out;
}

static void feed(room *r, int slot, const std::string &bytes, long long now_ms = 0) {
    room_receive(r, slot, bytes.data(), bytes.size(), now_ms);
}

// A connection from its own address, so the per-address cap stays out of the way.
static int open_from(room *r, int host, long long now_ms = 0) {
    std::string address = "10.0." + std::to_string(host / 256) + "." + std::to_string(host % 256);
    return room_open(r, (address + ":50000").c_str(), address.c_str(), now_ms);
}

static int join(room *r, const std::string &name) {
    static int host = 60000; // clear of the hosts the tests pick themselves
    int slot = open_from(r, ++host);
    feed(r, slot, "vantrel002;" + name + T);
    return slot;
}

TEST(room_members, member_frames_follow_joining_order_even_when_slots_are_reused) {
    room *r = fresh_room();
    int a = join(r, "A");
    EXPECT_EQ(printable("eA\r\n" + T), printable(take_output(r, a)));
    int b = join(r, "B");
    EXPECT_EQ(printable("eA\r\nB\r\n" + T), printable(take_output(r, a)));
    int c = join(r, "C");
    EXPECT_EQ(printable("eA\r\nB\r\nC\r\n" + T), printable(take_output(r, a)));
    take_output(r, b);
    take_output(r, c);

    feed(r, b, "end\n" + T);
    EXPECT_TRUE(room_wants_close(r, b));
    room_release(r, b);
    EXPECT_EQ(printable("eA\r\nC\r\n" + T), printable(take_output(r, a)));
    int d = join(r, "D");
    EXPECT_EQ(b, d) << "the freed slot is taken again";
    EXPECT_EQ(printable("eA\r\nC\r\nD\r\n" + T), printable(take_output(r, a)));
    EXPECT_EQ(printable("eA\r\nC\r\nD\r\n" + T), printable(take_output(r, c)))
        << "the list without B was never begun, so only the newest came";
    EXPECT_EQ(printable("eA\r\nC\r\nD\r\n" + T), printable(take_output(r, d)));
}

TEST(room_members, goodbye_and_hang_up_remove_only_members) {
    room *r = fresh_room();
    int a = join(r, "A");
    int b = join(r, "B");
    int waiting = open_from(r, 2);
    take_output(r, a);
    take_output(r, b);

    feed(r, b, "end\n " + T);
    EXPECT_EQ(printable("dB;end\r\n " + T), printable(take_output(r, a)))
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
                       "dTaro;\x83" + T + "dTaro;\r\n" + T + "dTaro;last\r\n" + T; // no empty one
    // A lone CR or LF becomes CR LF; 0x0D and 0x0A are never a second byte (あ, ア, a lead byte).
    lines += "a\rb\nc\n\r" + T + "\r\r\n\n" + T + "\x82\xa0\r\x83\x41\n\x82\r\n" + T +
             std::string("\0\r\0\n", 4) + T;
    want += "dTaro;a\r\nb\r\nc\r\n\r\n" + T + "dTaro;\r\n\r\n\r\n" + T +
            "dTaro;\x82\xa0\r\n\x83\x41\r\n\x82\r\n" + T + "dTaro;" +
            std::string("\0\r\n\0\r\n", 6) + T;
    const size_t chunks[] = {1, 2, 3, 7, 64, 100000};
    for (size_t chunk : chunks) {
        room *r = fresh_room();
        int listener = join(r, "L");
        int taro = open_from(r, 3);
        std::string stream = "vantrel002;Taro" + T + lines;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            feed(r, taro, stream.substr(at, chunk));
        }
        std::string got = take_output(r, listener);
        EXPECT_EQ(printable("eL\r\nTaro\r\n" + T + want), printable(got)) << "chunk size " << chunk;
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
        int s = open_from(r, 4);
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
    room_rules rules = {256, 8, 10000, 0, 0, 0, OUTPUT_LIMIT};
    room *r = fresh_room(&rules);
    int stalled1 = join(r, "S1");
    int talker = join(r, "T");
    int stalled2 = join(r, "S2");
    take_output(r, talker);
    const char *bytes;
    size_t before = room_unsent_length(r, stalled1); // the member frame of all three
    std::string line(1000, 'w');
    int sent = 0;
    while (room_reads(r, stalled1) && sent < 2000) {
        room_tick(r, sent); // one turn of the event loop each
        feed(r, talker, line + T);
        std::string got = take_output(r, talker);
        room_after_writes(r);
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
    EXPECT_EQ(printable("eT\r\n" + T + "dT;still here" + T), printable(take_output(r, talker)));
    EXPECT_NE(std::string::npos, r->log.find("(S2) dropped")) << r->log;
}

TEST(room_end, members_get_the_shutdown_notice_and_are_closed_after_it) {
    room *r = fresh_room();
    int a = join(r, "A");
    int b = join(r, "B");
    int waiting = open_from(r, 5);
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

// Who makes way for whom is checked on every open by the fuzz target; here, the log line.
TEST(room_limits, a_room_of_members_refuses_one_more) {
    room_rules rules = {2, 8, 10000, 0, 0, 0, 0}; // places, per address, hello timeout, no limits
    room *r = fresh_room(&rules);
    int m1 = join(r, "M1"), m2 = join(r, "M2");
    EXPECT_EQ(-1, open_from(r, 3, 500));
    EXPECT_NE(std::string::npos, r->log.find("10.0.0.3:50000 refused: room full")) << r->log;
    EXPECT_TRUE(room_reads(r, m1) && room_reads(r, m2));
}

TEST(room_limits, the_whole_slot_array_serves_the_most_places) {
    room_rules rules = {ROOM_MAX_PLACES + 100, 8, 10000, 0, 0, 0, 0}; // held to what slots serve
    room *r = fresh_room(&rules);
    for (int i = 0; i < ROOM_MAX_PLACES; i++) {
        ASSERT_EQ(i, open_from(r, i, i));
    }
    EXPECT_EQ(ROOM_MAX_PLACES, open_from(r, 5000, 5000)) << "the spare entry";
    EXPECT_TRUE(room_wants_close(r, 0));
    EXPECT_EQ(-1, open_from(r, 5001, 5001)) << "the displaced one is not released yet";
}

TEST(room_hello, the_deadline_counts_from_the_connect_whatever_trickles_in) {
    room_rules rules = {256, 8, 10000, 0, 0, 0, 0};
    room *r = fresh_room(&rules);
    EXPECT_EQ(-1, room_tick(r, 0)) << "nobody greeting, no deadline";
    int trickler = open_from(r, 1, 1000);
    int quick = open_from(r, 2, 3000);
    std::string hello = "vantrel002;Slow" + T;
    for (size_t i = 0; i + 1 < hello.size(); i++) {
        feed(r, trickler, hello.substr(i, 1));
        EXPECT_EQ(10000 - (long long)i, room_tick(r, 1000 + (long long)i));
    }
    feed(r, quick, "vantrel002;Quick" + T);
    EXPECT_EQ(1, room_tick(r, 10999));
    EXPECT_EQ(-1, room_tick(r, 11000));
    EXPECT_TRUE(room_wants_close(r, trickler));
    EXPECT_FALSE(room_wants_close(r, quick)) << "a member has no deadline";
    EXPECT_NE(std::string::npos, r->log.find("10.0.0.1:50000 closed: no hello")) << r->log;
    EXPECT_EQ(printable("eQuick\r\n" + T), printable(take_output(r, quick)));
}

TEST(room_hello, names_are_made_safe) {
    const std::string stand_in = "\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1";
    const std::string n30(30, 'n');
    struct {
        std::string name, want;
    } cases[] = {
        {"a;b", "a_b"},          {"x\r\ny", "x__y"}, {std::string("\0\x01\x1f\x7f ~", 6), "____ ~"},
        {"ab\x82", "ab"},        // a lead byte cut off from its second byte goes
        {n30 + "\x82\xa0", n30}, // the cut at 31 bytes leaves no half character either
        {"\x82;", "\x82_"},      // still one character to the client, as it was
        {"", stand_in},          {"\x82", stand_in}, {";", "_"},
    };
    for (const auto &c : cases) {
        std::string got = room_safe_name(c.name.data(), c.name.size());
        EXPECT_EQ(printable(c.want), printable(got)) << "name \"" << printable(c.name) << "\"";
    }
}

TEST(room_hello, a_name_already_present_gets_the_smallest_free_number) {
    const std::string boss = "\x8e\xd0\x92\xb7"; // 社長
    std::string fifteen;                         // fifteen two-byte characters
    for (int i = 0; i < 15; i++) {
        fifteen += "\x82\xa0";
    }
    room *r = fresh_room();
    join(r, boss);
    int second = join(r, boss);
    join(r, boss);
    join(r, fifteen + "x");
    join(r, "x" + fifteen);
    join(r, "observer");
    join(r, "\xfb\xfc\x8b\xb4"); // 髙橋 in IBM's rows
    join(r, "\xfa\x9c");         // 塚 in IBM's rows; NEC's ED 80 is sent escaped
    join(r, "&#x00E9&");         // é escaped, and an ampersand
    feed(r, second, "end\n" + T);
    room_release(r, second);
    // The base is cut to make room for the number, never inside a character.
    struct {
        std::string name, want;
    } cases[] = {
        {boss, boss + "(2)"},
        {fifteen + "x", fifteen.substr(0, 28) + "(2)"},
        {"x" + fifteen, "x" + fifteen.substr(0, 26) + "(2)"},
        {"x", "x"},
        // Look-alikes: NEC's rows, case with a space at the end, full width, an escape.
        {"\xee\xe0\x8b\xb4", "\xee\xe0\x8b\xb4(2)"},
        {"OBSERVER\x81\x40", "OBSERVER\x81\x40(2)"},
        {"\x82\x8f\x82\x82\x82\x93\x82\x85\x82\x92\x82\x96\x82\x85\x82\x92",
         "\x82\x8f\x82\x82\x82\x93\x82\x85\x82\x92\x82\x96\x82\x85\x82\x92(2)"},
        {"&#xFA10", "&#xFA10(2)"},
        {"&#x00e9&#x0026", "&#x00e9&#x0026(2)"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(printable(c.want), printable(room_unique_name(r, c.name)));
    }
}

// A member list nobody has begun to send is replaced by a newer one; relays stay where they are.
TEST(room_members, a_reader_behind_gets_only_the_newest_member_list) {
    room *r = fresh_room();
    int slow = join(r, "S");
    join(r, "A");
    int b = join(r, "B");
    EXPECT_EQ(printable("eS\r\nA\r\nB\r\n" + T), printable(take_output(r, slow)));

    feed(r, b, "one" + T);
    join(r, "C");
    feed(r, b, "two" + T);
    join(r, "D");
    EXPECT_EQ(printable("dB;one" + T + "dB;two" + T + "eS\r\nA\r\nB\r\nC\r\nD\r\n" + T),
              printable(take_output(r, slow)));

    // One byte out: that list stays whole, and only the newest follows it.
    join(r, "E");
    room_sent(r, slow, 1);
    join(r, "F");
    join(r, "G");
    EXPECT_EQ(printable("S\r\nA\r\nB\r\nC\r\nD\r\nE\r\n" + T +
                        "eS\r\nA\r\nB\r\nC\r\nD\r\nE\r\nF\r\nG\r\n" + T),
              printable(take_output(r, slow)));

    // The unsent part is moved down after a large send; the list is still found and replaced.
    std::string big(40000, 'w');
    feed(r, b, big + T + big + T);
    join(r, "H");
    room_sent(r, slow, 2 * (big.size() + 4));
    join(r, "I");
    EXPECT_EQ(printable("eS\r\nA\r\nB\r\nC\r\nD\r\nE\r\nF\r\nG\r\nH\r\nI\r\n" + T),
              printable(take_output(r, slow)));
}

// Frames past the line rate wait, in order, for their tokens; empty ones take a token too.  Each
// row: a tick of the event loop at that time, and the relays the listener has had by then.  Then
// past --max-buffered the member with the most unsent output goes, and only it.
TEST(room_limits, a_flood_waits_for_its_tokens_and_the_biggest_backlog_goes_first) {
    room_rules rules = {8, 8, 10000, 20, 0, 4000, 0}; // 20 lines a second, bursts of 40; 4000 bytes
    room *r = fresh_room(&rules);
    int listener = join(r, "L"), stalled = join(r, "S"), talker = join(r, "T");
    take_output(r, listener);
    std::string burst, want, got;
    for (int i = 0; i < 60; i++) { // every third one empty
        burst += (i % 3 == 2 ? "" : std::to_string(i)) + T;
        want += i % 3 == 2 ? "" : "dT;" + std::to_string(i) + T;
    }
    feed(r, talker, burst, 5000);
    const long long rows[][2] = {{5000, 27}, {5049, 27}, {5050, 28}, {5100, 28},
                                 {5500, 34}, {6000, 40}, {9000, 40}};
    for (const auto &row : rows) {
        room_tick(r, row[0]);
        got += take_output(r, listener);
        EXPECT_EQ(row[1], std::count(got.begin(), got.end(), T[0])) << "at " << row[0] << " ms";
    }
    EXPECT_EQ(printable(want), printable(got));
    take_output(r, stalled);
    for (int i = 0; i < 60 && room_reads(r, stalled); i++) {
        feed(r, talker, std::string(100, 'x') + T, 9000 + 100 * i);
        take_output(r, talker);
        i % 2 == 0 ? take_output(r, listener) : ""; // behind by a line at times
    }
    EXPECT_TRUE(room_wants_close(r, stalled) && room_reads(r, listener) && room_reads(r, talker));
    EXPECT_NE(std::string::npos, r->log.find("(S) dropped: the most unsent output")) << r->log;
}
