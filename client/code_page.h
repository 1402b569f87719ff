// Code page 932 and Unicode, one character at a time and in bulk, by the system's own tables:
// Win32's code page 932 on Windows, iconv's CP932 elsewhere.  Safe to call from any thread.
#pragma once

#include <stddef.h>

#include <string>

#include "client/protocol.h"

// The code point of the one character that bytes[0..length) holds (a single byte, or a first
// byte and the byte after it), or 0 when code page 932 has no character there.
unsigned cp932_to_code_point(const char *bytes, size_t length);

// The code page 932 bytes of a code point into out: 1 or 2 of them, or 0 when it has none.
size_t cp932_from_code_point(unsigned code_point, char out[2]);

// bytes[0..length) as UTF-16, one unit for each character (see shift_jis_character_length).
// Whatever is no character becomes one U+FFFD: a pair the tables have nothing for, a first byte
// at the very end or before a byte that cannot follow it (that byte then counts on its own, so a
// line break after a cut character stays a line break), and the single bytes 80, A0 and FD-FF,
// which only Windows maps (to U+0080 and private use) and iconv does not.  Both implementations
// give the same text for the same bytes.
std::u16string cp932_to_utf16(const char *bytes, size_t length);

// For the implementations: where the run of whole characters from at ends, at most limit bytes
// on.  It stops before anything cp932_to_utf16 turns into U+FFFD without asking the tables.
inline size_t cp932_run_end(const char *bytes, size_t length, size_t at, size_t limit) {
    size_t start = at;
    while (at < length && at - start < limit) {
        unsigned char byte = (unsigned char)bytes[at];
        size_t step = shift_jis_character_length(bytes, length, at);
        if ((step == 1 && is_shift_jis_lead_byte(byte)) || byte == 0x80 || byte == 0xA0 ||
            byte >= 0xFD) {
            break;
        }
        at += step;
    }
    return at;
}
