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

// Connections (members and those still to say hello) served at once; one more is refused.
const int ROOM_SLOTS = 256;
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

struct room_slot {
    slot_state state;
    bool overflowed;  // output passed OUTPUT_LIMIT; dropped once the current event is done
    std::string peer; // how the log names the connection, e.g. "127.0.0.1:50000"
    std::string name;
    std::string input;  // received bytes after the last complete frame
    std::string output; // bytes for the socket; the first output_sent of them are gone
    size_t output_sent;
};

struct room {
    room_slot slots[ROOM_SLOTS];
    int order[ROOM_SLOTS]; // member slots in order of joining
    int member_count;
    std::string log; // lines for the operator, each ending in "\n"; the event loop drains it
};

void room_init(room *r);

// A new connection; peer is its address for the log.  Returns its slot, or -1 when the room is
// full (the refusal is logged and the caller closes the socket).
int room_open(room *r, const char *peer);

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

// Frame builders and the name rule, exposed for tests.
std::string room_cut_name(const char *bytes, size_t count);
std::string room_member_frame(const room *r);
std::string room_relay_frame(const std::string &name, const char *text, size_t count);
