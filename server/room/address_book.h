// What the room remembers of each address: its open connections, its connection rate and the
// refusals still to be summed up in the log.
#pragma once

#include "server/room/rate_limits.h"

// Records for at most this many addresses; a room keeps twice its places and some more, so the
// addresses of open connections always find one.
const int ADDRESS_BOOK_LIMIT = 2 * 1025 + 64;

enum refusal_reason {
    REFUSED_NOT_ALLOWED,
    REFUSED_OVER_CAP,
    REFUSED_OVER_RATE,
    REFUSED_ROOM_FULL,
    REFUSAL_REASONS
};

struct address_record {
    unsigned generation; // a record of another generation than its book's is empty
    unsigned hash;
    char address[48]; // as counted, "10.0.0.5" or "2001:db8::1"
    int open;         // connections open from the address, each holding the record
    rate_bucket connects;
    long long used_ms; // when it was last looked up
    // For each reason: when the window began whose refusals are summed up (-1: none), and how
    // many came in it after the one logged in full.
    long long window_ms[REFUSAL_REASONS];
    int refused[REFUSAL_REASONS];
};

struct address_book {
    unsigned generation;
    int size; // records in use, at most ADDRESS_BOOK_LIMIT
    address_record records[ADDRESS_BOOK_LIMIT];
};

// Empties the book, whatever it held, in constant time; size records will be used.
void address_book_clear(address_book *book, int size);

// The record of an address, made when missing.  A full book gives up the record of an address
// with no open connection that has the least to remember.  connects_per_second tells when a
// connection rate bucket is full again.
int address_book_find(address_book *book, const char *address, long long now_ms,
                      int connects_per_second);
