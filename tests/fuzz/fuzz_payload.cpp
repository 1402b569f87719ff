// Fuzzes payload interpretation: kinds, the name/text split, escapes, the entry text, who came
// and went, and UTF-16 text to the wire and back.
#include "client/entry.h"
#include "client/members.h"
#include "client/protocol.h"
#include "client/wide_text.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

// What the window shows for any bytes: every control is a byte of the same value, one for one
// (escapes never give one), and every surrogate is half of a pair.
static void check_shown(const std::string &bytes, const std::u16string &shown) {
    long controls[0xA0] = {0};
    for (unsigned char b : bytes) {
        if (b < 0x20 || b == 0x7F) {
            controls[b]++; // bytes 80-9F are first bytes, or the terminator
        }
    }
    for (size_t i = 0; i < shown.size(); i++) {
        unsigned c = shown[i];
        if ((c < 0x20 || (c >= 0x7F && c <= 0x9F)) && --controls[c] < 0) {
            abort();
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < shown.size() && shown[i + 1] >= 0xDC00 &&
            shown[i + 1] <= 0xDFFF) {
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            abort();
        }
    }
    for (long left : controls) {
        if (left != 0) {
            abort();
        }
    }
}

static void check_wide_text(const uint8_t *data, size_t size, const std::string &payload) {
    std::u16string shown = wide_from_shift_jis(payload);
    check_shown(payload, shown);
    // A cut at a character or escape never changes what the text before it shows.
    size_t limit = size > 1 ? data[1] : 0;
    size_t cut = cut_at_character(payload.data(), payload.size(), limit);
    std::u16string start = wide_from_shift_jis(payload.substr(0, cut));
    if (cut > limit || shown.compare(0, start.size(), start) != 0) {
        abort();
    }

    // The same bytes as UTF-16 typed in the window: nothing sent ends a frame, and what is
    // shown is the same whether the client kept the escapes or their bytes.  (Each character's
    // own trip is the native table's.)
    std::u16string typed;
    for (size_t i = 0; i + 1 < size; i += 2) {
        typed += (char16_t)(data[i] | data[i + 1] << 8);
    }
    std::string wire = wire_from_wide(typed.data(), typed.size());
    if (wire.find((char)FRAME_TERMINATOR) != std::string::npos ||
        wire.find('\0') != std::string::npos ||
        wide_from_shift_jis(wire) != wide_from_shift_jis(unescape_frame_text(wire))) {
        abort();
    }
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
    // Decoding never grows a text (a 7-byte escape becomes a 2-byte character); disarming and
    // comparing two member lists run under the sanitizers on any bytes.
    std::string decoded = unescape_frame_text(payload);
    if (decoded.size() > payload.size() ||
        disarm_relay_text(decoded).compare(0, 2, "\x81\x9f") == 0) {
        abort();
    }
    size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    compose_member_changes(payload.substr(0, cut), payload.substr(cut));
    check_wide_text(data, size, payload);

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
