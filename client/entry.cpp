// The time stamp and the transcript entry made of each relayed line.
#include "client/entry.h"

#include <stdio.h>

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

std::string disarm_relay_text(const std::string &text) {
    static const char MESSAGE_MARK[] = "MESSAGE:";
    const size_t mark_length = sizeof MESSAGE_MARK - 1;
    std::string out = text;
    // Only line starts are looked at, and CR LF never occurs inside a double-byte character.
    for (size_t line = 0; line < out.size();) {
        size_t at = line;
        while (at < out.size()) {
            if (out[at] == ' ' || out[at] == '\t') {
                at++;
            } else if (out.compare(at, 2, IDEOGRAPHIC_SPACE) == 0) {
                at += 2;
            } else {
                break;
            }
        }
        if (out.compare(at, 2, BLACK_DIAMOND) == 0) {
            out.replace(at, 2, WHITE_DIAMOND);
        } else if (out.compare(at, mark_length, MESSAGE_MARK) == 0) {
            out.replace(at + mark_length - 1, 1, FULL_WIDTH_COLON);
        }
        size_t next = out.find("\r\n", at);
        line = next == std::string::npos ? out.size() : next + 2;
    }
    return out;
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
