// memo.ini's raw bytes as the Shift-JIS text the lookups read, whatever encoding the editor chose.
#include "settings/settings.h"

#include "client/wide_text.h"

static bool starts_with(const std::string &bytes, const char *mark, size_t length) {
    return bytes.size() >= length && bytes.compare(0, length, mark, length) == 0;
}

// The length of the well-formed UTF-8 sequence at bytes[at], or 0 when there is none: no overlong
// forms, no surrogates, nothing past U+10FFFF.
static size_t utf8_sequence_length(const std::string &bytes, size_t at) {
    unsigned char lead = (unsigned char)bytes[at];
    if (lead < 0x80) {
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // bounds of the byte after the lead
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (bytes.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; i++) {
        unsigned char next = (unsigned char)bytes[at + i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// Japanese text in UTF-8 always has sequences of three bytes or more.  Shift-JIS text can pair
// half-width katakana into valid two-byte sequences (ﾃｨ is c3 a8), so those alone do not decide.
static bool looks_like_utf8(const std::string &bytes) {
    bool long_sequence = false;
    for (size_t at = 0; at < bytes.size();) {
        size_t length = utf8_sequence_length(bytes, at);
        if (length == 0) {
            return false;
        }
        long_sequence = long_sequence || length >= 3;
        at += length;
    }
    return long_sequence;
}

// UTF-8 as UTF-16.  A byte that starts no well-formed sequence becomes "?", so the user sees
// where the file is broken.
static std::u16string wide_from_utf8(const std::string &bytes, size_t start) {
    std::u16string out;
    for (size_t at = start; at < bytes.size();) {
        size_t length = utf8_sequence_length(bytes, at);
        if (length == 0) {
            out += u'?';
            at++;
            continue;
        }
        static const unsigned char lead_bits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
        unsigned code = (unsigned char)bytes[at] & lead_bits[length];
        for (size_t i = 1; i < length; i++) {
            code = code << 6 | ((unsigned char)bytes[at + i] & 0x3F);
        }
        if (code >= 0x10000) {
            out += (char16_t)(0xD800 + ((code - 0x10000) >> 10));
            out += (char16_t)(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += (char16_t)code;
        }
        at += length;
    }
    return out;
}

// UTF-16 after its mark.  Half a surrogate pair is left for the conversion to Shift-JIS, which
// writes "?" for it; so is an odd last byte.
static std::u16string wide_from_utf16(const std::string &bytes, size_t start, bool big_endian) {
    std::u16string out;
    size_t units = (bytes.size() - start) / 2;
    for (size_t i = 0; i < units; i++) {
        const unsigned char *p = (const unsigned char *)bytes.data() + start + 2 * i;
        out += (char16_t)(big_endian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]));
    }
    if ((bytes.size() - start) % 2 != 0) {
        out += u'?';
    }
    return out;
}

// What the runtime's text mode did to the file before: a CR right before an LF is dropped, and
// the byte 0x1A ends the text.  Neither byte is ever part of a Shift-JIS character.
static std::string as_text_mode_reads_it(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size() && text[i] != '\x1a'; i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string memo_text_from_bytes(const std::string &bytes) {
    std::u16string wide;
    if (starts_with(bytes, "\xEF\xBB\xBF", 3)) {
        wide = wide_from_utf8(bytes, 3);
    } else if (starts_with(bytes, "\xFF\xFE", 2)) {
        wide = wide_from_utf16(bytes, 2, false);
    } else if (starts_with(bytes, "\xFE\xFF", 2)) {
        wide = wide_from_utf16(bytes, 2, true);
    } else if (looks_like_utf8(bytes)) {
        wide = wide_from_utf8(bytes, 0);
    } else {
        return as_text_mode_reads_it(bytes);
    }
    return as_text_mode_reads_it(shift_jis_from_wide(wide.data(), wide.size()));
}
