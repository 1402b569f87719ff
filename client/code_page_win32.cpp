// Code page 932 and Unicode, by Win32's own tables.
#include "client/code_page.h"

#include <windows.h>

enum { CODE_PAGE_932 = 932 };

unsigned cp932_to_code_point(const char *bytes, size_t length) {
    if (length == 0 || length > 2) {
        return 0;
    }
    WCHAR wide[2];
    int units =
        MultiByteToWideChar(CODE_PAGE_932, MB_ERR_INVALID_CHARS, bytes, (int)length, wide, 2);
    return units == 1 ? wide[0] : 0;
}

size_t cp932_from_code_point(unsigned code_point, char out[2]) {
    if (code_point == 0 || code_point > 0xFFFF) {
        return 0;
    }
    WCHAR wide = (WCHAR)code_point;
    BOOL defaulted = FALSE;
    // No best fit: a look-alike would be another character than the one named.
    int bytes = WideCharToMultiByte(CODE_PAGE_932, WC_NO_BEST_FIT_CHARS, &wide, 1, out, 2, NULL,
                                    &defaulted);
    return bytes > 0 && !defaulted ? (size_t)bytes : 0;
}

// Runs are converted in blocks of this many bytes at most: a block with a pair the tables lack
// fails as a whole and is redone a character at a time, so broken text costs little more.
enum { BLOCK_BYTES = 4096 };

std::u16string cp932_to_utf16(const char *bytes, size_t length) {
    std::u16string out;
    out.reserve(length);
    for (size_t at = 0; at < length;) {
        size_t end = cp932_run_end(bytes, length, at, BLOCK_BYTES);
        if (end == at) {
            out.push_back(0xFFFD);
            at++;
            continue;
        }
        // Each character is one unit, so a block never needs more units than it has bytes.
        size_t done = out.size();
        out.resize(done + (end - at));
        int units = MultiByteToWideChar(CODE_PAGE_932, MB_ERR_INVALID_CHARS, bytes + at,
                                        (int)(end - at), (WCHAR *)&out[done], (int)(end - at));
        out.resize(done + (units > 0 ? (size_t)units : 0));
        if (units <= 0) {
            for (size_t step; at < end; at += step) {
                step = shift_jis_character_length(bytes, end, at);
                WCHAR wide;
                bool one = MultiByteToWideChar(CODE_PAGE_932, MB_ERR_INVALID_CHARS, bytes + at,
                                               (int)step, &wide, 1) == 1;
                out.push_back(one ? (char16_t)wide : (char16_t)0xFFFD);
            }
        }
        at = end;
    }
    return out;
}
