// The canonical form of names, from the system's code page 932 tables.
#include "server/room/canonical_name.h"

#include "client/code_page.h"
#include "client/protocol.h"

// Lead bytes 81-9F and E0-FC, second bytes 40-FC.
enum { LEADS = 0x1F + 0x1D, SECONDS = 0xFC - 0x40 + 1 };

// Each character's code point plus one, looked up in the system's tables the first time it is
// met (0: not yet).  Reading all 11,000 at once would delay the first join; names use a few.
// Only the room's thread reads names.
static unsigned g_single[256];
static unsigned g_pair[LEADS][SECONDS];

// A code point for bytes that are no character: beyond Unicode, so equal only to itself.
static unsigned no_character(unsigned bytes) {
    return 0x110000 + bytes;
}

static unsigned look_up(unsigned *known, const char *bytes, size_t length, unsigned if_none) {
    if (*known == 0) {
        unsigned code_point = cp932_to_code_point(bytes, length);
        // Code page 932 gives 0 for the byte 0x00 and for bytes that are no character.
        *known = (code_point != 0 || bytes[0] == '\0' ? code_point : if_none) + 1;
    }
    return *known - 1;
}

// The code point of the character at text[*at], which is then moved past it.
static unsigned next_code_point(const std::string &text, size_t *at) {
    unsigned char lead = (unsigned char)text[*at];
    if (!is_shift_jis_lead_byte(lead) || *at + 1 >= text.size()) {
        *at += 1;
        return look_up(&g_single[lead], &text[*at - 1], 1, no_character(lead));
    }
    unsigned char second = (unsigned char)text[*at + 1];
    *at += 2;
    unsigned none = no_character((unsigned)lead << 8 | second);
    if (second < 0x40 || second > 0xFC) {
        return none;
    }
    unsigned row = lead <= 0x9F ? lead - 0x81u : lead - 0xE0u + 0x1Fu;
    return look_up(&g_pair[row][second - 0x40u], &text[*at - 2], 2, none);
}

// Three bytes a code point, so that no two forms of different names are equal.
static void add_code_point(std::string *form, unsigned code_point) {
    *form += (char)(code_point >> 16);
    *form += (char)(code_point >> 8 & 0xFF);
    *form += (char)(code_point & 0xFF);
}

std::string canonical_name(const char *bytes, size_t count) {
    // An escape the client shows as a character counts as that character.
    std::string text(bytes, count);
    std::string form;
    form.reserve(3 * text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned code_point;
        size_t escape = escape_at(text.data(), text.size(), at, &code_point);
        if (escape != 0) {
            at += escape;
        } else {
            code_point = next_code_point(text, &at);
        }
        if (code_point >= 0xFF01 && code_point <= 0xFF5E) {
            code_point -= 0xFEE0; // full-width ASCII
        }
        if (code_point >= 'A' && code_point <= 'Z') {
            code_point += 'a' - 'A';
        }
        add_code_point(&form, code_point);
    }
    std::string space, ideographic_space;
    add_code_point(&space, ' ');
    add_code_point(&ideographic_space, 0x3000);
    size_t first = 0, end = form.size();
    while (first < end &&
           (form.compare(first, 3, space) == 0 || form.compare(first, 3, ideographic_space) == 0)) {
        first += 3;
    }
    while (end > first && (form.compare(end - 3, 3, space) == 0 ||
                           form.compare(end - 3, 3, ideographic_space) == 0)) {
        end -= 3;
    }
    return form.substr(first, end - first);
}
