// Message pumping and message boxes for the Wine tests.
#include "tests/wine/test_support.h"

static void dispatch_pending(void) {
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void pump_messages(int ms) {
    DWORD start = GetTickCount();
    for (;;) {
        dispatch_pending();
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= (DWORD)ms) {
            return;
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, (DWORD)ms - elapsed, QS_ALLINPUT);
    }
}

bool pump_until(bool (*done)(void *context), void *context, int timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        dispatch_pending();
        if (done(context)) {
            return true;
        }
        if (GetTickCount() - start >= (DWORD)timeout_ms) {
            return false;
        }
        // Short naps: what we wait for is often another thread's work, which sends no message.
        MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
    }
}

static HWND find_visible_box(const char *caption) {
    HWND box = NULL;
    // The box is found by its caption before its text may be set; once shown it is complete.
    while ((box = FindWindowExA(NULL, box, "#32770", caption)) != NULL) {
        if (IsWindowVisible(box)) {
            return box;
        }
    }
    return NULL;
}

struct box_search {
    const char *caption;
    HWND found;
};

static bool box_found(void *context) {
    box_search *search = (box_search *)context;
    search->found = find_visible_box(search->caption);
    return search->found != NULL;
}

HWND wait_for_message_box(const char *caption, int timeout_ms) {
    box_search search = {caption, NULL};
    pump_until(box_found, &search, timeout_ms);
    return search.found;
}

// WM_GETTEXT rather than GetWindowTextA, which does not ask a window of another process.
static std::string window_text(HWND window) {
    LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) {
        return std::string();
    }
    std::string text((size_t)length + 1, '\0');
    LRESULT got = SendMessageA(window, WM_GETTEXT, (WPARAM)text.size(), (LPARAM)&text[0]);
    text.resize(got < 0 ? 0 : (size_t)got);
    return text;
}

std::string message_box_text(HWND box) {
    HWND text = GetDlgItem(box, 0xFFFF);
    return text == NULL ? std::string() : window_text(text);
}

enum { ANSWER_TIMEOUT_MS = 6000 };

static bool window_gone(void *context) {
    return !IsWindow((HWND)context);
}

bool answer_message_box(HWND box, int button_id) {
    HWND button = GetDlgItem(box, button_id);
    if (button == NULL) {
        return false;
    }
    // Sent, not posted: under Wine on an X display without a window manager, the box's thread
    // sits in waits that serve sent messages only, and a posted click stays unanswered.  A box
    // thread that waits on this one meanwhile is served: a thread blocked in SendMessageTimeoutA
    // still handles messages sent to it.  The time-out keeps a box of a hung process from
    // holding the test.
    DWORD_PTR ignored;
    SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_NORMAL, ANSWER_TIMEOUT_MS, &ignored);
    return pump_until(window_gone, box, ANSWER_TIMEOUT_MS);
}
