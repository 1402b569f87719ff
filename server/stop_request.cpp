// Signal and console-event handlers that only raise a flag; the event loop does the ending.
#include "server/stop_request.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <string.h>
#endif

// Written from a signal handler or the console's own handler thread, so it must be lock-free.
static std::atomic<int> g_stop(0);
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the stop flag must be lock-free");

#ifdef _WIN32
static std::atomic<int> g_service(0);

void stop_request_raise(void) {
    g_stop.store(1);
}

void stop_request_as_service(void) {
    g_service.store(1);
}

static BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_LOGOFF_EVENT && g_service.load() != 0) {
        return FALSE;
    }
    g_stop.store(1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process as soon as this handler returns.  Waiting here lets the event
        // loop tell the members and exit by itself, which ends this thread too.
        Sleep(10000);
    }
    return TRUE;
}

int stop_request_install(void) {
    return SetConsoleCtrlHandler(on_console_event, TRUE) ? 0 : -1;
}
#else
static void on_signal(int) {
    g_stop.store(1);
}

int stop_request_install(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the signal should cut poll short rather than wait for its timeout.
    if (sigaction(SIGINT, &action, NULL) != 0 || sigaction(SIGTERM, &action, NULL) != 0) {
        return -1;
    }
    return 0;
}
#endif

bool stop_requested(void) {
    return g_stop.load() != 0;
}
