// Bytes shown in hex for failure messages.
#include "tests/wine/test_support.h"

#include <stdio.h>

std::string hex_bytes(const std::string &bytes) {
    std::string out;
    char two[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(two, sizeof two, "%02X ", (unsigned char)bytes[i]);
        out += two;
    }
    return out;
}
