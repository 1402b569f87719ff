// One memo.ini lookup: the first line whose text before "=" is a prefix of the key gives the value.
#include "settings/settings.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

static const char NO_VALUE[] = "NONE";

// Copies length bytes, or as many as fit before the NUL, into a capacity-byte destination.
static void store_value(char *destination, size_t capacity, const char *value, size_t length) {
    if (capacity == 0) {
        return;
    }
    if (length > capacity - 1) {
        length = capacity - 1;
    }
    memcpy(destination, value, length);
    destination[length] = '\0';
}

// Walks the chunk against the key, whose terminating NUL counts as one of its bytes, so the text
// before "=" need only be a prefix of the key.  Returns the position of "=", or -1.
static long match_position(const char *chunk, const char *key) {
    for (size_t i = 0; chunk[i] != '\0'; i++) {
        if (chunk[i] == '=') {
            return (long)i;
        }
        // Once the key has ended, every chunk byte differs from its NUL, so key is never read past.
        if (chunk[i] != key[i]) {
            return -1;
        }
    }
    return -1;
}

// The value's length in bytes: up to the first ";" of the chunk, or, when the chunk has none, to
// the chunk's end without its line break (text mode on Windows has already dropped the CR; on
// other systems it is still there).
static size_t value_length(const char *value) {
    const char *semicolon = strchr(value, ';');
    if (semicolon != NULL) {
        return (size_t)(semicolon - value);
    }
    size_t length = strlen(value);
    if (length > 0 && value[length - 1] == '\n') {
        length--;
        if (length > 0 && value[length - 1] == '\r') {
            length--;
        }
    }
    return length;
}

int read_setting(FILE *file, const char *key, size_t capacity, char *destination) {
    if (file == NULL) {
        return -1;
    }
    rewind(file);
    char *chunk = (char *)malloc(capacity > 0 ? capacity : 1);
    if (chunk == NULL) {
        fprintf(stderr, "メモリ確保に失敗しました: %s\n", strerror(errno));
        fclose(file);
        return -1;
    }
    // fgets takes an int; a chunk of fewer than 2 bytes could hold no text and would never end.
    int chunk_size = capacity > (size_t)INT_MAX ? INT_MAX : (int)capacity;
    int found = 0;
    while (chunk_size >= 2 && fgets(chunk, chunk_size, file) != NULL) {
        long position = match_position(chunk, key);
        if (position >= 0) {
            const char *value = chunk + position + 1;
            store_value(destination, capacity, value, value_length(value));
            found = 1;
            break;
        }
    }
    if (!found) {
        store_value(destination, capacity, NO_VALUE, sizeof NO_VALUE - 1);
    }
    free(chunk);
    fclose(file);
    return 0;
}
