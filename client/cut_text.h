// A relayed text longer than a frame may carry, as the transcript shows it.  Portable: no window
// or socket here.
#pragma once

#include <string>

// …（長すぎるため省略しました）, on a line of its own after what was kept.
const char TRANSCRIPT_CUT_MARK[] = "…（長すぎるため省略しました）\r\n";

// shown, the kept start of a text whose end was dropped, then the mark: after a CR LF unless shown
// is empty or already ends with one.
std::string end_with_cut_mark(const std::string &shown);
