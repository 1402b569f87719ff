// The connection's own thread: it connects, keeps the connection, notices when it dies and comes
// back by itself.  What to do next is the plan's to decide; this carries it out.
#include "client/connection_thread.h"

#include "client/catch_up.h"
#include "client/connection.h"
#include "client/connection_plan.h"
#include "client/entry.h"
#include "client/message_wait.h"
#include "client/network_watch.h"
#include "client/outbox.h"
#include "client/protocol.h"
#include "client/receive.h"
#include "client/sending.h"
#include "client/window_messages.h"

// A line's echo or acknowledgement normally comes back within milliseconds; this is long next to
// any real delay.
enum { WATCHDOG_FLOOR_MS = 10000 };
// A network that came back is tried no sooner than this into a wait, so that however many
// notices the system sends, they start at most one attempt a second.
enum { NETWORK_RETRY_GAP_MS = 1000 };

static HANDLE thread;
static volatile LONG stop_flag;
static volatile LONG reconnect_flag;

// Set for anything the thread must look at now: a Reconnect, the end, a line sent.
static HANDLE connection_wake_event(void) {
    // Auto-reset, made once on first use from whichever thread.
    static const HANDLE wake = CreateEventA(NULL, FALSE, FALSE, NULL);
    return wake;
}

static bool stopping(void) {
    return InterlockedCompareExchange(&stop_flag, 0, 0) != 0;
}

static bool take_reconnect(void) {
    return InterlockedExchange(&reconnect_flag, 0) != 0;
}

// Whether an attempt in progress should give up: the user wants a new one, or the program ends.
static bool connection_abandon_requested(void) {
    return stopping() || InterlockedCompareExchange(&reconnect_flag, 0, 0) != 0;
}

void connection_line_queued(void) {
    SetEvent(connection_wake_event());
}

void connection_line_acknowledged(long long id) {
    sending_acknowledged(id);
    SetEvent(connection_wake_event());
}

// Milliseconds until the oldest line in flight on this connection is overdue: the server has
// neither acknowledged nor echoed it.  Only the line itself counts: a server that trickles other
// bytes does not keep a dead line alive.  INFINITE when none waits.
static DWORD watchdog_remaining(void) {
    long long sent = sending_in_flight_since();
    if (sent < 0) {
        return INFINITE;
    }
    long long limit = 2000 * (long long)g_keepalive_seconds;
    if (limit < WATCHDOG_FLOOR_MS) {
        limit = WATCHDOG_FLOOR_MS;
    }
    long long elapsed = (long long)GetTickCount64() - sent;
    return elapsed >= limit ? 0 : (DWORD)(limit - elapsed);
}

static void show_state(link_state state) {
    PostMessageW(g_client.main_window, WM_CONNECTION_STATE, (WPARAM)state, 0);
}

// Lines unacknowledged for too long go back to the user, whatever the connection's state (the
// title's word on waiting lines is the window's own, from its timer).  The milliseconds until
// this is next due.
static DWORD look_after_waiting_lines(void) {
    if (sending_give_up()) {
        append_to_transcript(&g_client, TRANSCRIPT_GIVEN_BACK);
    }
    long long next = sending_due_in(OUTBOX_GIVE_UP_MS);
    return next < 0 ? INFINITE : (DWORD)next;
}

static DWORD sooner(DWORD a, DWORD b) {
    return a < b ? a : b;
}

// Once an outage: which server cannot be reached.
static void report_outage(void) {
    char own_name[HOST_NAME_CAPACITY];
    append_to_transcript(&g_client,
                         compose_outage_line(host_to_look_up(g_client.server, own_name)));
}

// Whether this connection's register has gone out, so that its lines carry ids.
static bool registered;

static void register_now(void) {
    send_frame(&g_client, catch_up_register_payload());
    registered = true;
    sending_with_ids();
}

// A server that offered the history last time is given the register before the hello, so that
// it knows this client before it joins and can give it back its place.  An offer that does not
// come in time means another server: the hello goes out anyway.
static void greet_after_offer(void) {
    HANDLE events[2] = {catch_up_offer_event(), connection_wake_event()};
    DWORD start = GetTickCount();
    while (!catch_up_offer_seen() && !connection_abandon_requested()) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= OFFER_WAIT_MS ||
            WaitForMultipleObjects(2, events, FALSE, OFFER_WAIT_MS - elapsed) == WAIT_TIMEOUT) {
            break;
        }
    }
    if (catch_up_offer_seen()) {
        register_now();
    }
    send_frame(&g_client, hello_payload(g_client.name));
}

static void attempt(connection_plan *plan) {
    show_state(LINK_CONNECTING);
    // This attempt is the one any earlier Reconnect asked for.
    take_reconnect();
    bool resume = catch_up_new_connection();
    sending_new_connection();
    registered = false;
    attempt_control control = {connection_wake_event(), connection_abandon_requested, resume};
    int result = connect_to_server(&control);
    if (result == 0) {
        if (resume) {
            greet_after_offer();
        }
        plan_connected(plan, (long long)GetTickCount64());
        show_state(LINK_CONNECTED);
    } else if (result == -5) {
        // Abandoned: a Reconnect starts the next attempt, a stop ends the loop.
        if (take_reconnect()) {
            plan_reconnect(plan);
        }
    } else {
        if (plan_attempt_failed(plan)) {
            report_outage();
        }
        show_state(LINK_WAITING);
    }
}

// A stop, or a Reconnect, which drops the connection first.
static bool asked_to_leave(connection_plan *plan) {
    if (stopping()) {
        return true;
    }
    if (take_reconnect()) {
        disconnect_from_server();
        plan_reconnect(plan);
        return true;
    }
    return false;
}

// While connected: until the receive thread ends by itself, the user asks for something, or a
// line the user sent goes unanswered for too long.  Meanwhile it sends the user's lines, and
// registers once the server offers the history.
static void keep(connection_plan *plan) {
    HANDLE events[3] = {g_client.receive_thread, connection_wake_event(), catch_up_offer_event()};
    for (;;) {
        // Also before the first wait: the wait for the offer may have taken the wake that said so.
        if (asked_to_leave(plan)) {
            return;
        }
        // Behind a replay, the user's lines wait, so that they follow what the user missed.
        if (!catch_up_replaying()) {
            sending_send_waiting(&g_client);
        }
        DWORD wait = sooner(watchdog_remaining(), look_after_waiting_lines());
        // The offer's event stays set once it came, so it is only waited for until then.
        DWORD woke = WaitForMultipleObjects(registered ? 2 : 3, events, FALSE, wait);
        if (asked_to_leave(plan)) {
            return;
        }
        // A receive thread that could not be started counts as one that ended at once.
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
            // Refused: the program is ending, and the goodbye still goes out on this socket.
            if (version_refused()) {
                plan_refused(plan);
                return;
            }
            drop_connection();
            plan_lost(plan, (long long)GetTickCount64());
            show_state(LINK_WAITING);
            return;
        }
        if (!registered && catch_up_offer_seen()) {
            register_now();
        }
        if (woke == WAIT_TIMEOUT && watchdog_remaining() == 0) {
            // The receive thread wakes to a closed socket and reports the loss itself.
            note_connection_lost();
            break_connection();
        }
    }
}

// Until the next attempt is due, the user asks for one, or the system says a network came up: then
// the attempt starts at once, a second into the wait at the soonest.  Notices that came while
// connected or trying are not the wait's.
static void wait_for_retry(connection_plan *plan) {
    DWORD start = GetTickCount();
    HANDLE events[2] = {connection_wake_event(), network_watch_event()};
    network_watch_rearm();
    bool network_changed = false;
    while (!stopping()) {
        if (take_reconnect()) {
            plan_reconnect(plan);
            return;
        }
        DWORD elapsed = GetTickCount() - start;
        DWORD due = network_changed ? (DWORD)NETWORK_RETRY_GAP_MS : (DWORD)plan->wait_ms;
        if (elapsed >= due && network_changed) {
            plan_network_changed(plan);
            return;
        }
        if (elapsed >= due) {
            plan_wait_over(plan);
            return;
        }
        DWORD wait = sooner(due - elapsed, look_after_waiting_lines());
        DWORD woke = WaitForMultipleObjects(events[1] != NULL ? 2 : 1, events, FALSE, wait);
        if (woke == WAIT_OBJECT_0 + 1) {
            network_changed = true;
            network_watch_rearm();
        }
    }
}

static DWORD WINAPI connection_main(LPVOID) {
    catch_up_start();
    network_watch_start();
    connection_plan plan;
    plan_start(&plan, GetTickCount() ^ (GetCurrentProcessId() * 2654435761u));
    while (!stopping()) {
        switch (plan.state) {
        case LINK_CONNECTING:
            attempt(&plan);
            break;
        case LINK_CONNECTED:
            keep(&plan);
            break;
        case LINK_WAITING:
            wait_for_retry(&plan);
            break;
        case LINK_REFUSED:
            WaitForSingleObject(connection_wake_event(), INFINITE);
            break;
        }
    }
    network_watch_stop();
    disconnect_from_server();
    return 0;
}

void connection_start(void) {
    InterlockedExchange(&stop_flag, 0);
    InterlockedExchange(&reconnect_flag, 0);
    thread = CreateThread(NULL, 0, connection_main, NULL, 0, NULL);
}

void connection_reconnect(void) {
    InterlockedExchange(&reconnect_flag, 1);
    SetEvent(connection_wake_event());
}

int connection_stop(void) {
    InterlockedExchange(&stop_flag, 1);
    SetEvent(connection_wake_event());
    if (thread == NULL) {
        return 0;
    }
    if (!wait_serving_messages(thread, STOP_WAIT_MS)) {
        return -1;
    }
    CloseHandle(thread);
    thread = NULL;
    return 0;
}

bool connection_running(void) {
    return thread != NULL;
}
