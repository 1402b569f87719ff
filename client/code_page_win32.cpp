// Code page 932 and Unicode, one character at a time, by Win32's own tables.
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
