// Names as the "(n)" rule compares them, so that names that look the same count as the same.
#pragma once

#include <stddef.h>
#include <string>

// The canonical form of a Shift-JIS name: each character, escapes included, as its Unicode code
// point (the NEC and IBM encodings of one character are one), full-width ASCII as ASCII, ASCII
// letters in lower case, and spaces and ideographic spaces at either end left out.  Bytes that
// are no character stay distinct from every character.  Call it from one thread only: it keeps
// what it has looked up.
std::string canonical_name(const char *bytes, size_t count);
