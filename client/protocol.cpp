// Frame assembly, payload kinds and the payloads the client sends.
#include "client/protocol.h"

#include "settings/settings.h"

int frame_take_byte(frame_assembler *fa, unsigned char byte) {
    if (byte == FRAME_TERMINATOR) {
        return 1;
    }
    // A NUL would cut the payload short wherever it is later treated as a C string.
    if (byte == 0x00) {
        return 0;
    }
    // Past the cap the rest of this frame is dropped; its terminator still ends it, so the next
    // frame starts clean.
    if (fa->payload.size() < FRAME_PAYLOAD_CAP) {
        fa->payload.push_back((char)byte);
    }
    return 0;
}

void frame_reset(frame_assembler *fa) {
    fa->payload.clear();
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

std::string hello_payload(const char *name) {
    // The name comes from a NAME_CAPACITY buffer, so at most NAME_CAPACITY - 1 bytes of it count.
    size_t length = 0;
    while (length < NAME_CAPACITY - 1 && name[length] != '\0') {
        length++;
    }
    std::string payload = CLIENT_IDENTIFIER ";";
    payload.append(name, length);
    return payload;
}

std::string chat_payload(const char *text) {
    std::string payload = text;
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

std::string frame_bytes(const std::string &payload) {
    std::string bytes = payload;
    bytes.push_back((char)FRAME_TERMINATOR);
    return bytes;
}
