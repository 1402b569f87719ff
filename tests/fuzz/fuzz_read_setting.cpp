// Fuzzes the memo.ini lookup: any file contents, in any encoding, any key, at each capacity the
// client uses.
#include "settings/settings.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static const size_t CAPACITIES[] = {NAME_CAPACITY, FONT_NAME_CAPACITY, FONT_SIZE_CAPACITY,
                                    SERVER_CAPACITY};

// Input: one byte picking the capacity, one byte giving the key's length (0 to 15), the key, and
// the rest as the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    size_t capacity = CAPACITIES[data[0] % 4];
    size_t key_length = data[1] % 16;
    if (size < 2 + key_length) {
        return 0;
    }
    char key[16];
    memcpy(key, data + 2, key_length);
    key[key_length] = '\0';
    const uint8_t *contents = data + 2 + key_length;
    size_t contents_size = size - 2 - key_length;

    // The text the lookups read: converted, and ended where text mode ended it, at 0x1A.
    const std::string text =
        memo_text_from_bytes(std::string((const char *)contents, contents_size));
    if (text.find('\x1a') != std::string::npos) {
        abort();
    }

    FILE *file = tmpfile();
    if (file == NULL || fwrite(contents, 1, contents_size, file) != contents_size) {
        abort();
    }
    // Exactly capacity bytes, so AddressSanitizer sees any write past them.
    char *value = (char *)malloc(capacity);
    if (value == NULL) {
        abort();
    }
    if (read_setting(file, key, capacity, value) != 0) {
        abort();
    }
    const char *end = (const char *)memchr(value, '\0', capacity);
    if (end == NULL) {
        abort(); // not terminated within the capacity
    }
    size_t length = (size_t)(end - value);
    if (strcmp(value, "NONE") != 0) {
        // A value starts after "=" inside one chunk of capacity - 1 bytes, ends before ";", and
        // never keeps the chunk's line break.
        if (length > capacity - 2 || memchr(value, ';', length) != NULL ||
            memchr(value, '\n', length) != NULL) {
            abort();
        }
        // It is a run of bytes the text really holds.
        if (text.find(std::string(value, length)) == std::string::npos) {
            abort();
        }
    }
    free(value);
    return 0;
}
