// The windows' text: UTF-16 for the ...W functions.
#include "client/window_text.h"

std::u16string window_wide_text(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::u16string text(length > 0 ? (size_t)length + 1 : 1, u'\0');
    int got = GetWindowTextW(window, reinterpret_cast<wchar_t *>(&text[0]), (int)text.size());
    text.resize(got > 0 ? (size_t)got : 0);
    return text;
}

void set_window_shift_jis(HWND window, const std::string &bytes) {
    SetWindowTextW(window, wide_chars(wide_from_shift_jis(bytes)));
}
