// The chat room: connections, members, frame cutting and the frames the server sends.  No sockets.
//
// The event loop owns the sockets and hands this code what it read; this code decides what each
// connection is sent and when it must be closed, so every rule of the protocol is testable
// without a network.
//
// Bytes are relayed as they came, 0x00 included: the client drops 0x00 from what it receives, so
// the server has no reason to edit anyone's text.
#pragma once

#include <stddef.h>
#include <string>

// Most places --max-connections may ask for.  The slot array has one spare entry, so a newcomer
// always finds a free entry while the greeting connection it displaced waits to be closed.
const int ROOM_MAX_PLACES = 1024;
const int ROOM_SLOTS = ROOM_MAX_PLACES + 1;
// A frame whose payload is longer than this closes its connection.
const size_t FRAME_LIMIT = 64 * 1024;
// A connection whose unsent output grows past this is dropped rather than stall the room.
const size_t OUTPUT_LIMIT = 1024 * 1024;
// Names are cut to at most this many bytes, never in the middle of a Shift-JIS character.
const size_t NAME_LIMIT = 31;

enum slot_state {
    SLOT_FREE,
    SLOT_GREETING, // connected, hello not yet received
    SLOT_MEMBER,
    SLOT_FLUSHING, // no more reading; close once the output is sent
    SLOT_DEAD      // close now, whatever is unsent
};

struct room_rules {
    int places;                 // connections served at once, 1..ROOM_MAX_PLACES (default 256)
    int per_address;            // connections at once from one address (default 8)
    long long hello_timeout_ms; // from the connect to a completed hello (default 10000)
};

struct room_slot {
    slot_state state;
    bool overflowed;           // output passed OUTPUT_LIMIT; dropped once the current event is done
    std::string peer;          // how the log names the connection, e.g. "127.0.0.1:50000"
    std::string address;       // what the per-address cap counts, e.g. "127.0.0.1"
    long long opened_ms;       // the hello deadline counts from here
    unsigned long long serial; // opening order: the oldest greeting connection goes first
    std::string name;
    std::string canonical; // the name in the form the "(n)" rule compares
    std::string input;     // received bytes after the last complete frame
    std::string output;    // bytes for the socket; the first output_sent of them are gone
    size_t output_sent;
    // The member frame in output that no byte of has been sent yet, if any (else npos): a newer
    // one replaces it rather than queue behind it.
    size_t member_frame_at;
    size_t member_frame_length;
};

struct room {
    room_rules rules;
    unsigned long long opened; // connections opened so far
    room_slot slots[ROOM_SLOTS];
    int order[ROOM_SLOTS]; // member slots in order of joining
    int member_count;
    std::string log; // lines for the operator, each ending in "\n"; the event loop drains it
};

void room_default_rules(room_rules *rules);

// rules NULL means the defaults.  The room keeps a copy.
void room_init(room *r, const room_rules *rules);

// A new connection.  peer: address and port as logged ("10.0.0.5:50000", "[::1]:50000");
// address: the address alone, as counted for the per-address cap ("10.0.0.5", "::1"); the caller
// has already turned IPv4-mapped IPv6 into IPv4.  now_ms: a monotonic clock in milliseconds.
// Returns the new slot, or -1 when the newcomer is refused (over the per-address cap, or every
// place holds a member); the refusal is logged and the caller closes the socket.
// To make room it may mark the oldest greeting connection SLOT_DEAD (logged): the caller must
// close and release every slot for which room_wants_close is true before its next room_open.
int room_open(room *r, const char *peer, const char *address, long long now_ms);

// Closes (marks SLOT_DEAD, logged) greeting connections whose hello deadline has passed.
// Returns the milliseconds until the next deadline, or -1 when no connection is greeting; the
// event loop uses it as its poll timeout.
long long room_tick(room *r, long long now_ms);

// Bytes read from a slot's connection.
void room_receive(room *r, int slot, const char *bytes, size_t count);

// The connection was closed by its peer or failed; the slot becomes SLOT_DEAD.
void room_hang_up(room *r, int slot);

// The server is ending: every member is sent the shutdown notice and then closed; connections
// still to say hello are closed at once.
void room_announce_end(room *r);

// Unsent output of a slot: returns its length and points *bytes at it.
size_t room_unsent(const room *r, int slot, const char **bytes);
void room_sent(room *r, int slot, size_t count);

// True when the event loop should read from the slot.
bool room_reads(const room *r, int slot);
// True when the slot's socket should be closed now; the caller then calls room_release.
bool room_wants_close(const room *r, int slot);
void room_release(room *r, int slot);

// Frame builders and the name rules, exposed for tests.
std::string room_cut_name(const char *bytes, size_t count);
// The name as sent in the hello, cut, with ";" and control bytes as "_", and never empty.
std::string room_safe_name(const char *bytes, size_t count);
// A safe name, or when a member already has one that looks the same (canonical_name), the name
// with the smallest free "(n)".
std::string room_unique_name(const room *r, const std::string &name);
std::string room_member_frame(const room *r);
std::string room_relay_frame(const std::string &name, const char *text, size_t count);
