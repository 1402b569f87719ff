// The real vantrel-server as a child process, with scripted members on loopback.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "client/protocol.h"
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
    const char *address = "127.0.0.4", *options[] = {"--listen", address, "--byte-rate", "0", NULL};
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options));
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

static bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Joins and waits for the member frame that shows this member; returns the milliseconds it took,
// or -1.
static long long join_time(peer *p, const server_process *sp, const char *address,
                           const std::string &name, const char *from = NULL) {
    long long start = now_ms();
    if (!peer_connect(p, sp, address, 0, from) || !peer_hello(p, name)) {
        return -1;
    }
    std::string got;
    while (peer_read_frame(p, &got, WAIT_MS) == PEER_FRAME) {
        if (got[0] == 'e' && has(got, name + "\r\n")) {
            return now_ms() - start;
        }
    }
    return -1;
}

TEST(server_loopback, crowds_that_never_say_hello_do_not_keep_a_member_out) {
    struct {
        int addresses;
        const char *logged;
    } rows[] = {
        {1, "refused: over 8 connections from one address"},
        {300, "closed: room full, made way for a newcomer"},
    };
    for (const auto &row : rows) {
        server_process sp;
        ASSERT_TRUE(server_start(&sp, "127.0.0.20"));
        static peer crowd[300];
        for (int i = 0; i < 300; i++) {
            int host = i % row.addresses;
            std::string from =
                "127.1." + std::to_string(host / 200) + "." + std::to_string(host % 200 + 1);
            ASSERT_TRUE(peer_connect(&crowd[i], &sp, "127.0.0.20", 0, from.c_str())) << from;
        }
        peer member;
        long long took = join_time(&member, &sp, "127.0.0.20", "Real");
        printf("lock-out from %d address(es): the member joined after %lld ms\n", row.addresses,
               took);
        EXPECT_TRUE(took >= 0 && took < 2000) << row.addresses << " addresses: " << took << " ms";
        ASSERT_TRUE(peer_send_frame(&member, "in\r\n"));
        expect_frame(&member, "Real", "dReal;in\r\n");
        EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
        EXPECT_TRUE(has(server_log(&sp), row.logged)) << server_log(&sp);
        for (peer &p : crowd) {
            peer_close(&p);
        }
        peer_close(&member);
    }
}

TEST(server_loopback, the_hello_deadline_counts_from_the_connect) {
    const char *options[] = {"--listen", "127.0.0.21", "--hello-timeout", "1", NULL};
    // Sent a byte every 50 ms: silence, a hello that never ends, one finished within the second.
    const std::string trickles[] = {"", "vantrel002;Slow Taro is typing", "vantrel002;T\x80"};
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options));
    for (const std::string &trickle : trickles) {
        peer p;
        long long start = now_ms();
        ASSERT_TRUE(peer_connect(&p, &sp, "127.0.0.21", 0));
        for (size_t i = 0; i < trickle.size() && peer_send(&p, trickle.substr(i, 1)); i++) {
            usleep(50000);
        }
        std::string got;
        int status = peer_read_frame(&p, &got, 3000);
        long long took = now_ms() - start;
        if (&trickle == &trickles[2]) {
            EXPECT_EQ(PEER_FRAME, status);
        } else {
            printf("hello deadline 1 s, \"%s\": closed after %lld ms\n", trickle.c_str(), took);
            EXPECT_EQ(PEER_CLOSED, status) << trickle << ": " << printable(got);
            EXPECT_TRUE(took >= 900 && took <= 2500) << trickle << ": " << took << " ms";
        }
        peer_close(&p);
    }
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    EXPECT_TRUE(has(server_log(&sp), "closed: no hello in time")) << server_log(&sp);
}

// Who gets in on which listening address, and how the log names the peer.
TEST(server_loopback, ipv6_dual_stack_and_allow) {
    struct {
        const char *options[5]; // none: the dual-stack default, open to all
        const char *to, *from;
        bool admitted;
        const char *logged;
    } rows[] = {
        {{NULL}, "127.0.0.1", NULL, true, " 127.0.0.1:"},
        {{NULL}, "::1", NULL, true, " [::1]:"},
        {{"--listen", "::1"}, "::1", NULL, true, " [::1]:"},
        {{"--listen", "127.0.0.23"}, "127.0.0.23", NULL, true, " 127.0.0.1:"},
        {{"--allow", "127.0.4.0/23", "--allow", "::1/128"}, "127.0.0.1", "127.0.5.9", true, ""},
        {{"--allow", "127.0.4.0/23", "--allow", "::1/128"}, "127.0.0.1", "127.0.6.9", false, ""},
        {{"--allow", "127.0.4.0/23", "--allow", "::1/128"}, "::1", NULL, true, ""},
        {{"--allow", "::ffff:127.0.6.0/120", "--allow", "10.0.0.0/8"},
         "127.0.0.1",
         "127.0.6.1",
         true,
         ""},
        {{"--allow", "::ffff:127.0.6.0/120", "--allow", "10.0.0.0/8"}, "::1", NULL, false, ""},
    };
    for (const auto &row : rows) {
        std::string what = "row " + std::to_string(&row - rows);
        server_process sp;
        ASSERT_TRUE(server_start_with(&sp, row.options)) << what;
        peer p;
        EXPECT_EQ(row.admitted, join_time(&p, &sp, row.to, "V6", row.from) >= 0) << what;
        EXPECT_TRUE(row.admitted || peer_wait_closed(&p, WAIT_MS)) << what << ": closed at once";
        EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
        std::string log = server_log(&sp);
        EXPECT_TRUE(has(log, row.logged) && row.admitted == has(log, "(V6) joined") &&
                    row.admitted != has(log, "refused: address not allowed"))
            << what << "\n"
            << log;
        peer_close(&p);
    }
}

TEST(server_loopback, names_are_made_safe_and_unique_and_logged_readably) {
    const std::string shacho = "\x8e\xd0\x92\xb7"; // 社長 in Shift-JIS
    const std::string n23(23, 'n'), mu = "&#x30E0";
    struct {
        std::string sent, listed;
    } rows[] = {
        {"a;b\xfd", "a_b\xfd"}, // 0xFD is no character in code page 932
        {"x\r\ny\x7f", "x__y_"},
        {"ab\x82", "ab"},
        {"", "\x96\xbc\x96\xb3\x82\xb5\x82\xb3\x82\xf1"}, // 名無しさん
        {shacho, shacho},
        {shacho, shacho + "(2)"},
        {n23 + mu + mu, n23 + mu}, // ム escaped: never cut inside
        {n23 + mu + mu, n23 + "(2)"},
    };
    const char *address = "127.0.0.22";
    server_process sp;
    ASSERT_TRUE(server_start(&sp, address));
    peer p[sizeof rows / sizeof rows[0]];
    std::string list;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        ASSERT_TRUE(joined(&p[i], &sp, address, rows[i].sent, 0));
        list += rows[i].listed + "\r\n";
        expect_frame(&p[i], "joining as " + printable(rows[i].sent), "e" + list);
    }
    // The second 社長 sees its own relay under the name the others see.
    ASSERT_TRUE(peer_send_frame(&p[5], "hi\r\n"));
    std::string got;
    do {
        ASSERT_EQ(PEER_FRAME, peer_read_frame(&p[5], &got, WAIT_MS));
    } while (got[0] == 'e');
    EXPECT_EQ(printable("d" + shacho + "(2);hi\r\n"), printable(got));

    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    std::string log = server_log(&sp);
    // On Linux the log is UTF-8; the Windows console shows the Shift-JIS bytes as they are.
    std::string logged = server_under_wine() ? shacho : "\xe7\xa4\xbe\xe9\x95\xb7";
    EXPECT_TRUE(has(log, "(" + logged + ") joined as " + logged + "(2)")) << log;
    EXPECT_TRUE(has(log, server_under_wine() ? "(a_b\xfd) joined" : "(a_b?) joined")) << log;
    std::string logged_mu = server_under_wine() ? "\x83\x80" : "\xe3\x83\xa0";
    EXPECT_TRUE(has(log, "(" + n23 + logged_mu + ") joined as " + n23 + "(2)")) << log;
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
        end = log.find('\n', at) == std::string::npos ? log.size() : log.find('\n', at);
        std::string shape = log.substr(at, 20); // each digit as 9
        for (char &c : shape) {
            c = c >= '0' && c <= '9' ? '9' : c;
        }
        EXPECT_EQ("9999-99-99 99:99:99 ", shape) << "no time stamp: " << log.substr(at, end - at);
    }
    for (peer &q : p) {
        peer_close(&q);
    }
}

// Reads until each member has seen want, failing on other frames but lists; returns how many did.
static int all_see(peer *members, int count, const std::string &want) {
    int connected = 0;
    for (int i = 0; i < count; i++) {
        std::string got;
        int status;
        while ((status = peer_read_frame(&members[i], &got, WAIT_MS)) == PEER_FRAME &&
               got != want) {
            EXPECT_EQ('e', got[0]) << "member " << i << " got " << printable(got.substr(0, 60));
        }
        connected += status == PEER_FRAME;
    }
    return connected;
}

// The hello and 32,000 empty frames in one write once dropped every member: they were all queued
// before anything was written.  Empty frames are not relayed, and with --line-rate 0 nothing
// holds the next line back.
TEST(server_loopback, a_burst_in_one_write_drops_no_member) {
    const char *options[] = {"--listen", "127.0.0.25", "--per-address", "64", "--line-rate",
                             "0",        NULL};
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options));
    static peer members[50];
    for (int i = 0; i < 50; i++) {
        ASSERT_TRUE(joined(&members[i], &sp, "127.0.0.25", "m" + std::to_string(i), 0));
    }
    peer flooder;
    const std::string name(31, 'f');
    ASSERT_TRUE(peer_connect(&flooder, &sp, "127.0.0.25", 0));
    ASSERT_TRUE(
        peer_send(&flooder, "vantrel002;" + name + T + std::string(32000, '\x80') + "x" + T));
    EXPECT_EQ(50, all_see(members, 50, "d" + name + ";x"));
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    for (peer &p : members) {
        peer_close(&p);
    }
    peer_close(&flooder);
}

// A log nobody reads: standard error is a full pipe.  The room goes on, and a stop still ends it.
TEST(server_loopback, a_log_nobody_reads_stops_neither_the_chat_nor_the_end) {
    const char *options[] = {"--listen", "127.0.0.26", "--allow", "127.0.0.1", NULL};
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options, 0, true));
    for (int i = 0; i < 150; i++) { // a refusal line each, more than the pipe holds
        peer refused;
        std::string from = "127.0.12." + std::to_string(i + 1);
        ASSERT_TRUE(peer_connect(&refused, &sp, "127.0.0.26", 0, from.c_str())) << from;
        EXPECT_TRUE(peer_wait_closed(&refused, WAIT_MS)) << from;
        peer_close(&refused);
    }
    peer a, b;
    ASSERT_TRUE(joined(&a, &sp, "127.0.0.26", "A", 0) && joined(&b, &sp, "127.0.0.26", "B", 0));
    EXPECT_EQ(1, all_see(&a, 1, "eA\r\nB\r\n"));
    ASSERT_TRUE(peer_send_frame(&a, "still talking\r\n"));
    EXPECT_EQ(1, all_see(&b, 1, "dA;still talking\r\n"));
    long long asked = now_ms();
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    printf("log on a full pipe: the server ended %lld ms after SIGTERM\n", now_ms() - asked);
    EXPECT_LE(now_ms() - asked, 1500);
    peer_close(&a);
    peer_close(&b);
    close(sp.log_fd);
}

// Runs a shell command (ip, nsenter); true when it succeeded.
static bool run(const std::string &command) {
    int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A member floods 60 KB lines at 1.3 MB/s (22 a second; --line-rate 100 leaves only the byte rate
// to hold it back) for two seconds.  --byte-rate 256 keeps what it gets through below the 300 KB/s
// another member reads; small send buffers keep the kernel from hiding the backlog.  The reader
// is never dropped and gets every line, in order.
TEST(server_loopback, a_flood_of_bytes_waits_and_pushes_no_reader_out) {
    ASSERT_STREQ("1", getenv("VANTREL_IN_SANDBOX")) << "this test sets the network's tcp_wmem";
    ASSERT_TRUE(run("echo 4096 16384 65536 >/proc/sys/net/ipv4/tcp_wmem"));
    const char *address = "127.0.0.28";
    const char *options[] = {"--listen", address, "--line-rate", "100", "--byte-rate", "256", NULL};
    server_process sp;
    peer reader, flooder;
    ASSERT_TRUE(server_start_with(&sp, options) && joined(&reader, &sp, address, "R", 16384) &&
                joined(&flooder, &sp, address, "F", 0));
    std::string out, got; // the flooder's bytes not yet written; the reader's last frame
    int queued = 0, relayed = 0, status = PEER_TIMEOUT, in_order = 1;
    long long start = now_ms(), read = 0, ms;
    while (relayed < 44 && status != PEER_CLOSED && (ms = now_ms() - start) < 30000) {
        for (; queued < 44 && queued * 1000 / 22 <= ms; queued++) {
            out += std::to_string(queued) + std::string(60000, 'w') + T;
        }
        ssize_t n = send(flooder.fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        out.erase(0, n > 0 ? (size_t)n : 0);
        char chunk[65536];
        while (recv(flooder.fd, chunk, sizeof chunk, MSG_DONTWAIT) > 0) { // its own relays
        }
        read = read > ms * 300 - 65536 ? read : ms * 300 - 65536; // 300 bytes a ms at most
        while (read < ms * 300 && (status = peer_read_frame(&reader, &got, 0)) == PEER_FRAME) {
            read += (long long)got.size() + 1;
            std::string want = "dF;" + std::to_string(relayed) + std::string(60000, 'w');
            in_order = in_order && (got[0] != 'd' || got == want);
            relayed += got[0] == 'd';
        }
        usleep(1000);
    }
    printf("60 KB lines at 1.3 MB/s, --byte-rate 256: a 300 KB/s reader had %d of 44 in %lld ms\n",
           relayed, now_ms() - start);
    EXPECT_TRUE(relayed == 44 && in_order)
        << (status == PEER_CLOSED ? "the reader was closed" : "");
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    EXPECT_FALSE(has(server_log(&sp), "dropped")) << server_log(&sp);
    run("echo 4096 16384 4194304 >/proc/sys/net/ipv4/tcp_wmem"); // the kernel's default
    peer_close(&reader);
    peer_close(&flooder);
}

TEST(server_network, a_member_whose_link_goes_down_leaves_within_twice_the_keepalive) {
    ASSERT_STREQ("1", getenv("VANTREL_IN_SANDBOX"))
        << "this test adds network links; run it inside scripts/sandbox";
    // The far member sits on the other end of a veth pair, in a network namespace of its own: a
    // PC whose link can be cut without its connection ever being closed.
    int home = open("/proc/self/ns/net", O_RDONLY);
    ASSERT_EQ(0, unshare(CLONE_NEWNET));
    int far = open("/proc/self/ns/net", O_RDONLY);
    ASSERT_EQ(0, setns(home, CLONE_NEWNET));
    const std::string far_net = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(far);
    const std::string in_far = "nsenter --net=" + far_net + " ";
    for (bool data_for_it : {false, true}) {
        ASSERT_TRUE(run("ip link add vt0 type veth peer name vt1 && ip link set vt1 netns " +
                        far_net +
                        " && ip addr add 10.231.0.1/24 dev vt0 && ip link set vt0 up && " + in_far +
                        "sh -c 'ip addr add 10.231.0.2/24 dev vt1 && ip link set vt1 up'"));
        const char *options[] = {"--keepalive", "2", NULL};
        server_process sp;
        ASSERT_TRUE(server_start_with(&sp, options));
        peer ghost, near; // the ghost never reads or closes
        ASSERT_EQ(0, setns(far, CLONE_NEWNET));
        bool far_joined = joined(&ghost, &sp, "10.231.0.1", "Ghost", 0);
        ASSERT_EQ(0, setns(home, CLONE_NEWNET));
        ASSERT_TRUE(far_joined);
        ASSERT_TRUE(joined(&near, &sp, "127.0.0.1", "Near", 0));
        expect_frame(&near, "Near", "eGhost\r\nNear\r\n");
        long long cut = now_ms();
        ASSERT_TRUE(run(in_far + "ip link set vt1 down"));
        if (data_for_it) {
            ASSERT_TRUE(peer_send_frame(&near, "are you there?\r\n"));
        }
        std::string got;
        while (peer_read_frame(&near, &got, 6000) == PEER_FRAME && got[0] != 'e') {
        }
        long long took = now_ms() - cut;
        printf("vanished member, %s, --keepalive 2: removed %lld ms after its link went down\n",
               data_for_it ? "mid-relay" : "idle", took);
        EXPECT_EQ(printable("eNear\r\n"), printable(got)) << "data for it: " << data_for_it;
        EXPECT_LE(took, 4000) << "data for it: " << data_for_it;
        EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
        run("ip link del vt0");
        peer_close(&ghost);
        peer_close(&near);
    }
    close(far);
    close(home);
}

TEST(server_network, running_out_of_descriptors_pauses_accepting_without_spinning) {
    const char *options[] = {"--listen", "127.0.0.24", NULL};
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options, 32));
    static peer crowd[60];
    for (int i = 0; i < 60; i++) {
        std::string from = "127.3.0." + std::to_string(i + 1);
        ASSERT_TRUE(peer_connect(&crowd[i], &sp, "127.0.0.24", 0, from.c_str())) << from;
    }
    long long cpu_ns[2]; // the server's CPU time, from its scheduler figures
    for (long long &ns : cpu_ns) {
        usleep(&ns == cpu_ns ? 300000 : 1000000);
        FILE *f = fopen(("/proc/" + std::to_string(sp.pid) + "/schedstat").c_str(), "r");
        ASSERT_TRUE(f != NULL && fscanf(f, "%lld", &ns) == 1);
        fclose(f);
    }
    printf("out of descriptors: the server ran %lld ms in the second it was paused\n",
           (cpu_ns[1] - cpu_ns[0]) / 1000000);
    EXPECT_LT(cpu_ns[1] - cpu_ns[0], 200000000) << "the server spins on the listener";
    for (peer &p : crowd) {
        peer_close(&p);
    }
    peer member;
    EXPECT_GE(join_time(&member, &sp, "127.0.0.24", "After"), 0);
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    std::string log = server_log(&sp);
    const std::string paused = "not accepting: out of file descriptors";
    EXPECT_TRUE(has(log, "warning: the open-file limit is 32")) << log;
    EXPECT_TRUE(has(log, paused)) << log;
    EXPECT_EQ(log.find(paused), log.rfind(paused)) << "logged once\n" << log;
    peer_close(&member);
}

// A stored line, its time written as "T" once checked to be a few seconds old.
static void expect_line(peer *p, const std::string &who, const std::string &want) {
    std::string got;
    EXPECT_EQ(PEER_FRAME, peer_read_frame(p, &got, WAIT_MS)) << who << " expected " << want;
    size_t from = got.find(';') + 1, to = got.find(';', from);
    EXPECT_LE(llabs(atoll(got.c_str() + from) - (long long)time(NULL)), 5) << printable(got);
    EXPECT_EQ(want, got.substr(0, from) + "T" + got.substr(to)) << "frame received by " << who;
}

TEST(server_loopback, history_catches_up_across_a_kill_and_a_resent_line_is_relayed_once) {
    char folder[] = "/tmp/vantrel-history-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    // A folder to make whose name ends in 0x5C in Shift-JIS (表), which is no separator.
    const std::string file = server_path(std::string(folder) + "/\xe8\xa1\xa8/history.sqlite3");
    const char *address = "127.0.0.27";
    const char *options[] = {"--listen", address, "--history-file", file.c_str(), NULL};
    const std::string token = "5d41402abc4b2a76b9719d911017c592";
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options));
    // Hanako's first connection: the hello at once, the registration when the offer has come.
    peer hanako, taro;
    ASSERT_TRUE(joined(&hanako, &sp, address, "Hanako", 0));
    expect_frame(&hanako, "Hanako", "eHanako\r\n");
    const std::string offer = hanako.offer;
    ASSERT_TRUE(peer_send_frame(&hanako, register_payload(token, "", -1)));
    expect_frame(&hanako, "Hanako", "fe;;0");
    ASSERT_TRUE(joined(&taro, &sp, address, "Taro", 0)); // a base client
    expect_frame(&hanako, "Hanako", "eHanako\r\nTaro\r\n");
    expect_frame(&taro, "Taro", "eHanako\r\nTaro\r\n");
    ASSERT_TRUE(peer_send_frame(&taro, "one\r\n"));
    expect_line(&hanako, "Hanako", "s1;T;Taro;one\r\n");
    ASSERT_TRUE(peer_send_frame(&hanako, numbered_line_payload(7, "mine\r\n")));
    expect_line(&hanako, "Hanako", "s2;T;Hanako;mine\r\n");
    expect_frame(&hanako, "Hanako", "a7");
    expect_frame(&taro, "Taro", "dTaro;one\r\n");
    expect_frame(&taro, "Taro", "dHanako;mine\r\n");
    // Her link goes before she has shown the acknowledgement; Taro talks on; the server is killed.
    peer_close(&hanako);
    expect_frame(&taro, "Taro", "eTaro\r\n");
    for (const char *line : {"two\r\n", "three\r\n"}) {
        ASSERT_TRUE(peer_send_frame(&taro, line));
        expect_frame(&taro, "Taro", std::string("dTaro;") + line);
    }
    EXPECT_EQ(-1, server_stop(&sp, SIGKILL, WAIT_MS));
    peer_close(&taro);

    ASSERT_TRUE(server_start_with(&sp, options));
    ASSERT_TRUE(joined(&taro, &sp, address, "Taro", 0));
    expect_frame(&taro, "Taro", "eTaro\r\n");
    // Her client registers before the hello, as it does once it has seen an offer.
    ASSERT_TRUE(peer_connect(&hanako, &sp, address, 0));
    ASSERT_TRUE(peer_send_frame(&hanako, register_payload(token, offer.substr(3), 2)));
    ASSERT_TRUE(peer_hello(&hanako, "Hanako"));
    expect_frame(&hanako, "Hanako", "eTaro\r\nHanako\r\n");
    EXPECT_EQ(offer, hanako.offer) << "the same file, the same numbering";
    expect_line(&hanako, "Hanako", "p3;T;Taro;two\r\n");
    expect_line(&hanako, "Hanako", "p4;T;Taro;three\r\n");
    expect_frame(&hanako, "Hanako", "fe;;4");
    expect_frame(&taro, "Taro", "eTaro\r\nHanako\r\n");
    // Her client sends line 7 again, stored before the kill, then a new one.
    ASSERT_TRUE(peer_send_frame(&hanako, numbered_line_payload(7, "mine\r\n")));
    ASSERT_TRUE(peer_send_frame(&hanako, numbered_line_payload(8, "again\r\n")));
    expect_frame(&hanako, "Hanako", "a7");
    expect_line(&hanako, "Hanako", "s5;T;Hanako;again\r\n");
    expect_frame(&hanako, "Hanako", "a8");
    expect_frame(&taro, "Taro", "dHanako;again\r\n");
    // Another program holds the store (seen natively only): Hanako's next line takes no new seq.
    sqlite3 *db = NULL;
    if (!server_under_wine() && sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL));
        ASSERT_TRUE(peer_send_frame(&taro, "four\r\n"));
        expect_frame(&hanako, "Hanako", "dTaro;four\r\n");
    }
    sqlite3_close(db);

    EXPECT_EQ(0, server_stop(&sp, SIGTERM, WAIT_MS));
    peer_close(&hanako);
    peer_close(&taro);
    EXPECT_EQ(0, system((std::string("rm -rf ") + folder).c_str()));
}
