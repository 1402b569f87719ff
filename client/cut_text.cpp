// A relayed text longer than a frame may carry, as the transcript shows it.
#include "client/cut_text.h"

std::string end_with_cut_mark(const std::string &shown) {
    bool line_start =
        shown.empty() || (shown.size() >= 2 && shown.compare(shown.size() - 2, 2, "\r\n") == 0);
    return shown + (line_start ? "" : "\r\n") + TRANSCRIPT_CUT_MARK;
}
