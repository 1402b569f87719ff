// The history store on real files: order, retention, client ids, kill -9, damaged and held files.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "server/history/history.h"
#include "tests/native/scratch_folder.h"
#include "tests/server/test_peer.h"

static void collect(void *context, const history_line *line) {
    *(std::string *)context += std::to_string(line->seq) + "@" + std::to_string(line->at) + ":" +
                               line->name + ":" + line->text + ";";
}

static std::string read_after(history *h, long long after, int limit, size_t max_bytes) {
    std::string got;
    int count = history_read_after(h, after, limit, max_bytes, collect, &got);
    return std::to_string(count) + " " + got;
}

// A path two folders down in a fresh scratch folder, which the store makes itself.
static std::string scratch_store(std::string *folder) {
    EXPECT_TRUE(make_scratch_folder(folder));
    return *folder + "/a/b/history.db";
}

static void remove_folder(const std::string &folder) {
    std::string command = "rm -rf '" + folder + "'"; // the scratch names need no quoting
    EXPECT_EQ(0, system(command.c_str()));
}

// The oldest line kept as "<seq>@<at>", "0@0" when none.
static std::string oldest(history *h) {
    long long seq, at;
    history_oldest(h, &seq, &at);
    return std::to_string(seq) + "@" + std::to_string(at);
}

// The first column of the first row, as text.
static std::string query(sqlite3 *db, const char *sql) {
    sqlite3_stmt *s = NULL;
    std::string value = "(none)";
    if (sqlite3_prepare_v2(db, sql, -1, &s, NULL) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW &&
        sqlite3_column_text(s, 0) != NULL) {
        value = (const char *)sqlite3_column_text(s, 0);
    }
    sqlite3_finalize(s);
    return value;
}

TEST(history_lines, seqs_grow_and_reads_keep_to_their_limits) {
    history h, other;
    std::string reason;
    ASSERT_EQ(HISTORY_OPEN, history_open(&h, ":memory:", 0, &reason)) << reason;
    ASSERT_EQ(HISTORY_OPEN, history_open(&other, ":memory:", 0, &reason)) << reason;
    EXPECT_EQ(16u, history_epoch(&h).size());
    EXPECT_NE(history_epoch(&h), history_epoch(&other)) << "two stores made in one second";
    EXPECT_EQ("0 ", read_after(&h, 0, 10, 1000));
    // Bytes as they came: 0x00, a Shift-JIS character, an empty name.
    const std::string names[] = {"a", "bb", "", "d", std::string("\0e", 2)};
    const std::string texts[] = {"xx", "\x82\xa0", "ccc", "", "e"};
    for (long long i = 0; i < 5; i++) {
        EXPECT_EQ(i + 1, history_append(&h, 100 + i, names[i], texts[i], 0, 0));
    }
    EXPECT_EQ(0, history_commit(&h));
    std::string all =
        "1@100:a:xx;2@101:bb:\x82\xa0;3@102::ccc;4@103:d:;5@104:" + std::string("\0e:e;", 5);
    const struct {
        long long after, limit, max_bytes;
        std::string want;
    } reads[] = {
        {0, 10, 1000, "5 " + all},
        {1, 2, 1000, "2 2@101:bb:\x82\xa0;3@102::ccc;"},
        {0, 10, 7, "2 1@100:a:xx;2@101:bb:\x82\xa0;"}, // 3 + 4 bytes exactly
        {0, 10, 6, "1 1@100:a:xx;"},
        {0, 10, 1, "1 1@100:a:xx;"}, // the first line even when it alone is too big
        {5, 10, 1000, "0 "},
        {0, 0, 1000, "0 "},
    };
    for (const auto &r : reads) {
        EXPECT_EQ(printable(r.want), printable(read_after(&h, r.after, r.limit, r.max_bytes)))
            << "after " << r.after << " limit " << r.limit << " max_bytes " << r.max_bytes;
    }
    const long long before_newest[][2] = {{0, 5}, {2, 3}, {4, 1}, {5, 0}, {9, 0}};
    for (const auto &b : before_newest) {
        EXPECT_EQ(b[1], history_before_newest(&h, (int)b[0])) << "newest " << b[0];
    }
    EXPECT_EQ("1@100", oldest(&h));
    EXPECT_EQ(5, history_newest(&h));
    history_close(&h);
    history_close(&other);
}

TEST(history_retention, prune_takes_old_lines_in_chunks_and_seqs_never_come_back) {
    std::string folder, reason, path = scratch_store(&folder);
    history h;
    ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), 0, &reason)) << reason;
    // The ninth line came while the clock ran ahead; the tenth after it was set back.
    for (long long t : {100, 101, 102, 103, 104, 105, 106, 107, 300, 102}) {
        history_append(&h, t, "n", "t", 0, 0);
    }
    EXPECT_EQ(0, history_commit(&h));
    for (int want : {3, 3, 2, 0}) {
        EXPECT_EQ(want, history_prune(&h, 200, 3));
    }
    EXPECT_EQ("9@300", oldest(&h)) << "the kept lines stay one unbroken run";
    EXPECT_EQ(2, history_prune(&h, 1000, 100));
    EXPECT_EQ("0@0", oldest(&h));
    EXPECT_EQ(10, history_newest(&h));
    history_close(&h);

    ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), 0, &reason)) << reason;
    EXPECT_EQ(10, history_newest(&h));
    EXPECT_EQ(11, history_append(&h, 400, "n", "t", 0, 0));
    EXPECT_EQ("1 11@400:n:t;", read_after(&h, history_before_newest(&h, 5), 10, 1000));
    history_close(&h);
    remove_folder(folder);
}

TEST(history_clients, numbers_and_last_line_ids_survive_reopening) {
    std::string folder, reason, path = scratch_store(&folder);
    const std::string a = std::string(32, 'a'), b = std::string(32, 'b');
    history h;
    ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), 0, &reason)) << reason;
    long long na = history_client(&h, a), nb = history_client(&h, b);
    EXPECT_GT(na, 0);
    EXPECT_GT(nb, na);
    EXPECT_EQ(na, history_client(&h, a));
    const long long lines[][2] = {{na, 1}, {na, 2}, {nb, 7}, {0, 0}, {na, 3}, {0, 9}};
    for (const auto &l : lines) {
        history_append(&h, 100, "n", "t", l[0], l[1]);
    }
    EXPECT_EQ(0, history_commit(&h));
    history_close(&h);

    ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), 0, &reason)) << reason;
    EXPECT_EQ(na, history_client(&h, a));
    EXPECT_EQ(nb, history_client(&h, b));
    EXPECT_EQ(3, history_last_line_id(&h, na));
    EXPECT_EQ(7, history_last_line_id(&h, nb));
    EXPECT_EQ(0, history_last_line_id(&h, 0)) << "lines without a client are no one's";
    // b's only line goes with the first three; a keeps a line, so a keeps its number.
    EXPECT_EQ(3, history_prune(&h, 200, 3));
    EXPECT_EQ(na, history_client(&h, a));
    long long again = history_client(&h, b);
    EXPECT_GT(again, nb) << "a forgotten client's number is not given again";
    EXPECT_EQ(0, history_last_line_id(&h, again));
    history_close(&h);
    remove_folder(folder);
}

TEST(history_crash, committed_lines_survive_kill_9_mid_burst) {
    std::string folder, reason, path = scratch_store(&folder);
    srand((unsigned)time(NULL));
    long long last = 0;
    for (int round = 0; round < 4; round++) {
        int report[2];
        ASSERT_EQ(0, pipe(report));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(report[0]);
            history h; // one that did not open gives seq 0
            history_open(&h, path.c_str(), 0, NULL);
            for (;;) {
                long long seq = 0;
                for (int i = 0; i < 100; i++) {
                    seq = history_append(&h, 100, "0123456789", std::string(40, 't'), 0, 0);
                }
                if (seq == 0 || history_commit(&h) != 0 ||
                    write(report[1], &seq, sizeof seq) != (ssize_t)sizeof seq) {
                    _exit(2);
                }
            }
        }
        close(report[1]);
        // After the first commit: making the file alone can outlast a fixed wait on a busy machine.
        pollfd committed = {report[0], POLLIN, 0};
        poll(&committed, 1, 10000);
        usleep(rand() % 80000);
        kill(child, SIGKILL);
        int status;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the child stopped first";
        long long seq, reported = 0;
        while (read(report[0], &seq, sizeof seq) == (ssize_t)sizeof seq) {
            reported++;
            last = seq;
        }
        close(report[0]);
        EXPECT_GT(reported, 0) << "round " << round << ": no commit before the kill";

        sqlite3 *db = NULL;
        ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, NULL));
        EXPECT_EQ("ok", query(db, "PRAGMA integrity_check"));
        // Nothing is ever pruned here, so the lines are exactly 1..max: none reported is lost.
        long long newest = atoll(query(db, "SELECT max(seq) FROM lines").c_str());
        EXPECT_GE(newest, last) << "round " << round;
        EXPECT_EQ(std::to_string(newest), query(db, "SELECT count(*) FROM lines"));
        sqlite3_close(db);
    }
    remove_folder(folder);
}

TEST(history_files, damaged_held_and_unwritable_files) {
    std::string folder, reason, path = scratch_store(&folder);
    history h, second;
    const time_t now = time(NULL);
    char date[16];
    tm local;
    strftime(date, sizeof date, "%Y-%m-%d", localtime_r(&now, &local));
    // A real store with its header written over, then a file of random bytes and a stray WAL.
    ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), now, &reason)) << reason;
    history_append(&h, 100, "n", "t", 0, 0);
    history_close(&h);
    FILE *file = fopen(path.c_str(), "r+b");
    ASSERT_NE(nullptr, file);
    fwrite(std::string(100, 'x').data(), 1, 100, file);
    fclose(file);
    std::string noise(8192, '\0');
    std::generate(noise.begin(), noise.end(), rand);
    const std::string moved[] = {path + ".corrupt-" + date, path + ".corrupt-" + date + "-2"};
    for (const std::string &aside : moved) {
        ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), now, &reason));
        EXPECT_NE(std::string::npos, reason.find("moved aside as " + aside + ",")) << reason;
        EXPECT_EQ(0, access(aside.c_str(), F_OK)) << aside;
        EXPECT_EQ(1, history_append(&h, 100, "n", "t", 0, 0)) << "a new store";
        history_close(&h);
        ASSERT_TRUE(write_file(path, noise));
        ASSERT_TRUE(write_file(path + "-wal", noise));
    }
    ASSERT_EQ(HISTORY_OPEN, history_open(&h, path.c_str(), now, &reason));
    EXPECT_EQ(0, access((path + ".corrupt-" + date + "-3-wal").c_str(), F_OK)) << "with its WAL";

    EXPECT_EQ(HISTORY_IN_USE, history_open(&second, path.c_str(), now, &reason));
    // Another program writing: the store fails at once, and every call after it too.
    sqlite3 *db = NULL;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", NULL, NULL, NULL));
    long long started = now_ms();
    EXPECT_EQ(0, history_append(&h, 100, "n", "t", 0, 0));
    EXPECT_LT(now_ms() - started, 1000);
    EXPECT_FALSE(history_ready(&h));
    EXPECT_NE(std::string::npos, h.reason.find("locked")) << h.reason;
    EXPECT_EQ(-1, history_read_after(&h, 0, 10, 1000, collect, NULL));
    EXPECT_EQ(-1, history_commit(&h));
    EXPECT_EQ("", history_epoch(&h));
    history_close(&h);
    EXPECT_EQ(HISTORY_FAILED, history_open(&h, path.c_str(), now, &reason)) << "still writing";
    sqlite3_close(db);
    EXPECT_EQ(HISTORY_OPEN, history_open(&second, path.c_str(), now, &reason)) << reason;
    history_close(&second);

    // Unwritable, even for root, who writes into any folder: a path under a regular file.
    ASSERT_TRUE(write_file(folder + "/plain", "x"));
    EXPECT_EQ(HISTORY_FAILED, history_open(&h, (folder + "/plain/h.db").c_str(), now, &reason));
    EXPECT_NE(std::string::npos, reason.find("Not a directory")) << reason;
    history_close(&h);
    remove_folder(folder);
}
