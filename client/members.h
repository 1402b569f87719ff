// Who came and went: the transcript lines for the difference between two member lists.
// Portable: no window or socket here.
#pragma once

#include <string>

// A list's names are its CR LF-ended lines, and a last line without CR LF; empty lines are not
// names.  Compared with repeats counted: first "MESSAGE:" + name + " が退出しました。\r\n" for each
// name gone, in the previous list's order, then "MESSAGE:" + name + " が参加しました。\r\n" for
// each name new, in the current list's order.  Sorts, so a list of thousands costs well under a
// millisecond.
std::string compose_member_changes(const std::string &previous, const std::string &current);
