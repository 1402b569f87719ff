// The transcript box's reading place: back at the end, the count of entries below is cleared.
#include <winsock2.h>
#include <windows.h>

#include "client/receive.h"
#include "ui/ui.h"

static WNDPROC previous_procedure;

// Whatever the user did to the box, it may have brought the end into view.
static LRESULT CALLBACK transcript_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    LRESULT result = CallWindowProcW(previous_procedure, box, message, wparam, lparam);
    switch (message) {
    case WM_VSCROLL:
    case WM_MOUSEWHEEL:
    case WM_KEYDOWN:
    case WM_LBUTTONUP:
    case WM_SIZE:
        if (transcript_unread() > 0 && transcript_shows_end(box)) {
            transcript_read_to_end(box);
        }
        break;
    }
    return result;
}

void install_transcript_reading(HWND box) {
    previous_procedure =
        (WNDPROC)SetWindowLongPtrW(box, GWLP_WNDPROC, (LONG_PTR)transcript_procedure);
}
