// Who came and went between two member lists.
#include "client/members.h"

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

static const char JOINED[] = "\x8e\x51\x89\xc1", LEFT[] = "\x91\xde\x8f\x6f"; // 参加, 退出
// " 人が参加し、", " 人が参加しました。", " 人が退出しました。"
static const std::string PEOPLE = " \x90\x6c\x82\xaa", AND = PEOPLE + JOINED + "\x82\xb5\x81\x41",
                         DONE = "\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\r\n";

// Names 名<n>... CR LF-ended, counting down when step is -1, or with what the lines telling each.
static std::string names(int n, int count, int step = 1, const char *what = NULL) {
    std::string list;
    for (int i = 0; i < count; i++) {
        char name[16];
        snprintf(name, sizeof name, "\x96\xbc%05d", step > 0 ? n + i : n + count - 1 - i);
        list += what ? "MESSAGE:" + std::string(name) + " \x82\xaa" + what + DONE
                     : name + std::string("\r\n");
    }
    return list;
}

TEST(MemberChanges, MoreThanTenChangesAreOneLine) {
    struct {
        std::string previous, current, expected;
    } cases[] = {
        {"", names(0, 10), names(0, 10, 1, JOINED)},
        {"", names(0, 11), "MESSAGE:11" + PEOPLE + JOINED + DONE},
        {names(0, 11), "", "MESSAGE:11" + PEOPLE + LEFT + DONE},
        {names(0, 8), names(5, 8), names(0, 5, 1, LEFT) + names(8, 5, 1, JOINED)},
        {names(0, 15), names(12, 12), "MESSAGE:9" + AND + "12" + PEOPLE + LEFT + DONE},
        {names(0, 10000), names(0, 10000, -1), ""},
        {names(0, 10000), names(1, 10000, -1), names(0, 1, 1, LEFT) + names(10000, 1, 1, JOINED)},
        {"A\r\n", "A\r\nA\r\nA\r\nA\r\nA\r\nA\r\nA\r\nA\r\nA\r\nA\r\nA\r\nA",
         "MESSAGE:11" + PEOPLE + JOINED + DONE},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        EXPECT_EQ(cases[i].expected, compose_member_changes(cases[i].previous, cases[i].current))
            << "case " << i;
    }
    // Lists in turn add up: six and six changes are twelve, told in one line.
    member_changes changes = {0, 0, ""};
    add_member_changes(&changes, names(0, 6), names(6, 6));
    add_member_changes(&changes, names(6, 6), names(0, 6));
    EXPECT_EQ("MESSAGE:12" + AND + "12" + PEOPLE + LEFT + DONE, tell_member_changes(&changes));
}
