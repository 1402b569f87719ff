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
    FILE *file = fopen(path.c_str(), "rb");
    if (file != NULL) {
        char block[256];
        size_t got;
        while ((got = fread(block, 1, sizeof block, file)) > 0) {
            bytes.append(block, got);
        }
        fclose(file);
    }
    return bytes;
}

static const stamp_time BEFORE_MIDNIGHT = {2026, 12, 31, 23, 59};
static const stamp_time AFTER_MIDNIGHT = {2027, 1, 1, 0, 0};

TEST(ConversationLog, EachDayHasItsFileAndAConversationGoesOnPastMidnight) {
    const struct {
        stamp_time local;
        const char *name;
    } names[] = {
        {BEFORE_MIDNIGHT, "2026-12-31.txt"},
        {AFTER_MIDNIGHT, "2027-01-01.txt"},
        {{2026, 3, 9, 0, 0}, "2026-03-09.txt"},
    };
    for (const auto &n : names) {
        char name[LOG_NAME_CAPACITY];
        log_file_name(name, &n.local);
        EXPECT_STREQ(n.name, name);
    }

    std::string folder;
    ASSERT_TRUE(make_scratch_folder(&folder));
    // The folder is made, parents too; an existing day file is appended to, never truncated.
    const std::string logs = folder + SEPARATOR + "logs", sub = logs + SEPARATOR + "sub";
    conversation_log_start(sub.c_str());
    EXPECT_EQ(0, conversation_log_write("one\r\n", &BEFORE_MIDNIGHT));
    conversation_log_start(sub.c_str());
    EXPECT_EQ(0, conversation_log_write("two\r\n", &BEFORE_MIDNIGHT));
    EXPECT_EQ(0, conversation_log_write("three\r\n", &AFTER_MIDNIGHT));
    EXPECT_STREQ("", conversation_log_failed_path());
    conversation_log_start(NULL);
    EXPECT_EQ("one\r\ntwo\r\n", read_file(sub + SEPARATOR + "2026-12-31.txt"));
    EXPECT_EQ("three\r\n", read_file(sub + SEPARATOR + "2027-01-01.txt"));

    // "NONE" writes nothing, as no folder does.
    conversation_log_start("NONE");
    EXPECT_EQ(0, conversation_log_write("four\r\n", &AFTER_MIDNIGHT));
    EXPECT_EQ("three\r\n", read_file(sub + SEPARATOR + "2027-01-01.txt"));

    remove((sub + SEPARATOR + "2026-12-31.txt").c_str());
    remove((sub + SEPARATOR + "2027-01-01.txt").c_str());
    EXPECT_TRUE(remove_scratch_folder(sub));
    EXPECT_TRUE(remove_scratch_folder(logs));
    EXPECT_TRUE(remove_scratch_folder(folder));
}

// A failure is told once; the log then stays off and touches nothing more.
TEST(ConversationLog, AFileThatCannotBeWrittenIsReportedOnceAndEndsTheLog) {
    std::string folder;
    ASSERT_TRUE(make_scratch_folder(&folder));
    const std::string not_a_folder = folder + SEPARATOR + "memo.ini";
    ASSERT_TRUE(write_file(not_a_folder, "x"));
    struct {
        std::string log_folder;
        bool runs_here;
    } cases[] = {
        {not_a_folder, true},
#ifndef _WIN32
        // The day's file is there, but every write to it fails.
        {folder, symlink("/dev/full", (folder + SEPARATOR + "2026-12-31.txt").c_str()) == 0},
#endif
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(c.runs_here) << c.log_folder;
        conversation_log_start(c.log_folder.c_str());
        EXPECT_EQ(-1, conversation_log_write("lost\r\n", &BEFORE_MIDNIGHT)) << c.log_folder;
        EXPECT_EQ(c.log_folder + SEPARATOR + "2026-12-31.txt", conversation_log_failed_path());
        EXPECT_EQ(0, conversation_log_write("later\r\n", &AFTER_MIDNIGHT)) << c.log_folder;
        EXPECT_EQ(c.log_folder + SEPARATOR + "2026-12-31.txt", conversation_log_failed_path());
    }
    conversation_log_start(NULL);
    EXPECT_EQ("x", read_file(not_a_folder));
    remove((folder + SEPARATOR + "2026-12-31.txt").c_str());
    remove((folder + SEPARATOR + "2027-01-01.txt").c_str());
    EXPECT_TRUE(remove_scratch_folder(folder));
}
