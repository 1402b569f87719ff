// The time stamp and the transcript entry made of each relayed line.
#include "client/entry.h"

#include <stdio.h>

void format_time_stamp(char *out, const stamp_time *t) {
    // snprintf keeps out terminated within its capacity even for fields of absurd width.
    snprintf(out, TIME_STAMP_CAPACITY, "(%d/%02d/%02d %02d:%02d)", t->year, t->month, t->day,
             t->hour, t->minute);
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
