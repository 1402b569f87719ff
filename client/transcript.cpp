// The transcript box and the member list, as the receive thread updates them.
#include "client/receive.h"

#include "client/conversation_log.h"
#include "client/window_messages.h"

// Past any text length: the box clamps it to the end, so the end is selected without asking for
// the length, which would cost a pass over the whole text.
static const WPARAM END_OF_TEXT = 0x7fffffff;

// The log gets the text before the box shows it, so whatever the user has seen is on disk even if
// the program is killed next.  A failure is only posted: the box telling the user is shown by the
// window's own thread, and this one goes on with the conversation.
static void write_to_log(client_state *cs, const std::string &text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    stamp_time local = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
    if (conversation_log_write(text, &local) != 0) {
        PostMessageA(cs->main_window, WM_LOG_FAILED, 0, 0);
    }
}

// The receive thread and the connection's thread both write the transcript; the window's thread,
// which carries out the box's messages, never does, so holding this across them cannot deadlock.
static SRWLOCK transcript_lock = SRWLOCK_INIT;

void append_to_transcript(client_state *cs, const std::string &text) {
    AcquireSRWLockExclusive(&transcript_lock);
    write_to_log(cs, text);
    cs->transcript += text;
    // Only the new text goes into the box, so an entry costs the same however long the
    // conversation has grown.  No undo record: it would hold a copy of every entry.  The box's
    // text limit is lifted when it is created, so nothing is refused here.
    SendMessageA(cs->transcript_box, EM_SETSEL, END_OF_TEXT, (LPARAM)END_OF_TEXT);
    SendMessageA(cs->transcript_box, EM_REPLACESEL, FALSE, (LPARAM)text.c_str());
    LRESULT lines = SendMessageA(cs->transcript_box, EM_GETLINECOUNT, 0, 0);
    SendMessageA(cs->transcript_box, EM_LINESCROLL, 0, lines);
    // The new lines from their start, however far right a long line took the view.
    SendMessageA(cs->transcript_box, WM_HSCROLL, SB_LEFT, 0);
    ReleaseSRWLockExclusive(&transcript_lock);
}

void set_member_list(client_state *cs, const std::string &text) {
    SetWindowTextA(cs->member_list, text.c_str());
}
