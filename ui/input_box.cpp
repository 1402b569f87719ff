// The input box's keys: Enter sends, Shift+Enter starts a new line.
#include <winsock2.h>
#include <windows.h>

#include "client/send_chat.h"
#include "client/window_text.h"
#include "ui/ui.h"

static WNDPROC previous_procedure;
static BYTE shift_held;
static client_state *sending_client;

void install_input_box_keys(HWND box, client_state *cs) {
    // Kept before the procedure is replaced, so no key can come first.
    sending_client = cs;
    // The pointer-sized setter: the 32-bit one would cut a 64-bit procedure address in half.
    previous_procedure =
        (WNDPROC)SetWindowLongPtrW(box, GWLP_WNDPROC, (LONG_PTR)input_box_procedure);
}

static void on_enter(HWND box) {
    if (shift_held)
        return;
    send_chat_line(sending_client);
    // The carriage return this press produces is already queued behind us; the backspace follows
    // it and takes the line break out again, so the box ends as send_chat_line left it.
    PostMessageW(box, WM_CHAR, 8, 0);
}

// Pasted text goes in as far as the box's limit lets it, ending on a whole character: the box
// itself would cut a surrogate pair in half, and what the box holds is what is sent.
static bool paste_whole_characters(HWND box) {
    if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(box)) {
        return false;
    }
    std::u16string text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const char16_t *chars = (const char16_t *)GlobalLock(data)) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    DWORD start = 0, end = 0;
    SendMessageW(box, EM_GETSEL, (WPARAM)&start, (LPARAM)&end);
    size_t kept = (size_t)GetWindowTextLengthW(box) - (end - start);
    size_t limit = (size_t)SendMessageW(box, EM_GETLIMITTEXT, 0, 0);
    size_t room = limit > kept ? limit - kept : 0;
    text.resize(cut_wide_at_character(text.data(), text.size(), room));
    SendMessageW(box, EM_REPLACESEL, TRUE, (LPARAM)wide_chars(text));
    return true;
}

LRESULT CALLBACK input_box_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_PASTE:
        if (paste_whole_characters(box)) {
            return 0;
        }
        break;
    case WM_KEYDOWN:
        if (wparam == VK_RETURN)
            on_enter(box);
        else if (wparam == VK_SHIFT)
            shift_held = 1;
        // Shift+Insert pastes inside the edit control, without a WM_PASTE.
        else if (wparam == VK_INSERT && shift_held && (GetKeyState(VK_CONTROL) & 0x8000) == 0 &&
                 paste_whole_characters(box))
            return 0;
        break;
    case WM_KEYUP:
        if (wparam == VK_SHIFT)
            shift_held = 0;
        break;
    }
    return CallWindowProcW(previous_procedure, box, message, wparam, lparam);
}
