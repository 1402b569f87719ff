// Frame assembly, payload kinds and the payloads the client sends.
#include "client/protocol.h"

#include <stdio.h>
#include <string.h>

#include "client/wide_text.h"
#include "client/code_page.h"

int frame_take_bytes(frame_assembler *fa, const char *bytes, size_t count, size_t *used) {
    const char *terminator = (const char *)memchr(bytes, FRAME_TERMINATOR, count);
    size_t run = terminator != NULL ? (size_t)(terminator - bytes) : count;
    for (size_t at = 0; at < run;) {
        // A NUL would cut the payload short wherever it is later treated as a C string.
        const char *nul = (const char *)memchr(bytes + at, '\0', run - at);
        size_t piece = (nul != NULL ? (size_t)(nul - bytes) : run) - at;
        // Past the cap the rest of this frame is dropped; its terminator still ends it, so the
        // next frame starts clean.
        size_t room = FRAME_PAYLOAD_CAP - fa->payload.size();
        size_t kept = piece < room ? piece : room;
        fa->payload.append(bytes + at, kept);
        fa->dropped += piece - kept;
        at += piece + (nul != NULL);
    }
    *used = run + (terminator != NULL);
    return terminator != NULL;
}

void frame_reset(frame_assembler *fa) {
    fa->payload.clear();
    fa->dropped = 0;
}

payload_kind classify_payload(const std::string &payload) {
    // Tested whole before the first byte, so "ver_err" + more is just an unknown kind.
    if (payload == VERSION_REFUSAL_PAYLOAD) {
        return PAYLOAD_VERSION_REFUSAL;
    }
    if (payload.empty()) {
        return PAYLOAD_IGNORED;
    }
    switch (payload[0]) {
    case 'd':
        return PAYLOAD_RELAY;
    case 'e':
        return PAYLOAD_MEMBER_LIST;
    case 'o':
        return PAYLOAD_OFFER;
    case 's':
        return PAYLOAD_LIVE_LINE;
    case 'p':
        return PAYLOAD_PAST_LINE;
    case 'f':
        return PAYLOAD_PAGE_END;
    case 'a':
        return PAYLOAD_ACK;
    default:
        return PAYLOAD_IGNORED;
    }
}

bool is_shutdown_notice(const std::string &relay_body) {
    return relay_body == SHUTDOWN_NOTICE;
}

// 0x3B is never the second byte of a Shift-JIS character, so a byte-wise search meets only real
// semicolons.
void split_relay(const std::string &relay_body, std::string *name, std::string *text) {
    size_t semicolon = relay_body.find(';');
    if (semicolon == std::string::npos) {
        *name = relay_body;
        text->clear();
        return;
    }
    *name = relay_body.substr(0, semicolon);
    *text = relay_body.substr(semicolon + 1);
}

// The code points of the characters whose second byte is 0x80, as the system's tables give them:
// one bit for each code point of the Basic Multilingual Plane, so each escape met costs one
// look-up.  Built once, on first use from whichever thread: a static local is made exactly once.
struct eighty_table {
    unsigned char bits[0x10000 / 8];
};

static eighty_table find_eighty_characters(void) {
    eighty_table table;
    memset(&table, 0, sizeof table);
    for (unsigned lead = 0x81; lead <= 0xFC; lead++) {
        char pair[2] = {(char)lead, (char)FRAME_TERMINATOR};
        unsigned code_point = is_shift_jis_lead_byte((unsigned char)lead)
                                  ? cp932_to_code_point(pair, sizeof pair)
                                  : 0;
        if (code_point != 0 && code_point < 0x10000) {
            table.bits[code_point >> 3] |= (unsigned char)(1u << (code_point & 7));
        }
    }
    return table;
}

static bool is_eighty_character(unsigned code_point) {
    static const eighty_table table = find_eighty_characters();
    return code_point < 0x10000 && (table.bits[code_point >> 3] >> (code_point & 7) & 1) != 0;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The code point an escape-shaped run at text[at] names, or 0 when the run is not escape-shaped.
static unsigned escaped_code_point(const char *text, size_t length, size_t at) {
    if (length < ESCAPE_LENGTH || at > length - ESCAPE_LENGTH || text[at] != '&' ||
        text[at + 1] != '#' || text[at + 2] != 'x') {
        return 0;
    }
    unsigned code_point = 0;
    for (size_t i = 3; i < ESCAPE_LENGTH; i++) {
        int digit = hex_value(text[at + i]);
        if (digit < 0) {
            return 0;
        }
        code_point = code_point << 4 | (unsigned)digit;
    }
    return code_point;
}

static bool is_surrogate(unsigned code_point) {
    return code_point >= 0xD800 && code_point <= 0xDFFF;
}

// What an escape may stand for: "&" (so a typed escape can be sent as typed), the characters
// whose second byte is 0x80, and any character code page 932 lacks but a control or half a
// surrogate pair, neither of which ever comes out of an escape.
static bool is_decodable(unsigned code_point) {
    if (code_point == '&' || is_eighty_character(code_point)) {
        return true;
    }
    return code_point >= 0x20 && (code_point < 0x7F || code_point > 0x9F) &&
           !is_surrogate(code_point) && !cp932_has_code_point(code_point);
}

size_t escape_at(const char *text, size_t length, size_t at, unsigned *code_point) {
    if (at >= length || text[at] != '&') {
        return 0;
    }
    unsigned first = escaped_code_point(text, length, at);
    if (first >= 0xD800 && first <= 0xDBFF) {
        unsigned second = escaped_code_point(text, length, at + ESCAPE_LENGTH);
        if (second < 0xDC00 || second > 0xDFFF) {
            return 0;
        }
        *code_point = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
        return 2 * ESCAPE_LENGTH;
    }
    if (!is_decodable(first)) {
        return 0;
    }
    *code_point = first;
    return ESCAPE_LENGTH;
}

size_t escape_length_at(const char *text, size_t length, size_t at) {
    unsigned code_point;
    return escape_at(text, length, at, &code_point);
}

std::string escape_frame_text(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char byte = (unsigned char)text[i];
        if (is_shift_jis_lead_byte(byte) && i + 1 < text.size()) {
            if ((unsigned char)text[i + 1] != FRAME_TERMINATOR) {
                out.append(text, i, 2);
            } else if (unsigned code_point = cp932_to_code_point(&text[i], 2)) {
                char escape[ESCAPE_LENGTH + 1];
                snprintf(escape, sizeof escape, "&#x%04X", code_point & 0xFFFF);
                out += escape;
            } else {
                out += '?';
            }
            i++;
        } else {
            out += byte == FRAME_TERMINATOR ? '?' : (char)byte;
        }
    }
    return out;
}

std::string unescape_frame_text(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    // '&' is never the second byte of a double-byte character, so a byte-wise search meets only
    // real ampersands.
    for (size_t i = 0; i < text.size(); i++) {
        char bytes[2];
        size_t count = 0;
        unsigned code_point = text[i] == '&' ? escaped_code_point(text.data(), text.size(), i) : 0;
        if (code_point != 0 && is_eighty_character(code_point)) {
            count = cp932_from_code_point(code_point, bytes);
        }
        if (count == 0) {
            out += text[i];
            continue;
        }
        out.append(bytes, count);
        i += ESCAPE_LENGTH - 1;
    }
    return out;
}

size_t cut_at_character(const char *text, size_t length, size_t limit) {
    size_t at = 0;
    while (at < length) {
        size_t step = escape_length_at(text, length, at);
        if (step == 0) {
            step = shift_jis_character_length(text, length, at);
        }
        if (step > limit - at) {
            break;
        }
        at += step;
    }
    return at;
}

// Whether text[at..length) could be the start of an escape cut short: "&", "&#", "&#x", then
// fewer than four hex digits.
static bool is_escape_start(const char *text, size_t length, size_t at) {
    static const char shape[] = "&#x";
    if (length - at >= ESCAPE_LENGTH) {
        return false;
    }
    for (size_t i = at; i < length; i++) {
        if (i - at < 3 ? text[i] != shape[i - at] : hex_value(text[i]) < 0) {
            return false;
        }
    }
    return true;
}

size_t whole_characters_length(const char *text, size_t length) {
    size_t at = 0;
    while (at < length && !(at + 1 == length && is_shift_jis_lead_byte((unsigned char)text[at]))) {
        size_t step = escape_length_at(text, length, at);
        at += step != 0 ? step : shift_jis_character_length(text, length, at);
    }
    // "&" is never the second byte of a character and comes at most once in an escape, so the
    // last one decides.
    for (size_t back = 1; back < ESCAPE_LENGTH && back <= at; back++) {
        if (text[at - back] == '&') {
            at -= is_escape_start(text, at, at - back) ? back : 0;
            break;
        }
    }
    unsigned high = at >= ESCAPE_LENGTH ? escaped_code_point(text, at, at - ESCAPE_LENGTH) : 0;
    if (high >= 0xD800 && high <= 0xDBFF) {
        at -= ESCAPE_LENGTH;
    }
    if (at > 0 && text[at - 1] == '\r') {
        at--;
    }
    return at;
}

std::string hello_payload(const char *name) {
    // Escaped, the name may grow past the limit, and is cut again at a whole character.
    size_t length = 0;
    while (length < NAME_LIMIT && name[length] != '\0') {
        length++;
    }
    std::string escaped = escape_frame_text(std::string(name, length));
    std::string payload = CLIENT_IDENTIFIER ";";
    payload.append(escaped, 0, cut_at_character(escaped.data(), escaped.size(), NAME_LIMIT));
    return payload;
}

// CR CR LF is two breaks, and LF CR two as well.  A scan byte by byte is right for Shift-JIS: a
// double-byte character's second byte is 0x40 or above, so 0x0D and 0x0A are always characters of
// their own, never the end of one.
void frame_line_breaks(const char *text, size_t count, std::string *out) {
    out->clear();
    size_t from = 0;
    for (size_t i = 0; i < count; i++) {
        if (text[i] != '\r' && text[i] != '\n') {
            continue;
        }
        out->append(text + from, i - from);
        out->append("\r\n", 2);
        i += text[i] == '\r' && i + 1 < count && text[i + 1] == '\n';
        from = i + 1;
    }
    out->append(text + from, count - from);
}

std::string chat_payload(const char *text) {
    std::string payload = escape_frame_text(text);
    payload += "\r\n";
    return payload;
}

std::string chat_payload(const char16_t *text, size_t length) {
    std::string payload = wire_from_wide(text, length);
    payload += "\r\n";
    return payload;
}

bool ends_in_cut_character(const std::string &text) {
    // Only a walk from the start tells a lead byte from a second byte of the same value.
    size_t i = 0;
    while (i < text.size()) {
        if (!is_shift_jis_lead_byte((unsigned char)text[i])) {
            i++;
        } else if (i + 1 == text.size()) {
            return true;
        } else {
            i += 2;
        }
    }
    return false;
}

std::string name_without_controls(const std::string &name, bool semicolons) {
    // No second byte of a Shift-JIS character is below 0x40 or 0x7F, so byte by byte is safe.
    std::string safe = name;
    for (char &c : safe) {
        if ((unsigned char)c < 0x20 || c == 0x7F || (semicolons && c == ';')) {
            c = '_';
        }
    }
    if (ends_in_cut_character(safe)) {
        safe.pop_back();
    }
    return safe;
}

std::string frame_bytes(const std::string &payload) {
    std::string bytes = payload;
    bytes.push_back((char)FRAME_TERMINATOR);
    return bytes;
}
