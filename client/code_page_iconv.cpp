// Code page 932 and Unicode, by iconv's CP932 (the Linux server and the native tests).
#include "client/code_page.h"

#include <errno.h>
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

static const char16_t REPLACEMENT = 0xFFFD;

// Appends the UTF-16 of the whole characters in run[0..length); iconv stops at each it has no
// character for, which becomes U+FFFD, and goes on after it.
static void convert_run(iconv_t cd, const char *run, size_t length, std::u16string *out) {
    char *in = (char *)run;
    size_t in_left = length;
    while (in_left > 0) {
        unsigned char bytes[2048];
        char *to = (char *)bytes;
        size_t out_left = sizeof bytes;
        size_t done = iconv(cd, &in, &in_left, &to, &out_left);
        char16_t units[sizeof bytes / 2];
        size_t count = (size_t)(to - (char *)bytes) / 2;
        for (size_t i = 0; i < count; i++) {
            units[i] = (char16_t)(bytes[2 * i] | bytes[2 * i + 1] << 8);
        }
        out->append(units, count);
        if (done == (size_t)-1 && errno != E2BIG) {
            size_t at = (size_t)(in - run);
            size_t step = shift_jis_character_length(run, length, at);
            out->push_back(REPLACEMENT);
            in += step;
            in_left -= step;
            iconv(cd, NULL, NULL, NULL, NULL);
        }
    }
}

std::u16string cp932_to_utf16(const char *bytes, size_t length) {
    std::u16string out;
    out.reserve(length);
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    for (size_t at = 0; at < length;) {
        size_t end = cp932_run_end(bytes, length, at, length);
        if (end == at) {
            out.push_back(REPLACEMENT);
            at++;
            continue;
        }
        if (cd != (iconv_t)-1) {
            convert_run(cd, bytes + at, end - at, &out);
        } else {
            // No converter: the characters are there, but none can be named.
            for (; at < end; at += shift_jis_character_length(bytes, end, at)) {
                out.push_back(REPLACEMENT);
            }
        }
        at = end;
    }
    if (cd != (iconv_t)-1) {
        iconv_close(cd);
    }
    return out;
}
