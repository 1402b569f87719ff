// Code page 932 and Unicode, one character at a time, by iconv's CP932 (the Linux server and the
// native tests).
#include "client/code_page.h"

#include <iconv.h>

// One conversion of in into out, with a converter of its own: an iconv_t is not safe to share
// between threads, and opening one costs far less than a lock would in the rare calls made here.
// Returns the bytes written, or 0 when the input is not wholly converted.
static size_t convert(const char *to, const char *from, const char *in, size_t in_length, char *out,
                      size_t out_capacity) {
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) {
        return 0;
    }
    char *in_at = (char *)in, *out_at = out;
    size_t in_left = in_length, out_left = out_capacity;
    size_t done = iconv(cd, &in_at, &in_left, &out_at, &out_left);
    iconv_close(cd);
    return done == (size_t)-1 || in_left != 0 ? 0 : out_capacity - out_left;
}

unsigned cp932_to_code_point(const char *bytes, size_t length) {
    if (length == 0 || length > 2) {
        return 0;
    }
    unsigned char units[8];
    if (convert("UTF-16LE", "CP932", bytes, length, (char *)units, sizeof units) != 2) {
        return 0;
    }
    return (unsigned)units[0] | (unsigned)units[1] << 8;
}

size_t cp932_from_code_point(unsigned code_point, char out[2]) {
    if (code_point == 0 || code_point > 0xFFFF) {
        return 0;
    }
    const char units[2] = {(char)(code_point & 0xFF), (char)(code_point >> 8)};
    char bytes[8];
    size_t length = convert("CP932", "UTF-16LE", units, 2, bytes, sizeof bytes);
    if (length == 0 || length > 2) {
        return 0;
    }
    out[0] = bytes[0];
    out[1] = length == 2 ? bytes[1] : '\0';
    return length;
}
