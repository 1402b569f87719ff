// The input box's keys: Enter sends, Shift+Enter starts a new line.
#include <winsock2.h>
#include <windows.h>

#include "client/send_chat.h"
#include "ui/ui.h"

static WNDPROC previous_procedure;
static BYTE shift_held;
static client_state *sending_client;

void install_input_box_keys(HWND box, client_state *cs) {
    // Kept before the procedure is replaced, so no key can come first.
    sending_client = cs;
    // The pointer-sized setter: the 32-bit one would cut a 64-bit procedure address in half.
    previous_procedure =
        (WNDPROC)SetWindowLongPtrA(box, GWLP_WNDPROC, (LONG_PTR)input_box_procedure);
}

static void on_enter(HWND box) {
    if (shift_held)
        return;
    if (sending_client)
        send_chat_line(sending_client);
    // The carriage return this press produces is already queued behind us; the backspace follows
    // it and takes the line break out again, so the box ends as send_chat_line left it.
    PostMessageA(box, WM_CHAR, 8, 0);
}

LRESULT CALLBACK input_box_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_KEYDOWN:
        if (wparam == VK_RETURN)
            on_enter(box);
        else if (wparam == VK_SHIFT)
            shift_held = 1;
        break;
    case WM_KEYUP:
        if (wparam == VK_SHIFT)
            shift_held = 0;
        break;
    }
    return CallWindowProcA(previous_procedure, box, message, wparam, lparam);
}
