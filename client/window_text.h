// The windows' text: UTF-16 for the ...W functions, converted from and to the Shift-JIS bytes the
// rest of the client keeps (client/wide_text.h), always by code page 932, never the system's.
#pragma once

#include <windows.h>

#include <string>

#include "client/wide_text.h"

// wchar_t is UTF-16 on Windows, so the portable code's char16_t text is what the system takes.
inline const wchar_t *wide_chars(const std::u16string &text) {
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

// The window's whole text, as typed.
std::u16string window_wide_text(HWND window);

// Shift-JIS bytes (escapes shown as their characters) as the window's text.
void set_window_shift_jis(HWND window, const std::string &bytes);
