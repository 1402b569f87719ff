// One memo.ini lookup: the first line whose text before "=" is a prefix of the key gives the value.
#include "settings/settings.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

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
// the chunk's end without its line break (the CR right before an LF is already gone, but one
// before that stays, as text mode left it).
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

// The whole file as the Shift-JIS text the lookup reads.  Read raw: text mode would stop at the
// byte 0x1A, which UTF-16 text holds (尚 is 1a 5c).  Converted before any chunk is cut, so every
// capacity counts Shift-JIS bytes: 太郎 is 4 of them, not UTF-8's 6.  False when there is no
// memory for it.
static bool read_text(FILE *file, std::string *text) {
    try {
        std::string bytes;
        char block[4096];
        size_t got;
        while ((got = fread(block, 1, sizeof block, file)) > 0) {
            bytes.append(block, got);
        }
        *text = memo_text_from_bytes(bytes);
        return true;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return false;
    }
}

// The next chunk as fgets would give it from text: through the next LF, or capacity - 1 bytes.
static size_t next_chunk(const std::string &text, size_t at, size_t chunk_size, char *chunk) {
    size_t length = 0;
    while (at + length < text.size() && length < chunk_size - 1) {
        if (text[at + length++] == '\n') {
            break;
        }
    }
    memcpy(chunk, text.data() + at, length);
    chunk[length] = '\0';
    return length;
}

int read_setting(FILE *file, const char *key, size_t capacity, char *destination) {
    if (file == NULL) {
        return -1;
    }
    rewind(file);
    char *chunk = (char *)malloc(capacity > 0 ? capacity : 1);
    std::string text;
    if (chunk == NULL || !read_text(file, &text)) {
        fprintf(stderr, "メモリ確保に失敗しました: %s\n", strerror(errno));
        free(chunk);
        fclose(file);
        return -1;
    }
    int found = 0;
    size_t at = 0;
    // A chunk of fewer than 2 bytes could hold no text and would never end.
    while (capacity >= 2 && at < text.size()) {
        at += next_chunk(text, at, capacity, chunk);
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
