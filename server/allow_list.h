// The --allow rules: which addresses may connect at all.
#pragma once

#include "server/socket_layer.h"

// More --allow options than this are refused at start-up.
const int ALLOW_LIMIT = 64;

struct allow_rule {
    net_address address;
    int prefix; // leading bits that must match
};

struct allow_list {
    allow_rule rules[ALLOW_LIMIT];
    int count; // 0: everyone may connect
};

// Adds "ADDRESS/PREFIX", or a bare address for that one address.  False when the text is not
// an IPv4 or IPv6 address, alone or with a prefix of plain decimal digits within 0..32 or
// 0..128, or the list is full.
bool allow_add(allow_list *list, const char *text);

// True when the list is empty or a rule covers the address.
bool allow_permits(const allow_list *list, const net_address *address);
