// Fuzzes payload interpretation: kinds, the name/text split, escapes, the entry text and who came
// and went.
#include "client/entry.h"
#include "client/members.h"
#include "client/protocol.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// CR LF-ended lines that are not empty: the names of a member list ending in CR LF, or the
// lines of a text.
static long count_lines(const std::string &text) {
    long count = 0;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        count += end > at;
    }
    return count;
}

// Input: the payload.  The time-stamp fields are taken from its first bytes as well, so absurd
// dates are tried too.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string payload((const char *)data, size);
    payload_kind kind = classify_payload(payload);

    if ((kind == PAYLOAD_VERSION_REFUSAL) != (payload == "ver_err")) {
        abort();
    }
    if (kind == PAYLOAD_RELAY && payload[0] != 'd') {
        abort();
    }
    if (kind == PAYLOAD_MEMBER_LIST && payload[0] != 'e') {
        abort();
    }
    if (kind == PAYLOAD_IGNORED && !payload.empty() && payload != "ver_err" &&
        (payload[0] == 'd' || payload[0] == 'e')) {
        abort();
    }
    // An escape (7 bytes) becomes one character (2), so nothing decoded grows; no line of a
    // disarmed text starts, after spaces, with the marks only the client's own lines carry.
    std::string decoded = unescape_frame_text(payload);
    std::string shown = disarm_relay_text(decoded);
    if (decoded.size() > payload.size()) {
        abort();
    }
    for (size_t line = 0;;) {
        size_t at = line;
        while (at < shown.size() && (shown[at] == ' ' || shown[at] == '\t' ||
                                     shown.compare(at, 2, "\x81\x40") == 0)) {
            at += shown[at] == '\x81' ? 2 : 1;
        }
        if (shown.compare(at, 2, "\x81\x9f") == 0 || shown.compare(at, 8, "MESSAGE:") == 0) {
            abort();
        }
        size_t next = shown.find("\r\n", line);
        if (next == std::string::npos) {
            break;
        }
        line = next + 2;
    }
    // Cut anywhere, the payload is two member lists.  Names hold no CR LF, so each change is one
    // line: joins less leaves is the change in the count of names.
    size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    std::string before = payload.substr(0, cut), after = payload.substr(cut);
    long lines = count_lines(compose_member_changes(before, after));
    long growth = count_lines(after + "\r\n") - count_lines(before + "\r\n");
    if (lines < (growth < 0 ? -growth : growth) || (lines - growth) % 2 != 0) {
        abort();
    }

    if (kind != PAYLOAD_RELAY) {
        return 0;
    }

    std::string body = payload.substr(1);
    std::string name, text;
    split_relay(body, &name, &text);
    bool has_separator = body.find(';') != std::string::npos;
    if (name.find(';') != std::string::npos ||
        (has_separator ? name + ";" + text != body : (name != body || !text.empty()))) {
        abort();
    }
    if (is_shutdown_notice(body) != (body == "server_end\n")) {
        abort();
    }

    stamp_time t = {0, 0, 0, 0, 0};
    memcpy(&t, data, size < sizeof t ? size : sizeof t);
    char stamp[TIME_STAMP_CAPACITY + 1];
    stamp[TIME_STAMP_CAPACITY] = 'G';
    format_time_stamp(stamp, &t);
    if (stamp[TIME_STAMP_CAPACITY] != 'G' || memchr(stamp, '\0', TIME_STAMP_CAPACITY) == NULL) {
        abort();
    }

    std::string entry = compose_entry(name, stamp, text);
    std::string head = compose_entry("", "", "");
    if (entry.size() != head.size() + name.size() + strlen(stamp) + text.size() ||
        entry.compare(entry.size() - text.size(), text.size(), text) != 0 ||
        entry.compare(0, 2, "\r\n") != 0) {
        abort();
    }
    return 0;
}
