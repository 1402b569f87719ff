// The member box, given a list of any size in slices, so that the window answers between them.
#include "client/connection.h"
#include "client/receive_parts.h"
#include "client/window_text.h"

// A slice of a list costs the window about 25 ms under Wine, whose edit control lays out each
// line it is given; the slices of one list follow each other at once.
enum { SLICE_NAMES = 500 };
const size_t SLICE_BYTES = 16 * 1024;

// Past any text length: the box clamps it to the end.
static const WPARAM END_OF_TEXT = 0x7fffffff;

// Where the slice that starts at from ends: after SLICE_NAMES lines or, past SLICE_BYTES, after
// the line that crossed it.  CR and LF are never part of a double-byte character.
static size_t slice_end(const std::string &list, size_t from) {
    size_t at = from;
    for (int lines = 0; lines < SLICE_NAMES && at < list.size(); lines++) {
        size_t end = list.find("\r\n", at);
        at = end == std::string::npos ? list.size() : end + 2;
        if (at - from >= SLICE_BYTES) {
            break;
        }
    }
    return at;
}

void show_member_box(client_state *cs, const std::string &list) {
    HWND box = cs->member_list;
    size_t end = slice_end(list, 0);
    set_window_shift_jis(box, list.substr(0, end));
    if (end == list.size()) {
        return;
    }
    // The box's own limit, about 30,000 characters, holds for appends.
    SendMessageW(box, EM_SETLIMITTEXT, 0, 0);
    for (size_t from = end; from < list.size(); from = end) {
        if (receive_stop_requested()) {
            return;
        }
        end = slice_end(list, from);
        std::u16string slice = wide_from_shift_jis(list.substr(from, end - from));
        SendMessageW(box, EM_SETSEL, END_OF_TEXT, (LPARAM)END_OF_TEXT);
        SendMessageW(box, EM_REPLACESEL, FALSE, (LPARAM)wide_chars(slice));
    }
    // Back to the first names, where a list set at once is shown.
    SendMessageW(box, EM_SETSEL, 0, 0);
    SendMessageW(box, EM_SCROLLCARET, 0, 0);
}
