// Code page 932 and Unicode, one character at a time, by the system's own tables: Win32's code
// page 932 on Windows, iconv's CP932 elsewhere.  Safe to call from any thread.
#pragma once

#include <stddef.h>

// The code point of the one character that bytes[0..length) holds (a single byte, or a first
// byte and the byte after it), or 0 when code page 932 has no character there.
unsigned cp932_to_code_point(const char *bytes, size_t length);

// The code page 932 bytes of a code point into out: 1 or 2 of them, or 0 when it has none.
size_t cp932_from_code_point(unsigned code_point, char out[2]);
