// The main window's private messages, which the client's threads post to it.  Numbered from
// WM_APP, the range that belongs to the application rather than to a window class.
#pragma once

#include <windows.h>

enum {
    // Once per run, when the conversation log cannot be written; the box is shown on the
    // window's own thread.
    WM_LOG_FAILED = WM_APP + 1,
    // Whenever the connection's state changes; wParam is a link_state.
    WM_CONNECTION_STATE = WM_APP + 2,
    // Lines the server never took are back for the user (sending_take_given_back).
    WM_LINES_GIVEN_BACK = WM_APP + 3,
    // The count of entries the user has not scrolled down to changed (transcript_unread).
    WM_UNREAD_COUNT = WM_APP + 5
};
