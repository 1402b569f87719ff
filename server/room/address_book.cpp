// A hash table of addresses in a fixed array, probed linearly; records are reused, never removed.
#include "server/room/address_book.h"

#include <string.h>

void address_book_clear(address_book *book, int size) {
    // Generation 0 is what a zeroed book holds, so it never marks a record as in use.
    book->generation = book->generation + 1 == 0 ? 1 : book->generation + 1;
    book->size = size < 1 ? 1 : size > ADDRESS_BOOK_LIMIT ? ADDRESS_BOOK_LIMIT : size;
}

static unsigned hash_of(const char *text) {
    unsigned hash = 2166136261u; // FNV-1a
    for (const char *c = text; *c != '\0'; c++) {
        hash = (hash ^ (unsigned char)*c) * 16777619u;
    }
    return hash;
}

// Nothing in the record would be lost by giving it to another address.
static bool idle(const address_record *record, long long now_ms, int connects_per_second) {
    if (record->open > 0 || !rate_full(&record->connects, now_ms, connects_per_second)) {
        return false;
    }
    for (int reason = 0; reason < REFUSAL_REASONS; reason++) {
        if (record->window_ms[reason] >= 0) {
            return false;
        }
    }
    return true;
}

static int take(address_book *book, int at, const char *key, unsigned hash, long long now_ms) {
    address_record *record = &book->records[at];
    memset(record, 0, sizeof *record);
    record->generation = book->generation;
    record->hash = hash;
    memcpy(record->address, key, sizeof record->address);
    for (int reason = 0; reason < REFUSAL_REASONS; reason++) {
        record->window_ms[reason] = -1;
    }
    record->used_ms = now_ms;
    return at;
}

int address_book_find(address_book *book, const char *address, long long now_ms,
                      int connects_per_second) {
    // An address longer than a record holds is known by its start, which no real one reaches.
    char key[sizeof book->records[0].address] = {0};
    size_t length = strlen(address);
    memcpy(key, address, length < sizeof key - 1 ? length : sizeof key - 1);
    unsigned hash = hash_of(key);
    int size = book->size, reusable = -1;
    for (int probe = 0; probe < size; probe++) {
        int at = (int)((hash + (unsigned)probe) % (unsigned)size);
        address_record *record = &book->records[at];
        if (record->generation != book->generation) {
            // Records are never emptied, so the address is in no record past this one.
            return take(book, reusable >= 0 ? reusable : at, key, hash, now_ms);
        }
        if (record->hash == hash && strcmp(record->address, key) == 0) {
            record->used_ms = now_ms;
            return at;
        }
        if (reusable < 0 && idle(record, now_ms, connects_per_second)) {
            reusable = at;
        }
    }
    if (reusable < 0) {
        // Every record holds something: the one longest unused without an open connection goes.
        // Open connections hold fewer records than the book has, so there is one.
        for (int at = 0; at < size; at++) {
            const address_record *record = &book->records[at];
            if (record->open == 0 &&
                (reusable < 0 || record->used_ms < book->records[reusable].used_ms)) {
                reusable = at;
            }
        }
    }
    return take(book, reusable, key, hash, now_ms);
}
