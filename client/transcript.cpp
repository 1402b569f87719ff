// The transcript box and the member list, as the receive thread updates them.
#include "client/receive.h"

// Past any text length: the box clamps it to the end, so the end is selected without asking for
// the length, which would cost a pass over the whole text.
static const WPARAM END_OF_TEXT = 0x7fffffff;

void append_to_transcript(client_state *cs, const std::string &text) {
    cs->transcript += text;
    // Only the new text goes into the box, so an entry costs the same however long the
    // conversation has grown.  No undo record: it would hold a copy of every entry.  The box's
    // text limit is lifted when it is created, so nothing is refused here.
    SendMessageA(cs->transcript_box, EM_SETSEL, END_OF_TEXT, (LPARAM)END_OF_TEXT);
    SendMessageA(cs->transcript_box, EM_REPLACESEL, FALSE, (LPARAM)text.c_str());
    LRESULT lines = SendMessageA(cs->transcript_box, EM_GETLINECOUNT, 0, 0);
    SendMessageA(cs->transcript_box, EM_LINESCROLL, 0, lines);
}

void set_member_list(client_state *cs, const std::string &text) {
    SetWindowTextA(cs->member_list, text.c_str());
}
