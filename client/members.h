// Who came and went: the transcript lines for the difference between two member lists.
// Portable: no window or socket here.
#pragma once

#include <stddef.h>

#include <string>

// More changes than this in one list are told in one line, so a room that fills or empties at
// once does not bury the conversation.
enum { MEMBER_LINES_LIMIT = 10 };

// Who came and went over one or more lists in turn.
struct member_changes {
    size_t joined, left;
    // A line for each name, in turn, while joined + left stays within MEMBER_LINES_LIMIT.
    std::string lines;
};

// Adds who came and went from previous to current.  A list's names are its CR LF-ended lines,
// and a last line without CR LF; empty lines are not names.  Compared with repeats counted, a name
// listed k times more in one list than in the other standing for its last k repeats there: first
// "MESSAGE:" + name + " が退出しました。\r\n" for each name gone, in the previous list's order,
// then "MESSAGE:" + name + " が参加しました。\r\n" for each name new, in the current list's
// order.  Hashes each name once, so two lists of 10,000 names cost about a millisecond.
void add_member_changes(member_changes *changes, const std::string &previous,
                        const std::string &current);

// What the transcript says of them: the lines, or past MEMBER_LINES_LIMIT names one line,
// "MESSAGE:12 人が参加し、3 人が退出しました。\r\n" or only the part that is not 0 ("MESSAGE:12
// 人が 参加しました。\r\n", "MESSAGE:3 人が退出しました。\r\n"); "" when nobody came or went.
std::string tell_member_changes(const member_changes *changes);

// The same for one list after another.
std::string compose_member_changes(const std::string &previous, const std::string &current);
