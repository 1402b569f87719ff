// The time stamp and the transcript entry made of each relayed line.
#include "client/entry.h"

#include <stdio.h>

#include "client/protocol.h"

void format_time_stamp(char *out, const stamp_time *t) {
    // snprintf keeps out terminated within its capacity even for fields of absurd width.
    snprintf(out, TIME_STAMP_CAPACITY, "(%d/%02d/%02d %02d:%02d)", t->year, t->month, t->day,
             t->hour, t->minute);
}

// Written as bytes: the comparisons count on their Shift-JIS lengths whatever the compiler.
static const char IDEOGRAPHIC_SPACE[] = "\x81\x40"; // 　
static const char BLACK_DIAMOND[] = "\x81\x9F";     // ◆
static const char WHITE_DIAMOND[] = "\x81\x9E";     // ◇
static const char FULL_WIDTH_COLON[] = "\x81\x46";  // ：

// Code points an escape may bring that draw nothing, or only white: Unicode's space separators
// and the characters it says to show as nothing (format controls, fillers, variation selectors),
// and the braille blank.  U+3000 has its bytes, so its escape shows as text and never gets here.
static bool shows_blank(unsigned c) {
    static const unsigned ranges[][2] = {
        {0x00A0, 0x00A0},  {0x00AD, 0x00AD}, {0x034F, 0x034F},   {0x061C, 0x061C},
        {0x115F, 0x1160},  {0x1680, 0x1680}, {0x17B4, 0x17B5},   {0x180B, 0x180F},
        {0x2000, 0x200F},  {0x2028, 0x202F}, {0x205F, 0x206F},   {0x2800, 0x2800},
        {0x3000, 0x3000},  {0x3164, 0x3164}, {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
        {0xFFA0, 0xFFA0},  {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0000, 0xE0FFF}};
    for (const auto &r : ranges) {
        if (c >= r[0] && c <= r[1]) {
            return true;
        }
    }
    return false;
}

// Past whatever at text[at] shows as blank: spaces, tabs, ideographic spaces, the other control
// bytes but line breaks (what a font draws for them is its own affair, so they count as blank),
// and escapes of blank characters, read as the window reads them.
static size_t skip_blanks(const std::string &text, size_t at) {
    for (;;) {
        unsigned char byte = at < text.size() ? (unsigned char)text[at] : 0;
        unsigned code_point = 0;
        size_t escape = escape_at(text.data(), text.size(), at, &code_point);
        if (at < text.size() && byte != '\r' && byte != '\n' && (byte <= ' ' || byte == 0x7F)) {
            at++;
        } else if (text.compare(at, 2, IDEOGRAPHIC_SPACE) == 0) {
            at += 2;
        } else if (escape > 0 && shows_blank(code_point)) {
            at += escape;
        } else {
            return at;
        }
    }
}

// Where the next line the box shows starts: after a CR or an LF, each of which it breaks on (CR LF
// only makes an empty line between them), or after an escape of a line or paragraph separator.
// None of those bytes is ever the second byte of a double-byte character.
static size_t next_line(const std::string &text, size_t at) {
    for (; at < text.size(); at++) {
        unsigned code_point = 0;
        size_t escape = escape_at(text.data(), text.size(), at, &code_point);
        if (text[at] == '\r' || text[at] == '\n') {
            return at + 1;
        }
        if (escape > 0 && (code_point == 0x2028 || code_point == 0x2029)) {
            return at + escape;
        }
    }
    return std::string::npos;
}

std::string disarm_relay_text(const std::string &text) {
    static const char MESSAGE_MARK[] = "MESSAGE:";
    const size_t mark_length = sizeof MESSAGE_MARK - 1;
    std::string out = text;
    for (size_t line = 0; line != std::string::npos; line = next_line(out, line)) {
        line = skip_blanks(out, line);
        if (out.compare(line, 2, BLACK_DIAMOND) == 0) {
            out.replace(line, 2, WHITE_DIAMOND);
        } else if (out.compare(line, mark_length, MESSAGE_MARK) == 0) {
            out.replace(line + mark_length - 1, 1, FULL_WIDTH_COLON);
        }
    }
    return out;
}

std::string shown_name(const std::string &name) {
    return name_without_controls(name, false);
}

std::string shown_member_list(const std::string &list) {
    std::string shown;
    for (size_t at = 0; at < list.size();) {
        size_t end = list.find("\r\n", at);
        end = end == std::string::npos ? list.size() : end;
        shown += shown_name(list.substr(at, end - at));
        shown += end < list.size() ? "\r\n" : "";
        at = end + 2;
    }
    return shown;
}

std::string compose_entry(const std::string &name, const char *stamp, const std::string &text) {
    std::string entry = "\r\n◆ ";
    entry += name;
    entry += " の発言 ";
    entry += stamp;
    entry += " : \r\n";
    entry += text;
    return entry;
}

std::string compose_outage_line(const char *server) {
    std::string line = "MESSAGE:";
    line += server;
    line += " に接続できません。接続できるまで自動で試します。\r\n";
    return line;
}

std::string compose_missed_count(int count) {
    char line[64];
    snprintf(line, sizeof line, "MESSAGE:切れていた間の発言 %d 件\r\n", count);
    return line;
}

std::string compose_gap_line(const char *stamp) {
    std::string line = "MESSAGE:サーバーには ";
    line += stamp;
    line += " 以降の発言しか残っていません。\r\n";
    return line;
}
