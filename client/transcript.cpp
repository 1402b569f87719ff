// The transcript box and the member list, as the receive thread updates them.
#include "client/receive.h"

#include "client/conversation_log.h"
#include "client/entry.h"
#include "client/window_messages.h"
#include "client/window_text.h"

// Past any text length: the box clamps it to the end, so the end is selected without asking for
// the length, which would cost a pass over the whole text.
static const WPARAM END_OF_TEXT = 0x7fffffff;

// Entries added while the user reads further up; the window's thread shows and clears the count.
static volatile LONG unread;

size_t g_scrollback_bytes = DEFAULT_SCROLLBACK_MB * 1024 * 1024;

// The characters in the box, as its appends and trims left it, and the box they were counted in.
static size_t box_length;
static HWND counted_box;

// The log gets the text before the box shows it, so whatever the user has seen is on disk even if
// the program is killed next.  A failure is only posted: the box telling the user is shown by the
// window's own thread, and this one goes on with the conversation.
static void write_to_log(client_state *cs, const std::string &text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    stamp_time local = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
    if (conversation_log_write(text, &local) != 0) {
        PostMessageW(cs->main_window, WM_LOG_FAILED, 0, 0);
    }
}

static int count_entries(const std::string &text) {
    int count = 0;
    for (size_t at = text.find(ENTRY_START); at != std::string::npos;
         at = text.find(ENTRY_START, at + 1)) {
        count++;
    }
    return count;
}

bool transcript_shows_end(HWND box) {
    SCROLLINFO bar;
    bar.cbSize = sizeof bar;
    bar.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    // No scroll bar yet: everything is in view.
    if (!GetScrollInfo(box, SB_VERT, &bar) || bar.nPage == 0) {
        return true;
    }
    return bar.nPos + (int)bar.nPage > bar.nMax;
}

int transcript_unread(void) {
    return (int)InterlockedCompareExchange(&unread, 0, 0);
}

void transcript_read_to_end(HWND box) {
    if (InterlockedExchange(&unread, 0) != 0) {
        PostMessageW(GetParent(box), WM_UNREAD_COUNT, 0, 0);
    }
}

void transcript_follow_end(HWND box) {
    SendMessageW(box, EM_LINESCROLL, 0, SendMessageW(box, EM_GETLINECOUNT, 0, 0));
    transcript_read_to_end(box);
}

// Where a trim that must take at least `at least` characters may end: at the start of the first
// entry or transcript line from there on, so that only whole ones leave.  An entry begins with
// an empty line and then "◆ "; no relayed line can begin so, as they are disarmed.
static LRESULT whole_entries_from(HWND box, size_t at_least) {
    LRESULT line = SendMessageW(box, EM_LINEFROMCHAR, at_least, 0);
    LRESULT lines = SendMessageW(box, EM_GETLINECOUNT, 0, 0);
    for (LRESULT l = line; l < lines && l < line + 10000; l++) {
        WCHAR head[9];
        head[0] = (WCHAR)(sizeof head / sizeof head[0] - 1);
        LRESULT got = SendMessageW(box, EM_GETLINE, l, (LPARAM)head);
        std::u16string start((const char16_t *)head, got > 0 ? (size_t)got : 0);
        if (start.compare(0, 8, u"MESSAGE:") == 0) {
            return SendMessageW(box, EM_LINEINDEX, l, 0);
        }
        if (start.compare(0, 2, u"\u25C6 ") == 0 && l > 0 &&
            SendMessageW(box, EM_LINELENGTH, SendMessageW(box, EM_LINEINDEX, l - 1, 0), 0) == 0) {
            return SendMessageW(box, EM_LINEINDEX, l - 1, 0);
        }
    }
    return SendMessageW(box, EM_LINEINDEX, line, 0);
}

// Makes room for incoming characters: once the box would pass its bound, whole entries leave
// from the top, an eighth of the bound more than needed, so that this is rare.  The view and
// the selection stay on the same text; what the user was reading may itself have gone.
static void trim_for(HWND box, size_t incoming) {
    size_t bound = g_scrollback_bytes / sizeof(char16_t);
    if (box_length + incoming <= bound) {
        return;
    }
    size_t at_least = box_length + incoming - bound + bound / 8;
    LRESULT cut = whole_entries_from(box, at_least < box_length ? at_least : box_length);
    if (cut <= 0) {
        return;
    }
    DWORD start = 0, end = 0;
    SendMessageW(box, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
    LRESULT first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    LRESULT gone = SendMessageW(box, EM_LINEFROMCHAR, cut, 0);
    SendMessageW(box, EM_SETSEL, 0, cut);
    SendMessageW(box, EM_REPLACESEL, FALSE, (LPARAM)L"");
    DWORD removed = (DWORD)cut;
    SendMessageW(box, EM_SETSEL, start > removed ? start - removed : 0,
                 end > removed ? end - removed : 0);
    LRESULT now_first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    SendMessageW(box, EM_LINESCROLL, 0, (first > gone ? first - gone : 0) - now_first);
    box_length = (size_t)GetWindowTextLengthW(box);
}

// The new text at the end, while the view and the selection stay where the user put them.  The
// box would follow its caret to the end; with redrawing off it is put back before anything shows.
static void append_behind_reader(HWND box, const std::u16string &wide) {
    SendMessageW(box, WM_SETREDRAW, FALSE, 0);
    trim_for(box, wide.size());
    DWORD start = 0, end = 0;
    SendMessageW(box, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
    LRESULT first = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    int across = GetScrollPos(box, SB_HORZ);
    SendMessageW(box, EM_SETSEL, END_OF_TEXT, (LPARAM)END_OF_TEXT);
    SendMessageW(box, EM_REPLACESEL, FALSE, (LPARAM)wide_chars(wide));
    SendMessageW(box, EM_SETSEL, start, (LPARAM)end);
    SendMessageW(box, EM_LINESCROLL, 0, first - SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0));
    SendMessageW(box, WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, across), 0);
    SendMessageW(box, WM_SETREDRAW, TRUE, 0);
    RedrawWindow(box, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
}

// The receive thread and the connection's thread both write the transcript; the window's thread,
// which carries out the box's messages, never does, so holding this across them cannot deadlock.
static SRWLOCK transcript_lock = SRWLOCK_INIT;

void append_to_transcript(client_state *cs, const std::string &text) {
    AcquireSRWLockExclusive(&transcript_lock);
    write_to_log(cs, text);
    std::u16string wide = wide_from_shift_jis(text);
    HWND box = cs->transcript_box;
    if (box != counted_box) {
        counted_box = box;
        box_length = (size_t)GetWindowTextLengthW(box);
    }
    if (transcript_shows_end(box)) {
        if (box_length + wide.size() > g_scrollback_bytes / sizeof(char16_t)) {
            SendMessageW(box, WM_SETREDRAW, FALSE, 0);
            trim_for(box, wide.size());
            SendMessageW(box, WM_SETREDRAW, TRUE, 0);
            RedrawWindow(box, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
        }
        // Only the new text goes into the box, so an entry costs the same however long the
        // conversation has grown.  No undo record: it would hold a copy of every entry.  The
        // box's text limit is lifted when it is created, so nothing is refused here.
        SendMessageW(box, EM_SETSEL, END_OF_TEXT, (LPARAM)END_OF_TEXT);
        SendMessageW(box, EM_REPLACESEL, FALSE, (LPARAM)wide_chars(wide));
        transcript_follow_end(box);
        // The new lines from their start, however far right a long line took the view.
        SendMessageW(box, WM_HSCROLL, SB_LEFT, 0);
    } else {
        append_behind_reader(box, wide);
        if (int entries = count_entries(text)) {
            InterlockedExchangeAdd(&unread, entries);
            PostMessageW(cs->main_window, WM_UNREAD_COUNT, 0, 0);
        }
    }
    box_length += wide.size();
    ReleaseSRWLockExclusive(&transcript_lock);
}

void set_member_list(client_state *cs, const std::string &text) {
    set_window_shift_jis(cs->member_list, text);
}
