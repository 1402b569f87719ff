// The history extension's frames: built and read alike by the client and the server.
#include "client/protocol.h"

#include <string.h>

static const char OFFER_PREFIX[] = "o1;";
static const size_t OFFER_PREFIX_LENGTH = sizeof OFFER_PREFIX - 1;

bool parse_number_field(const char *text, size_t length, long long *number) {
    if (length == 0 || length > NUMBER_DIGITS_LIMIT) {
        return false;
    }
    long long value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    *number = value;
    return true;
}

static bool is_lower_hex(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool is_client_token(const char *text, size_t length) {
    return length == CLIENT_TOKEN_LENGTH && is_lower_hex(text, length);
}

// Digits by hand: the server writes two for every line it relays, where printf costs more than
// the rest of the frame.
static void append_number(std::string *out, long long number) {
    char digits[24];
    size_t at = sizeof digits;
    unsigned long long left = number < 0 ? 0ULL - (unsigned long long)number : number;
    do {
        digits[--at] = (char)('0' + left % 10);
        left /= 10;
    } while (left > 0);
    if (number < 0) {
        digits[--at] = '-';
    }
    out->append(digits + at, sizeof digits - at);
}

std::string offer_payload(const std::string &epoch) {
    return OFFER_PREFIX + epoch;
}

std::string stored_line_payload(char kind, long long seq, long long at, const std::string &name,
                                const char *text, size_t text_length) {
    std::string payload(1, kind);
    payload.reserve(48 + name.size() + text_length);
    append_number(&payload, seq);
    payload += ';';
    append_number(&payload, at);
    payload += ';';
    payload += name;
    payload += ';';
    payload.append(text, text_length);
    return payload;
}

std::string page_end_payload(bool more, long long gap, long long upto) {
    std::string payload = more ? "fm;" : "fe;";
    if (gap >= 0) {
        append_number(&payload, gap);
    }
    payload += ';';
    append_number(&payload, upto);
    return payload;
}

std::string ack_payload(long long id) {
    std::string payload = "a";
    append_number(&payload, id);
    return payload;
}

bool parse_offer(const std::string &payload, std::string *epoch) {
    if (payload.compare(0, OFFER_PREFIX_LENGTH, OFFER_PREFIX) != 0) {
        return false;
    }
    size_t length = payload.size() - OFFER_PREFIX_LENGTH;
    if (length == 0 || length > EPOCH_LENGTH ||
        !is_lower_hex(payload.data() + OFFER_PREFIX_LENGTH, length)) {
        return false;
    }
    epoch->assign(payload, OFFER_PREFIX_LENGTH, length);
    return true;
}

// The number that runs from *at to the next ";" (or the end when last), and *at past them.
static bool take_number(const std::string &text, size_t *at, bool last, long long *number) {
    size_t end = last ? text.size() : text.find(';', *at);
    if (end == std::string::npos || !parse_number_field(text.data() + *at, end - *at, number)) {
        return false;
    }
    *at = last ? end : end + 1;
    return true;
}

bool parse_stored_line(const std::string &payload, stored_line *line) {
    if (payload.empty() || (payload[0] != 's' && payload[0] != 'p')) {
        return false;
    }
    size_t at = 1;
    if (!take_number(payload, &at, false, &line->seq) ||
        !take_number(payload, &at, false, &line->at)) {
        return false;
    }
    // Names never hold ";", so the first one after them starts the text.
    size_t semicolon = payload.find(';', at);
    if (semicolon == std::string::npos) {
        return false;
    }
    line->name.assign(payload, at, semicolon - at);
    line->text.assign(payload, semicolon + 1, std::string::npos);
    return true;
}

bool parse_page_end(const std::string &payload, bool *more, long long *gap, long long *upto) {
    if (payload.size() < 5 || payload[0] != 'f' || (payload[1] != 'm' && payload[1] != 'e') ||
        payload[2] != ';') {
        return false;
    }
    *more = payload[1] == 'm';
    *gap = -1;
    size_t at = 3;
    if (payload[at] == ';') {
        at++;
    } else if (!take_number(payload, &at, false, gap)) {
        return false;
    }
    return take_number(payload, &at, true, upto);
}

bool parse_ack(const std::string &payload, long long *id) {
    size_t at = 1;
    return !payload.empty() && payload[0] == 'a' && take_number(payload, &at, true, id);
}

std::string register_payload(const std::string &token, const std::string &epoch, long long after) {
    std::string payload(1, EXTENSION_MARK);
    payload += 'r';
    payload += token;
    payload += ';';
    if (after >= 0) {
        payload += epoch;
    }
    payload += ';';
    if (after >= 0) {
        append_number(&payload, after);
    }
    return payload;
}

std::string numbered_line_payload(long long id, const std::string &chat) {
    std::string payload(1, EXTENSION_MARK);
    payload += 'l';
    append_number(&payload, id);
    payload += ';';
    payload += chat;
    return payload;
}

std::string more_payload(void) {
    return std::string(1, EXTENSION_MARK) + 'm';
}

// "\0r" token ";" epoch ";" after, the epoch and after either both there or both empty.
static request_kind parse_register(const char *p, size_t count, extension_request *request) {
    const char *token = p + 2;
    const char *end = p + count;
    if ((size_t)(end - token) < CLIENT_TOKEN_LENGTH + 2 ||
        !is_client_token(token, CLIENT_TOKEN_LENGTH) || token[CLIENT_TOKEN_LENGTH] != ';') {
        return REQUEST_MALFORMED;
    }
    const char *epoch = token + CLIENT_TOKEN_LENGTH + 1;
    const char *semicolon = (const char *)memchr(epoch, ';', (size_t)(end - epoch));
    if (semicolon == NULL) {
        return REQUEST_MALFORMED;
    }
    size_t epoch_length = (size_t)(semicolon - epoch);
    size_t after_length = (size_t)(end - semicolon - 1);
    request->token.assign(token, CLIENT_TOKEN_LENGTH);
    request->epoch.clear();
    request->after = -1;
    if (epoch_length == 0 && after_length == 0) {
        return REQUEST_REGISTER;
    }
    if (epoch_length == 0 || epoch_length > EPOCH_LENGTH || !is_lower_hex(epoch, epoch_length) ||
        !parse_number_field(semicolon + 1, after_length, &request->after)) {
        request->after = -1;
        return REQUEST_MALFORMED;
    }
    request->epoch.assign(epoch, epoch_length);
    return REQUEST_REGISTER;
}

request_kind parse_request(const char *payload, size_t count, extension_request *request) {
    if (count == 0 || payload[0] != EXTENSION_MARK) {
        return REQUEST_NONE;
    }
    if (count < 2) {
        return REQUEST_MALFORMED;
    }
    switch (payload[1]) {
    case 'r':
        return parse_register(payload, count, request);
    case 'l': {
        const char *digits = payload + 2;
        const char *semicolon = (const char *)memchr(digits, ';', count - 2);
        if (semicolon == NULL ||
            !parse_number_field(digits, (size_t)(semicolon - digits), &request->id) ||
            request->id == 0) {
            return REQUEST_MALFORMED;
        }
        request->text_at = (size_t)(semicolon + 1 - payload);
        return REQUEST_LINE;
    }
    case 'm':
        return count == 2 ? REQUEST_MORE : REQUEST_MALFORMED;
    default:
        return REQUEST_MALFORMED;
    }
}
