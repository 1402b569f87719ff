// The receive thread: the server's frames become transcript entries and member-list text.
#include "client/receive.h"

#include <stdio.h>

#include "client/connection.h"
#include "client/connection_thread.h"
#include "client/cut_text.h"
#include "client/entry.h"
#include "client/members.h"
#include "client/protocol.h"
#include "client/receive_parts.h"
#include "client/sending.h"

// As much as a burst brings, in one read: every append costs the box a fixed amount besides its
// length (its scroll bars are set again), so a flood is best shown in few appends.
enum { RECEIVE_BLOCK = 16384 };

// The most a replay shows in one append.
const size_t REPLAY_BATCH = 256 * 1024;

// FLASHW_TRAY | FLASHW_TIMERNOFG: the taskbar button only, until the window comes forward.
enum { FLASH_FLAGS = 14, FLASH_COUNT = 3 };

// After the member box is given a list it rests this many times as long as that took: a thousand
// names cost the window 50 to 200 ms under Wine, so a server that sends lists faster than the box
// lays them out has its newest shown a few times a second, and the window spends at most a fifth
// of its time on them.
enum { BOX_REST_FACTOR = 4 };

// Where text for the box goes: behind a replay in progress, it waits until the replay is shown.
static std::string *text_for_box(receive_view *view, bool said_now) {
    return said_now && view->replaying ? &view->held : &view->waiting;
}

// Who came and went in the lists the box has not shown yet is told now, so that it comes before
// what the server said after those lists.
static void tell_member_changes_now(receive_view *view) {
    *text_for_box(view, true) += tell_member_changes(&view->untold);
    view->untold.joined = view->untold.left = 0;
    view->untold.lines.clear();
}

void add_entry(client_state *cs, receive_view *view, const std::string &name,
               const std::string &text, const stamp_time *when, bool said_now) {
    tell_member_changes_now(view);
    char stamp[TIME_STAMP_CAPACITY];
    format_time_stamp(stamp, when);
    // A text cut at the frame cap shows what it kept of whole characters, and says so.
    std::string kept = view->payload_cut
                           ? text.substr(0, whole_characters_length(text.data(), text.size()))
                           : text;
    std::string shown = disarm_relay_text(unescape_frame_text(kept));
    cs->pending_entry = compose_entry(shown_name(unescape_frame_text(name)), stamp,
                                      view->payload_cut ? end_with_cut_mark(shown) : shown);
    std::string *box = text_for_box(view, said_now);
    *box += cs->pending_entry;
    if (said_now) {
        // Perhaps this client's own line coming back, which is what the watchdog waits for.
        sending_echoed(text);
        (box == &view->held ? view->held_entries : view->waiting_entries) = true;
    }
}

// Composes a relay's entry, stamped with the time it arrived.
static void take_relay(client_state *cs, const std::string &body, receive_view *view) {
    cs->pending_entry = body;
    std::string name, text;
    split_relay(body, &name, &text);

    SYSTEMTIME now;
    GetLocalTime(&now);
    stamp_time t = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
    add_entry(cs, view, name, text, &t, true);
}

// Shows the waiting text with one append, and flashes once when it holds entries.  Entries that
// arrive together in one received block go to the box together, so a flood costs the window one
// repaint per block instead of one per line; the transcript ends the same either way.
void show_entries(client_state *cs, receive_view *view) {
    if (view->waiting.empty()) {
        return;
    }
    if (!receive_stop_requested()) {
        append_to_transcript(cs, view->waiting);
    }
    view->waiting.clear();
    if (view->waiting_entries && !receive_stop_requested()) {
        FlashWindowEx(&view->flash);
    }
    view->waiting_entries = false;
}

// Milliseconds until the member box has rested from the last list.
static DWORD box_rest_left(const receive_view *view) {
    LONG left = (LONG)(view->box_rested_at - GetTickCount());
    return left > 0 ? (DWORD)left : 0;
}

// The box is given the newest list, and the transcript says who came and went since it was last
// told: name by name, or counted once more than MEMBER_LINES_LIMIT names changed.
static void show_members(client_state *cs, receive_view *view) {
    tell_member_changes_now(view);
    view->members_waiting = false;
    // Earlier lines first, so the views change in the order the server spoke.
    show_entries(cs, view);
    // The rest is the member box's own: what the transcript's append took is not its cost.
    DWORD start = GetTickCount();
    if (!receive_stop_requested()) {
        show_member_box(cs, view->members);
    }
    DWORD end = GetTickCount();
    view->box_rested_at = end + BOX_REST_FACTOR * (end - start);
}

// The new list replaces the old.  Every list is compared with the one before, so that nobody's
// coming or going is missed however fast lists come; the box is only given the newest once it
// has rested, and until then the changes are told together, before the next line said.
static void take_member_list(client_state *cs, const std::string &text, receive_view *view) {
    // Each name on a line of its own, whatever a hostile server puts in one.
    std::string members = shown_member_list(unescape_frame_text(text));
    if (view->members_known) {
        add_member_changes(&view->untold, view->members, members);
    }
    view->members.swap(members);
    view->members_known = true;
    view->members_waiting = true;
    if (box_rest_left(view) == 0) {
        show_members(cs, view);
    }
}

// Whether the socket has bytes for recv within wait_ms.  An error says yes: recv tells what it is.
static bool socket_readable(SOCKET s, DWORD wait_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait = {(long)(wait_ms / 1000), (long)(wait_ms % 1000) * 1000};
    return select(0, &readable, NULL, NULL, &wait) != 0;
}

// Acts on one finished payload; relays wait in view for show_entries.
static receive_next handle_payload(client_state *cs, const std::string &payload,
                                   receive_view *view) {
    switch (classify_payload(payload)) {
    case PAYLOAD_VERSION_REFUSAL:
        show_entries(cs, view);
        // No more attempts: the program ends once the user has read why.
        note_version_refused();
        // The box holds this thread until the user answers; the destroy request then ends the
        // program, and this thread makes no further calls.
        if (!receive_stop_requested()) {
            MessageBoxW(cs->main_window, L"バージョンが違います", L"ERROR", MB_OK);
        }
        if (!receive_stop_requested()) {
            PostMessageW(cs->main_window, WM_DESTROY, 0, 0);
        }
        return RECEIVE_END;
    case PAYLOAD_MEMBER_LIST:
        take_member_list(cs, payload.substr(1), view);
        break;
    case PAYLOAD_RELAY:
        // The server is ending: no need to wait for it to close, the connection is over.
        if (is_shutdown_notice(payload.substr(1))) {
            fputs("サーバーが終了しました", stdout);
            fflush(stdout);
            return RECEIVE_LOST;
        }
        take_relay(cs, payload.substr(1), view);
        // The box turns text into characters one append at a time: a cut character's lone first
        // byte would swallow the line break that starts the next entry, so it goes alone.
        if (ends_in_cut_character(cs->pending_entry)) {
            show_entries(cs, view);
        }
        break;
    case PAYLOAD_IGNORED:
        break;
    default:
        return handle_history_payload(cs, classify_payload(payload), payload, view);
    }
    cs->pending_entry.clear();
    return RECEIVE_GO_ON;
}

// The server went away.  The flag is raised first, so a line typed now is kept rather than sent
// into the dead connection.  Nobody is listed while nobody can be heard.  The connection's thread
// tries again by itself; no box holds anyone up.
static void report_lost_connection(client_state *cs) {
    if (receive_stop_requested()) {
        return;
    }
    note_connection_lost();
    append_to_transcript(cs, TRANSCRIPT_DISCONNECTED);
    set_member_list(cs, "");
}

// The connection is gone: whatever waited, behind the box's rest or an unfinished replay, is still
// worth showing before the line that says so.
static void show_all_and_report_lost(client_state *cs, receive_view *view) {
    tell_member_changes_now(view);
    release_held(view);
    show_entries(cs, view);
    report_lost_connection(cs);
}

DWORD WINAPI receive_loop(LPVOID param) {
    client_state *cs = (client_state *)param;
    // The socket this thread was started for; disconnect closes it to wake the recv below.
    SOCKET chat_socket = cs->chat_socket;

    if (!receive_stop_requested()) {
        append_to_transcript(cs, TRANSCRIPT_CONNECTED);
    }

    receive_view view;
    view.waiting_entries = false;
    view.members_known = false;
    view.members_waiting = false;
    view.untold.joined = view.untold.left = 0;
    view.box_rested_at = GetTickCount();
    view.payload_cut = false;
    view.replaying = false;
    view.held_entries = false;
    view.replayed = 0;
    view.gap = -1;
    view.gap_known = false;
    view.flash.cbSize = sizeof view.flash;
    view.flash.hwnd = cs->main_window;
    view.flash.dwFlags = FLASH_FLAGS;
    view.flash.uCount = FLASH_COUNT;
    view.flash.dwTimeout = 0;

    frame_assembler frame;
    char block[RECEIVE_BLOCK];
    for (;;) {
        // A list that waits for the box to rest goes once it has, whether or not more comes.
        if (view.members_waiting) {
            DWORD rest = box_rest_left(&view);
            if (rest == 0 || !socket_readable(chat_socket, rest)) {
                show_members(cs, &view);
            }
        }
        int got = recv(chat_socket, block, sizeof block, 0);
        if (got <= 0) {
            show_all_and_report_lost(cs, &view);
            return 0;
        }
        for (size_t at = 0, used; at < (size_t)got; at += used) {
            if (!frame_take_bytes(&frame, block + at, (size_t)got - at, &used)) {
                continue;
            }
            if (receive_stop_requested()) {
                return 0;
            }
            view.payload_cut = frame.dropped > 0;
            receive_next next = handle_payload(cs, frame.payload, &view);
            frame_reset(&frame);
            if (next == RECEIVE_LOST) {
                show_all_and_report_lost(cs, &view);
            }
            if (next != RECEIVE_GO_ON) {
                return 0;
            }
        }
        // A replay's past lines go to the box a page at a time (its page end shows them): the
        // user waits for the whole of it anyway, and every append costs the box the same.
        if (!view.replaying || view.waiting.size() >= REPLAY_BATCH) {
            show_entries(cs, &view);
        }
    }
}
