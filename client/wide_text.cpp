// UTF-16 to the wire's Shift-JIS with escapes, and back for the window.
#include "client/wide_text.h"

#include <stdio.h>
#include <string.h>

#include "client/code_page.h"
#include "client/protocol.h"

// One bit for each code point of the Basic Multilingual Plane.
struct code_point_set {
    unsigned char bits[0x10000 / 8];
};

// Every character code page 932 converts to, from one bulk conversion of every single byte and
// every first byte with every second byte.  Built once, on first use from whichever thread.
static code_point_set find_cp932_characters(void) {
    std::string all;
    for (unsigned byte = 1; byte <= 0xFF; byte++) {
        if (!is_shift_jis_lead_byte((unsigned char)byte)) {
            all += (char)byte;
        }
    }
    for (unsigned lead = 0x81; lead <= 0xFC; lead++) {
        for (unsigned second = 0x40; second <= 0xFC; second++) {
            if (is_shift_jis_lead_byte((unsigned char)lead) &&
                is_shift_jis_second_byte((unsigned char)second)) {
                all += (char)lead;
                all += (char)second;
            }
        }
    }
    code_point_set set;
    memset(&set, 0, sizeof set);
    std::u16string characters = cp932_to_utf16(all.data(), all.size());
    for (char16_t c : characters) {
        set.bits[c >> 3] |= (unsigned char)(1u << (c & 7));
    }
    // U+FFFD stands for what is no character; U+0080 is only Windows' name for the byte 0x80.
    const unsigned none[] = {0xFFFD, 0x0080};
    for (unsigned c : none) {
        set.bits[c >> 3] &= (unsigned char)~(1u << (c & 7));
    }
    return set;
}

bool cp932_has_code_point(unsigned code_point) {
    static const code_point_set set = find_cp932_characters();
    return code_point != 0 && code_point < 0x10000 &&
           (set.bits[code_point >> 3] >> (code_point & 7) & 1) != 0;
}

// Characters a Japanese input method gives that code page 932 spells with other code points:
// JIS X 0208's mapping to Unicode, where Windows has its own.
static size_t jis_variant_bytes(unsigned code_point, char out[2]) {
    static const struct {
        unsigned short code_point;
        unsigned char bytes[2];
    } variants[] = {
        {0x301C, {0x81, 0x60}}, // 〜, shown as ～ U+FF5E
        {0x2212, {0x81, 0x7C}}, // −, shown as － U+FF0D
        {0x2016, {0x81, 0x61}}, // ‖, shown as ∥ U+2225
        {0x2014, {0x81, 0x5C}}, // —, shown as ― U+2015
        {0x00A2, {0x81, 0x91}}, // ¢, shown as ￠ U+FFE0
        {0x00A3, {0x81, 0x92}}, // £, shown as ￡ U+FFE1
        {0x00AC, {0x81, 0xCA}}, // ¬, shown as ￢ U+FFE2
    };
    for (const auto &v : variants) {
        if (v.code_point == code_point) {
            out[0] = (char)v.bytes[0];
            out[1] = (char)v.bytes[1];
            return 2;
        }
    }
    return 0;
}

static void append_escape(std::string *out, unsigned unit) {
    char escape[ESCAPE_LENGTH + 1];
    snprintf(escape, sizeof escape, "&#x%04X", unit & 0xFFFF);
    out->append(escape, ESCAPE_LENGTH);
}

static bool is_hex_digit(char16_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// True when text[at] is "&" and what follows it would make the receiver read an escape.
static bool starts_typed_escape(const char16_t *text, size_t length, size_t at) {
    if (length - at < ESCAPE_LENGTH || text[at] != '&' || text[at + 1] != '#' ||
        text[at + 2] != 'x') {
        return false;
    }
    for (size_t i = 3; i < ESCAPE_LENGTH; i++) {
        if (!is_hex_digit(text[at + i])) {
            return false;
        }
    }
    return true;
}

static std::string encode(const char16_t *text, size_t length, bool for_wire) {
    std::string out;
    out.reserve(2 * length);
    for (size_t i = 0; i < length; i++) {
        unsigned unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            append_escape(&out, unit);
            append_escape(&out, text[++i]);
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            out += '?';
            continue;
        }
        if (for_wire && starts_typed_escape(text, length, i)) {
            append_escape(&out, '&');
            continue;
        }
        char bytes[2];
        size_t count = jis_variant_bytes(unit, bytes);
        if (count == 0 && cp932_has_code_point(unit)) {
            count = cp932_from_code_point(unit, bytes);
        }
        if (count == 0 || (for_wire && count == 2 && (unsigned char)bytes[1] == FRAME_TERMINATOR)) {
            append_escape(&out, unit);
        } else {
            out.append(bytes, count);
        }
    }
    return out;
}

std::string wire_from_wide(const char16_t *text, size_t length) {
    return encode(text, length, true);
}

std::string shift_jis_from_wide(const char16_t *text, size_t length) {
    return encode(text, length, false);
}

// The escape at wide[at] as escape_at reads it in bytes: escapes are ASCII, and code page 932
// gives ASCII code points only for ASCII bytes, so the units read alike.
static size_t wide_escape_at(const std::u16string &wide, size_t at, unsigned *code_point) {
    char ascii[2 * ESCAPE_LENGTH];
    size_t length = wide.size() - at < sizeof ascii ? wide.size() - at : sizeof ascii;
    for (size_t i = 0; i < length; i++) {
        ascii[i] = wide[at + i] < 0x80 ? (char)wide[at + i] : '\0';
    }
    return escape_at(ascii, length, 0, code_point);
}

std::u16string wide_from_shift_jis(const std::string &bytes) {
    // One bulk conversion, then the escapes in its units: each character is one unit, so every
    // "&" there was an "&" in the bytes, and no step looks back.
    std::u16string wide = cp932_to_utf16(bytes.data(), bytes.size());
    if (wide.find(u'&') == std::u16string::npos) {
        return wide;
    }
    std::u16string shown;
    shown.reserve(wide.size());
    size_t copied = 0;
    for (size_t at = wide.find(u'&'); at != std::u16string::npos; at = wide.find(u'&', at)) {
        unsigned code_point;
        size_t step = wide_escape_at(wide, at, &code_point);
        if (step == 0) {
            at++;
            continue;
        }
        shown.append(wide, copied, at - copied);
        if (code_point < 0x10000) {
            shown += (char16_t)code_point;
        } else {
            shown += (char16_t)(0xD800 + ((code_point - 0x10000) >> 10));
            shown += (char16_t)(0xDC00 + ((code_point - 0x10000) & 0x3FF));
        }
        at += step;
        copied = at;
    }
    shown.append(wide, copied, std::u16string::npos);
    return shown;
}

std::string utf8_from_wide(const std::u16string &wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); i++) {
        unsigned code = wide[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (wide[++i] - 0xDC00u);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += (char)code;
        } else if (code < 0x800) {
            out += (char)(0xC0 | code >> 6);
            out += (char)(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += (char)(0xE0 | code >> 12);
            out += (char)(0x80 | (code >> 6 & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        } else {
            out += (char)(0xF0 | code >> 18);
            out += (char)(0x80 | (code >> 12 & 0x3F));
            out += (char)(0x80 | (code >> 6 & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }
    return out;
}

size_t cut_wide_at_character(const char16_t *text, size_t length, size_t limit) {
    if (length <= limit) {
        return length;
    }
    size_t cut = limit;
    bool splits_pair = cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF &&
                       text[cut] >= 0xDC00 && text[cut] <= 0xDFFF;
    bool splits_break = cut > 0 && text[cut - 1] == u'\r' && text[cut] == u'\n';
    return splits_pair || splits_break ? cut - 1 : cut;
}
