// UTF-8 text from memo.ini turned into Shift-JIS by the system's own code page 932.
#include <windows.h>

#include <limits.h>
#include <stdlib.h>

#include "settings/settings.h"

enum { SHIFT_JIS_CODE_PAGE = 932 };

std::string shift_jis_from_utf8(const std::string &utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX / 2) {
        return std::string();
    }
    int length = (int)utf8.size();
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, NULL, 0);
    WCHAR *wide = units > 0 ? (WCHAR *)malloc((size_t)units * sizeof(WCHAR)) : NULL;
    if (wide == NULL) {
        return std::string();
    }
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide, units);
    // No best fit: a character Shift-JIS lacks becomes "?" rather than some look-alike ("é" would
    // quietly turn into "e").
    int bytes = WideCharToMultiByte(SHIFT_JIS_CODE_PAGE, WC_NO_BEST_FIT_CHARS, wide, units, NULL, 0,
                                    "?", NULL);
    std::string shift_jis;
    if (bytes > 0) {
        shift_jis.resize((size_t)bytes);
        WideCharToMultiByte(SHIFT_JIS_CODE_PAGE, WC_NO_BEST_FIT_CHARS, wide, units, &shift_jis[0],
                            bytes, "?", NULL);
    }
    free(wide);
    return shift_jis;
}
