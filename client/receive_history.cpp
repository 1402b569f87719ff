// The receive thread's half of the history extension: the offer, past and stored lines, the end
// of a replay and acknowledgements.
#include <stdio.h>

#include "client/catch_up.h"
#include "client/connection.h"
#include "client/connection_thread.h"
#include "client/receive_parts.h"

// What waits behind a replay is shown anyway once it grows this large: a server that never ends
// its replay must not make the client hold lines without bound.
static const size_t HELD_LIMIT = 1024 * 1024;

// Seconds since 1970 (UTC) as the local time they were, for an entry's stamp.
static stamp_time local_stamp(long long unix_seconds) {
    ULARGE_INTEGER ticks;
    // 100-ns ticks from 1601, the system's epoch; 11,644,473,600 s lie between the two.
    ticks.QuadPart = (unsigned long long)(unix_seconds + 11644473600LL) * 10000000ULL;
    FILETIME utc_file;
    utc_file.dwLowDateTime = ticks.LowPart;
    utc_file.dwHighDateTime = ticks.HighPart;
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&utc_file, &utc) ||
        !SystemTimeToTzSpecificLocalTime(NULL, &utc, &local)) {
        GetLocalTime(&local);
    }
    stamp_time t = {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute};
    return t;
}

static void take_offer(const std::string &payload, receive_view *view) {
    std::string epoch;
    if (!parse_offer(payload, &epoch)) {
        return;
    }
    // The connection's thread registers now, if it has not already; from here until the replay
    // ends, what is said now waits behind what was said before.
    view->replaying = true;
    view->replayed = 0;
    view->gap_known = false;
    view->gap = -1;
    catch_up_offered(epoch);
}

static void take_line(client_state *cs, const std::string &payload, receive_view *view,
                      bool said_now) {
    stored_line line;
    // A line shown already, as a server that repeats itself or goes back sends it, is not shown
    // again.
    if (!parse_stored_line(payload, &line) || !catch_up_show(line.seq)) {
        return;
    }
    if (said_now) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        stamp_time t = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute};
        add_entry(cs, view, line.name, line.text, &t, true);
    } else {
        stamp_time t = local_stamp(line.at);
        add_entry(cs, view, line.name, line.text, &t, false);
        view->replayed++;
    }
    if (view->held.size() > HELD_LIMIT) {
        release_held(view);
    }
}

void release_held(receive_view *view) {
    view->waiting += view->held;
    view->held.clear();
    view->waiting_entries = view->waiting_entries || view->held_entries;
    view->held_entries = false;
}

// The replay is over: a line saying what it was, then what waited behind it.
static void end_replay(receive_view *view) {
    long long asked = catch_up_register_after();
    if (asked == -1 && view->replayed > 0) {
        view->waiting += TRANSCRIPT_HISTORY_END;
    } else if (asked >= 0) {
        if (view->gap >= 0) {
            char stamp[TIME_STAMP_CAPACITY];
            stamp_time t = local_stamp(view->gap);
            format_time_stamp(stamp, &t);
            view->waiting += compose_gap_line(stamp);
        }
        view->waiting += compose_missed_count(view->replayed);
    }
    view->replaying = false;
    release_held(view);
}

static void take_page_end(client_state *cs, const std::string &payload, receive_view *view) {
    bool more;
    long long gap, upto;
    if (!view->replaying || !parse_page_end(payload, &more, &gap, &upto)) {
        return;
    }
    if (!view->gap_known) {
        view->gap_known = true;
        view->gap = gap;
    }
    if (more) {
        // The next page is asked for first, so the server reads it while this one is shown.
        send_frame(cs, more_payload());
        show_entries(cs, view);
        return;
    }
    catch_up_replay_over(upto);
    end_replay(view);
    show_entries(cs, view);
    // The lines the user sent meanwhile, and those sent again, may go now.
    connection_line_queued();
}

receive_next handle_history_payload(client_state *cs, payload_kind kind, const std::string &payload,
                                    receive_view *view) {
    long long id;
    switch (kind) {
    case PAYLOAD_OFFER:
        take_offer(payload, view);
        break;
    case PAYLOAD_LIVE_LINE:
        take_line(cs, payload, view, true);
        break;
    case PAYLOAD_PAST_LINE:
        take_line(cs, payload, view, false);
        break;
    case PAYLOAD_PAGE_END:
        take_page_end(cs, payload, view);
        break;
    case PAYLOAD_ACK:
        if (parse_ack(payload, &id)) {
            connection_line_acknowledged(id);
        }
        break;
    default:
        break;
    }
    return RECEIVE_GO_ON;
}
