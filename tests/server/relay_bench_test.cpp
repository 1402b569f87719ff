// Relay throughput with 50 members on loopback, each from a loopback address of its own so that
// the per-address cap stays at its default.  Disabled by default; run it with
//   server_tests --gtest_also_run_disabled_tests --gtest_filter='*throughput*'
// VANTREL_SERVER_PATH=PROGRAM measures another build of the server with the same members, and
// VANTREL_BENCH_HISTORY=off the server without its history (--history-days 0).
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <string>

#include "tests/server/test_peer.h"

static double now_seconds(void) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static size_t count_terminators(const char *bytes, size_t count) {
    size_t n = 0;
    const char *end = bytes + count;
    while ((bytes = (const char *)memchr(bytes, '\x80', (size_t)(end - bytes))) != NULL) {
        n++;
        bytes++;
    }
    return n;
}

enum { CLIENTS = 50, LINES_PER_ROUND = 100, ROUNDS = 100 };

// One round: every member sends its lines at once, and the round ends when every member has
// read every relay.  Non-blocking throughout, so no member's reading waits on another's writing.
static bool run_round(peer *p, const std::string *lines, double deadline) {
    size_t sent[CLIENTS] = {0};
    size_t frames[CLIENTS] = {0};
    const size_t want = (size_t)CLIENTS * LINES_PER_ROUND;
    size_t done = 0;
    while (done < CLIENTS) {
        if (now_seconds() > deadline) {
            return false;
        }
        pollfd fds[CLIENTS];
        for (int i = 0; i < CLIENTS; i++) {
            fds[i].fd = p[i].fd;
            fds[i].events = (short)(POLLIN | (sent[i] < lines[i].size() ? POLLOUT : 0));
            fds[i].revents = 0;
        }
        if (poll(fds, CLIENTS, 1000) <= 0) {
            continue;
        }
        for (int i = 0; i < CLIENTS; i++) {
            if ((fds[i].revents & POLLOUT) && sent[i] < lines[i].size()) {
                ssize_t n = send(p[i].fd, lines[i].data() + sent[i], lines[i].size() - sent[i],
                                 MSG_NOSIGNAL);
                if (n > 0) {
                    sent[i] += (size_t)n;
                }
            }
            if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
                char chunk[65536];
                ssize_t n = recv(p[i].fd, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    ADD_FAILURE() << "member " << i << " was disconnected";
                    return false;
                }
                bool was_done = frames[i] >= want;
                frames[i] += count_terminators(chunk, (size_t)n);
                if (!was_done && frames[i] >= want) {
                    done++;
                }
            }
        }
    }
    for (int i = 0; i < CLIENTS; i++) {
        EXPECT_EQ(want, frames[i]) << "relays read by member " << i;
    }
    return true;
}

TEST(server_bench, DISABLED_relay_throughput_with_50_clients) {
    const char *history = getenv("VANTREL_BENCH_HISTORY");
    bool off = history != NULL && strcmp(history, "off") == 0;
    const char *address = "127.0.0.7",
               *options[] = {"--listen", address,          "--line-rate", "0", "--byte-rate",
                             "0",        "--history-days", "0",           NULL};
    options[off ? 8 : 6] = NULL;
    server_process sp;
    ASSERT_TRUE(server_start_with(&sp, options));
    peer p[CLIENTS];
    for (int i = 0; i < CLIENTS; i++) {
        char from[32];
        snprintf(from, sizeof from, "127.0.8.%d", i + 1);
        ASSERT_TRUE(peer_connect(&p[i], &sp, address, 0, from));
        ASSERT_TRUE(peer_hello(&p[i], "member" + std::to_string(i)));
    }
    // Everyone has joined once each member has seen the list of all fifty.
    for (int i = 0; i < CLIENTS; i++) {
        std::string got;
        size_t names = 0;
        while (names < CLIENTS) {
            ASSERT_EQ(PEER_FRAME, peer_read_frame(&p[i], &got, 5000)) << "member " << i;
            names = 0;
            for (size_t at = got.find("\r\n"); at != std::string::npos;
                 at = got.find("\r\n", at + 2)) {
                names++;
            }
        }
    }
    std::string lines[CLIENTS];
    for (int i = 0; i < CLIENTS; i++) {
        for (int n = 0; n < LINES_PER_ROUND; n++) {
            lines[i] += "member " + std::to_string(i) + " says hello, line " + std::to_string(n) +
                        "\r\n\x80";
        }
    }
    double start = now_seconds();
    for (int round = 0; round < ROUNDS; round++) {
        ASSERT_TRUE(run_round(p, lines, start + 60)) << "round " << round;
    }
    double elapsed = now_seconds() - start;
    double total_lines = (double)CLIENTS * LINES_PER_ROUND * ROUNDS;
    printf("history %s, %d members, %.0f chat lines in %.3f s: %.0f lines/s relayed, %.0f relay "
           "frames/s delivered\n",
           off ? "off" : "on", CLIENTS, total_lines, elapsed, total_lines / elapsed,
           total_lines * CLIENTS / elapsed);
    EXPECT_EQ(0, server_stop(&sp, SIGTERM, 5000));
    for (int i = 0; i < CLIENTS; i++) {
        peer_close(&p[i]);
    }
}
