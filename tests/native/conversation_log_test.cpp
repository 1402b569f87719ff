// The conversation log's day files, written into a scratch folder.
#include "client/conversation_log.h"

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/native/scratch_folder.h"

#ifdef _WIN32
static const std::string SEPARATOR = "\\";
#else
#include <unistd.h>
static const std::string SEPARATOR = "/";
#endif

static std::string read_file(const std::string &path) {
    std::string bytes;
    if (FILE *file = fopen(path.c_str(), "rb")) {
        for (int c; (c = fgetc(file)) != EOF;) {
            bytes.push_back((char)c);
        }
        fclose(file);
    }
    return bytes;
}

TEST(ConversationLog, DayFilesAcrossMidnightAndOneReportWhenAWriteFails) {
    const stamp_time before = {2026, 12, 31, 23, 59}, after = {2027, 1, 1, 0, 0};
    char name[LOG_NAME_CAPACITY];
    log_file_name(name, &before);
    EXPECT_STREQ("2026-12-31.txt", name);
    log_file_name(name, &after);
    EXPECT_STREQ("2027-01-01.txt", name);

    std::string folder;
    ASSERT_TRUE(make_scratch_folder(&folder));
    // Missing folders are made; an existing day file is appended to; past midnight the next
    // day's file takes over.
    const std::string logs = folder + SEPARATOR + "logs", sub = logs + SEPARATOR + "sub";
    conversation_log_start(sub.c_str());
    EXPECT_EQ(0, conversation_log_write("one\r\n", &before));
    conversation_log_start(sub.c_str());
    EXPECT_EQ(0, conversation_log_write("two\r\n", &before));
    EXPECT_EQ(0, conversation_log_write("three\r\n", &after));
    conversation_log_start("NONE");
    EXPECT_EQ(0, conversation_log_write("four\r\n", &after));
    EXPECT_EQ("one\r\ntwo\r\n", read_file(sub + SEPARATOR + "2026-12-31.txt"));
    EXPECT_EQ("three\r\n", read_file(sub + SEPARATOR + "2027-01-01.txt"));
    EXPECT_STREQ("", conversation_log_failed_path());

    // A folder that is a file; natively also a day file whose every write fails.  Told once; the
    // next write that goes says how many entries are missing.
    const std::string not_a_folder = folder + SEPARATOR + "memo.ini";
    ASSERT_TRUE(write_file(not_a_folder, "x"));
    const std::string unwritable[] = {not_a_folder, sub};
    size_t cases = 1;
#ifndef _WIN32
    ASSERT_EQ(0, symlink("/dev/full", (sub + "/2026-12-30.txt").c_str()));
    cases = 2;
#endif
    const stamp_time earlier = {2026, 12, 30, 12, 0};
    for (size_t i = 0; i < cases; i++) {
        conversation_log_start(unwritable[i].c_str());
        EXPECT_EQ(-1, conversation_log_write("lost\r\n", &earlier)) << unwritable[i];
        EXPECT_EQ(unwritable[i] + SEPARATOR + "2026-12-30.txt", conversation_log_failed_path());
        EXPECT_EQ(0, conversation_log_write("later\r\n", &after)) << unwritable[i];
    }
    conversation_log_start(NULL);
    EXPECT_EQ("x", read_file(not_a_folder));
    const std::string resumed = cases == 2 ? compose_unlogged_line(1) + "later\r\n" : "";
    EXPECT_EQ("three\r\n" + resumed, read_file(sub + SEPARATOR + "2027-01-01.txt"));

    for (const char *day : {"2026-12-30.txt", "2026-12-31.txt", "2027-01-01.txt"}) {
        remove((sub + SEPARATOR + day).c_str());
    }
    EXPECT_TRUE(remove_scratch_folder(sub));
    EXPECT_TRUE(remove_scratch_folder(logs));
    EXPECT_TRUE(remove_scratch_folder(folder));
}
