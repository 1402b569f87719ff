// UTF-16 text, as the window holds it, and the Shift-JIS bytes of the wire, the log and memo.ini.
// Portable: no window or socket here.
//
// Sent, each character goes as its code page 932 bytes when it has some (never a look-alike),
// else as escapes; received, escapes are shown as the characters they stand for (escape_at).
//
//   typed                 wire                    shown
//   あ                    82 A0                   あ
//   ム                    &#x30E0                 ム
//   é                     &#x00E9                 é
//   😀                    &#xD83D&#xDE00          😀
//   〜 U+301C             81 60                   ～ U+FF5E (and six more, see wire_from_wide)
//   &#x00E9 (typed)       &#x0026#x00E9           &#x00E9
//   a lone surrogate      ?                       ?
#pragma once

#include <stddef.h>

#include <string>

// True when code page 932 has a character for code_point: it is what some bytes convert to.
// U+0000 and U+0080 do not count, as their bytes are NUL and the frame's terminator.
bool cp932_has_code_point(unsigned code_point);

// UTF-16 typed by the user as the bytes that go on the wire, never holding 0x00 or 0x80.
// A character code page 932 has goes as its bytes, but the 51 whose second byte is 0x80 go as
// their escapes; 〜 U+301C, − U+2212, ‖ U+2016, — U+2014, ¢ U+00A2, £ U+00A3 and ¬ U+00AC go as
// the code page 932 characters a Japanese keyboard means by them (81 60, 81 7C, 81 61, 81 5C,
// 81 91, 81 92, 81 CA); every other character goes as its escape, one beyond U+FFFF as the
// escapes of its surrogate pair.  Half a pair goes as "?".  An "&" followed by "#x" and four hex
// digits goes as "&#x0026", so the receiver shows what was typed.
std::string wire_from_wide(const char16_t *text, size_t length);

// The same as Shift-JIS text for memo.ini's values: the 51 stay their bytes and "&" stays "&",
// as the hello escapes what it needs itself.
std::string shift_jis_from_wide(const char16_t *text, size_t length);

// Shift-JIS bytes as UTF-16 for the window: the text as code page 932 gives it (cp932_to_utf16:
// U+FFFD for whatever is no character, a first byte cut off at the end included), with each
// escape escape_at accepts as its character.  One pass from the start: what an escape gives is
// never read again, so "&#x0026#x00E9" shows as "&#x00E9".  The 51 read the same as bytes or as
// escapes, so text that unescape_frame_text has been through shows the same.
std::u16string wide_from_shift_jis(const std::string &bytes);

// The length of the longest start of text, at most limit units, that ends between two
// characters: never between the halves of a surrogate pair, nor between CR and LF.
size_t cut_wide_at_character(const char16_t *text, size_t length, size_t limit);

// UTF-16 as UTF-8; half a surrogate pair becomes U+FFFD.
std::string utf8_from_wide(const std::u16string &wide);
