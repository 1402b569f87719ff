// The connection's own thread: it connects, keeps the connection, notices when it dies and comes
// back by itself.  What to do next is the plan's to decide; this carries it out.
#include "client/connection_thread.h"

#include "client/connection.h"
#include "client/connection_plan.h"
#include "client/entry.h"
#include "client/message_wait.h"
#include "client/receive.h"
#include "client/window_messages.h"

// A line's echo normally comes back within milliseconds; this is long next to any real delay.
enum { WATCHDOG_FLOOR_MS = 10000 };

static HANDLE thread;
static volatile LONG stop_flag;
static volatile LONG reconnect_flag;
// GetTickCount of the oldest line the user sent that nothing has arrived since; 0: none.
static volatile LONG line_sent_at;

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

void connection_line_sent(void) {
    // 0 means no line: a send at tick 0 is noted a millisecond early instead.
    DWORD now = GetTickCount();
    InterlockedCompareExchange(&line_sent_at, (LONG)(now != 0 ? now : now - 1), 0);
    SetEvent(connection_wake_event());
}

void connection_bytes_arrived(void) {
    InterlockedExchange(&line_sent_at, 0);
}

// Milliseconds until the oldest unanswered line is overdue; INFINITE when none waits.
static DWORD watchdog_remaining(void) {
    DWORD sent = (DWORD)InterlockedCompareExchange(&line_sent_at, 0, 0);
    if (sent == 0) {
        return INFINITE;
    }
    DWORD limit = 2000 * (DWORD)g_keepalive_seconds;
    if (limit < WATCHDOG_FLOOR_MS) {
        limit = WATCHDOG_FLOOR_MS;
    }
    DWORD elapsed = GetTickCount() - sent;
    return elapsed >= limit ? 0 : limit - elapsed;
}

static void show_state(link_state state) {
    PostMessageA(g_client.main_window, WM_CONNECTION_STATE, (WPARAM)state, 0);
}

// Once an outage: which server cannot be reached.
static void report_outage(void) {
    char own_name[HOST_NAME_CAPACITY];
    append_to_transcript(&g_client,
                         compose_outage_line(host_to_look_up(g_client.server, own_name)));
}

static void attempt(connection_plan *plan) {
    show_state(LINK_CONNECTING);
    // This attempt is the one any earlier Reconnect asked for.
    take_reconnect();
    attempt_control control = {connection_wake_event(), connection_abandon_requested};
    int result = connect_to_server(&control);
    if (result == 0) {
        InterlockedExchange(&line_sent_at, 0);
        plan_connected(plan);
        show_state(LINK_CONNECTED);
    } else if (result == -5) {
        // Abandoned: a Reconnect starts the next attempt, a stop ends the loop.
        if (take_reconnect()) {
            plan_reconnect(plan);
        }
    } else {
        // No receive thread runs between connections, so this thread may write the transcript.
        if (plan_attempt_failed(plan)) {
            report_outage();
        }
        show_state(LINK_WAITING);
    }
}

// While connected: until the receive thread ends by itself, the user asks for something, or a
// line the user sent goes unanswered for too long.
static void keep(connection_plan *plan) {
    HANDLE events[2] = {g_client.receive_thread, connection_wake_event()};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(2, events, FALSE, watchdog_remaining());
        if (stopping()) {
            return;
        }
        if (take_reconnect()) {
            disconnect_from_server();
            plan_reconnect(plan);
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
            plan_lost(plan);
            show_state(LINK_WAITING);
            return;
        }
        if (woke == WAIT_TIMEOUT && watchdog_remaining() == 0) {
            // The receive thread wakes to a closed socket and reports the loss itself.
            InterlockedExchange(&line_sent_at, 0);
            note_connection_lost();
            break_connection();
        }
    }
}

static void wait_for_retry(connection_plan *plan) {
    DWORD start = GetTickCount();
    while (!stopping()) {
        if (take_reconnect()) {
            plan_reconnect(plan);
            return;
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= (DWORD)plan->wait_ms) {
            plan_wait_over(plan);
            return;
        }
        WaitForSingleObject(connection_wake_event(), (DWORD)plan->wait_ms - elapsed);
    }
}

static DWORD WINAPI connection_main(LPVOID) {
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
