// Address/prefix rules, IPv4 and IPv6, checked before a connection reaches the room.
#include "server/allow_list.h"

#include <stdlib.h>
#include <string.h>

bool allow_add(allow_list *list, const char *text) {
    char host[64];
    size_t length = strlen(text);
    const char *slash = strchr(text, '/');
    size_t host_length = slash != NULL ? (size_t)(slash - text) : length;
    if (list->count >= ALLOW_LIMIT || host_length >= sizeof host) {
        return false;
    }
    memcpy(host, text, host_length);
    host[host_length] = '\0';
    allow_rule rule;
    if (!net_parse_address(host, &rule.address)) {
        return false;
    }
    int bits = rule.address.family == 4 ? 32 : 128;
    rule.prefix = bits;
    if (slash != NULL) {
        // Digits only: strtol would also take a sign or spaces, and "-0" would admit everyone.
        const char *digits = slash + 1;
        size_t count = strspn(digits, "0123456789");
        if (count == 0 || count > 3 || digits[count] != '\0' || atoi(digits) > bits) {
            return false;
        }
        rule.prefix = atoi(digits);
    }
    // Peers arrive with IPv4-mapped addresses already turned into IPv4, so a rule written as
    // ::ffff:a.b.c.d/n is kept as the IPv4 rule it means.
    if (rule.address.family == 6 && rule.prefix >= 96 && net_is_v4_mapped(rule.address.bytes)) {
        memmove(rule.address.bytes, rule.address.bytes + 12, 4);
        memset(rule.address.bytes + 4, 0, 12);
        rule.address.family = 4;
        rule.prefix -= 96;
    }
    list->rules[list->count++] = rule;
    return true;
}

static bool covers(const allow_rule *rule, const net_address *address) {
    if (rule->address.family != address->family) {
        return false;
    }
    int whole = rule->prefix / 8;
    if (memcmp(rule->address.bytes, address->bytes, (size_t)whole) != 0) {
        return false;
    }
    int rest = rule->prefix % 8;
    if (rest == 0) {
        return true;
    }
    unsigned char mask = (unsigned char)(0xff << (8 - rest));
    return ((rule->address.bytes[whole] ^ address->bytes[whole]) & mask) == 0;
}

bool allow_permits(const allow_list *list, const net_address *address) {
    if (list->count == 0) {
        return true;
    }
    for (int i = 0; i < list->count; i++) {
        if (covers(&list->rules[i], address)) {
            return true;
        }
    }
    return false;
}
