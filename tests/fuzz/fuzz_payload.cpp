// Fuzzes payload interpretation: kinds, the name/text split, escapes, the entry text and who came
// and went.
#include "client/entry.h"
#include "client/members.h"
#include "client/protocol.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

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
    // Decoding never grows a text (a 7-byte escape becomes a 2-byte character); disarming and
    // comparing two member lists run under the sanitizers on any bytes.
    std::string decoded = unescape_frame_text(payload);
    if (decoded.size() > payload.size() ||
        disarm_relay_text(decoded).compare(0, 2, "\x81\x9f") == 0) {
        abort();
    }
    size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    compose_member_changes(payload.substr(0, cut), payload.substr(cut));

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
