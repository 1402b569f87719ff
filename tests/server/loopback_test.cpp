// The real vantrel-server as a child process, with scripted members on loopback.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <string>

#include "tests/server/test_peer.h"

static const std::string T = "\x80";
static const int WAIT_MS = 5000;

// Reads one frame and compares it; the message names the member and shows both sides escaped.
static void expect_frame(peer *p, const std::string &who, const std::string &want) {
    std::string got;
    int status = peer_read_frame(p, &got, WAIT_MS);
    EXPECT_EQ(PEER_FRAME, status) << who << " expected \"" << printable(want) << "\"";
    EXPECT_EQ(printable(want), printable(got)) << "frame received by " << who;
}

static bool joined(peer *p, const server_process *sp, const char *address, const std::string &name,
                   int receive_buffer) {
    return peer_connect(p, sp, address, receive_buffer) && peer_hello(p, name);
}

TEST(server_loopback, members_see_the_same_relays_in_the_same_order) {
    const char *address = "127.0.0.2";
    server_process sp;
    ASSERT_TRUE(server_start(&sp, address));
    // "名無しさん" in Shift-JIS, written as bytes so the test does not depend on the charset.
    const std::string nanashi = "\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1";
    const std::string names[3] = {"Taro", nanashi, "Hanako"};
    peer p[3];
    std::string list;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(joined(&p[i], &sp, address, names[i], 0));
        list += names[i] + "\r\n";
        for (int j = 0; j <= i; j++) {
            expect_frame(&p[j], names[j], "e" + list);
        }
    }

    // Everyone talks at once; 0x00 and a lone Shift-JIS lead byte travel unchanged.
    const int LINES = 20;
    for (int n = 0; n < LINES; n++) {
        for (int i = 0; i < 3; i++) {
            std::string text = "line " + std::to_string(n) + std::string(1, '\0') + "\x83\r\n";
            ASSERT_TRUE(peer_send_frame(&p[i], text));
        }
    }
    std::string seen[3];
    for (int i = 0; i < 3; i++) {
        int next_from[3] = {0, 0, 0};
        for (int k = 0; k < 3 * LINES; k++) {
            std::string got;
            ASSERT_EQ(PEER_FRAME, peer_read_frame(&p[i], &got, WAIT_MS))
                << names[i] << " after " << k << " relays";
            seen[i] += got + T;
            int from = got.compare(0, 5, "dTaro") == 0     ? 0
                       : got.compare(0, 7, "dHanako") == 0 ? 2
                                                           : 1;
            std::string want = "d" + names[from] + ";line " + std::to_string(next_from[from]++) +
                               std::string(1, '\0') + "\x83\r\n";
            ASSERT_EQ(printable(want), printable(got)) << "each sender's lines keep their order";
        }
    }
    EXPECT_EQ(printable(seen[0]), printable(seen[1])) << "same relays, same order";
    EXPECT_EQ(printable(seen[0]), printable(seen[2])) << "same relays, same order";

    // A goodbye and an abrupt close both remove the member.
    ASSERT_TRUE(peer_send_frame(&p[1], "end\n"));
    EXPECT_TRUE(peer_wait_closed(&p[1], WAIT_MS));
    expect_frame(&p[0], "Taro", "eTaro\r\nHanako\r\n");
    expect_frame(&p[2], "Hanako", "eTaro\r\nHanako\r\n");
    peer_close(&p[2]);
    expect_frame(&p[0], "Taro", "eTaro\r\n");

    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    std::string log = server_log(&sp);
    EXPECT_NE(std::string::npos, log.find("(Hanako) joined")) << log;
    EXPECT_NE(std::string::npos, log.find("(Hanako) left")) << log;
    peer_close(&p[0]);
    peer_close(&p[1]);
}

TEST(server_loopback, a_wrong_identifier_gets_ver_err_and_is_closed) {
    const char *address = "127.0.0.3";
    server_process sp;
    ASSERT_TRUE(server_start(&sp, address));
    peer member;
    ASSERT_TRUE(joined(&member, &sp, address, "A", 0));
    expect_frame(&member, "A", "eA\r\n");

    // The last one says more right after its hello; ver_err must still arrive before the close.
    const std::string firsts[] = {"vantrel001;Taro" + T, "hello" + T, "end\n" + T,
                                  "vantrel000;x" + T + "chat\r\n" + T + std::string(20000, 'c')};
    for (const std::string &first : firsts) {
        peer p;
        ASSERT_TRUE(peer_connect(&p, &sp, address, 0));
        ASSERT_TRUE(peer_send(&p, first));
        expect_frame(&p, "refused " + printable(first.substr(0, 16)), "ver_err");
        EXPECT_TRUE(peer_wait_closed(&p, WAIT_MS)) << "closed after ver_err";
        peer_close(&p);
    }

    peer late;
    ASSERT_TRUE(joined(&late, &sp, address, "D", 0));
    expect_frame(&member, "A", "eA\r\nD\r\n");
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    std::string log = server_log(&sp);
    EXPECT_NE(std::string::npos, log.find("refused: wrong identifier")) << log;
    peer_close(&member);
    peer_close(&late);
}

TEST(server_loopback, a_member_that_stops_reading_is_dropped_while_others_chat) {
    const char *address = "127.0.0.4";
    server_process sp;
    ASSERT_TRUE(server_start(&sp, address));
    peer stalled, talker, listener;
    ASSERT_TRUE(joined(&stalled, &sp, address, "S", 4096));
    ASSERT_TRUE(joined(&talker, &sp, address, "T", 0));
    // Read before the next join: a list still unsent when a newer one comes is replaced.
    expect_frame(&talker, "T", "eS\r\nT\r\n");
    ASSERT_TRUE(joined(&listener, &sp, address, "L", 0));
    expect_frame(&talker, "T", "eS\r\nT\r\nL\r\n");
    expect_frame(&listener, "L", "eS\r\nT\r\nL\r\n");

    // Kernel buffers on both sides take a few megabytes before the server's own queue grows.
    const std::string line(60000, 'w');
    bool dropped = false;
    int sent = 0;
    for (; sent < 1000 && !dropped; sent++) {
        ASSERT_TRUE(peer_send_frame(&talker, line));
        peer *readers[2] = {&talker, &listener};
        for (peer *r : readers) {
            std::string got;
            ASSERT_EQ(PEER_FRAME, peer_read_frame(r, &got, WAIT_MS)) << "line " << sent;
            if (got[0] == 'e') {
                EXPECT_EQ(printable("eT\r\nL\r\n"), printable(got));
                dropped = true;
                ASSERT_EQ(PEER_FRAME, peer_read_frame(r, &got, WAIT_MS));
            }
            ASSERT_EQ(line.size() + 3, got.size()) << "relay of line " << sent;
        }
    }
    EXPECT_TRUE(dropped) << "still a member after " << sent << " lines of 60000 bytes";
    EXPECT_TRUE(peer_wait_closed(&stalled, WAIT_MS)) << "the stalled member's connection closes";

    ASSERT_TRUE(peer_send_frame(&listener, "still here\r\n"));
    expect_frame(&talker, "T", "dL;still here\r\n");
    expect_frame(&listener, "L", "dL;still here\r\n");
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    std::string log = server_log(&sp);
    EXPECT_NE(std::string::npos, log.find("(S) dropped: unsent output over 1 MiB")) << log;
    peer_close(&stalled);
    peer_close(&talker);
    peer_close(&listener);
}

TEST(server_loopback, oversized_frames_close_the_connection) {
    const char *address = "127.0.0.5";
    server_process sp;
    ASSERT_TRUE(server_start(&sp, address));
    peer a, b;
    ASSERT_TRUE(joined(&a, &sp, address, "A", 0));
    expect_frame(&a, "A", "eA\r\n");
    ASSERT_TRUE(joined(&b, &sp, address, std::string(40, 'B'), 0));
    expect_frame(&a, "A", "eA\r\n" + std::string(31, 'B') + "\r\n");
    ASSERT_TRUE(peer_send(&b, std::string(70000, 'x')));
    EXPECT_TRUE(peer_wait_closed(&b, WAIT_MS));
    expect_frame(&a, "A", "eA\r\n");
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    peer_close(&a);
    peer_close(&b);
}

TEST(server_loopback, a_stop_signal_sends_server_end_to_all_and_exits_0) {
    const int signals[] = {SIGTERM, SIGINT};
    for (int signal_number : signals) {
        const char *address = "127.0.0.6";
        server_process sp;
        ASSERT_TRUE(server_start(&sp, address));
        peer p[3];
        std::string list;
        for (int i = 0; i < 3; i++) {
            std::string name = "m" + std::to_string(i);
            ASSERT_TRUE(joined(&p[i], &sp, address, name, 0));
            list += name + "\r\n";
            for (int j = 0; j <= i; j++) {
                expect_frame(&p[j], "member", "e" + list);
            }
        }
        peer silent; // connected, never said hello
        ASSERT_TRUE(peer_connect(&silent, &sp, address, 0));
        usleep(100000); // let the server accept it before the signal

        EXPECT_EQ(0, server_stop(&sp, signal_number, WAIT_MS)) << "signal " << signal_number;
        for (int i = 0; i < 3; i++) {
            expect_frame(&p[i], "member", "dserver_end\n");
            EXPECT_TRUE(peer_wait_closed(&p[i], WAIT_MS));
            peer_close(&p[i]);
        }
        std::string got;
        EXPECT_EQ(PEER_CLOSED, peer_read_frame(&silent, &got, WAIT_MS)) << printable(got);
        peer_close(&silent);
    }
}
