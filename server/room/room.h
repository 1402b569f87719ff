// The chat room: connections, members, frame cutting and the frames the server sends.  No sockets.
//
// The event loop owns the sockets and hands this code what it read; this code decides what each
// connection is sent and when it must be closed, so every rule of the protocol is testable
// without a network.
//
// Bytes are relayed as they came, 0x00 included (the client drops 0x00 from what it receives),
// but for line breaks: a lone CR or a lone LF goes out as CR LF, so that every client, the
// oldest included, breaks a line where its sender did.
#pragma once

#include <stddef.h>
#include <string>

#include "client/protocol.h"
#include "server/history/history.h"
#include "server/room/address_book.h"
#include "server/room/rate_limits.h"

// Most places --max-connections may ask for.  The slot array has one spare entry, so a newcomer
// always finds a free entry while the greeting connection it displaced waits to be closed.
const int ROOM_MAX_PLACES = 1024;
const int ROOM_SLOTS = ROOM_MAX_PLACES + 1;
// A frame whose payload is longer than this closes its connection.
const size_t FRAME_LIMIT = 64 * 1024;
// A member that still has more than this unsent once the event loop has written what its socket
// would take is dropped rather than stall the room (the default of room_rules.output_limit).
const size_t OUTPUT_LIMIT = 1024 * 1024;
// What the frames taken in one turn of the event loop may queue: relay bytes for each member, and
// bytes for all members together (some milliseconds of copying).  Frames past that wait in their
// sender's input until the next turn, so the sockets are written between two bursts and no turn
// runs long.
const size_t TURN_RELAY_LIMIT = 256 * 1024;
const size_t TURN_OUTPUT_LIMIT = 32 * 1024 * 1024;

enum slot_state {
    SLOT_FREE,
    SLOT_GREETING, // connected, hello not yet received
    SLOT_MEMBER,
    SLOT_FLUSHING, // no more reading; close once the output is sent
    SLOT_DEAD      // close now, whatever is unsent
};

struct room_rules {
    int places;                 // connections served at once, 1..ROOM_MAX_PLACES (default 256)
    int per_address;            // connections at once from one address, and the burst of new
                                // ones it may open before the rate of one a second (default 8)
    long long hello_timeout_ms; // from the connect to a completed hello (default 10000)
    int line_rate;              // frames a second from one connection, in bursts of up to twice
                                // that; 0: no limit (default 20)
    int byte_rate;              // KiB a second of the frames of one connection, in bursts of up
                                // to twice that; 0: no limit (default 64)
    size_t max_buffered;        // unsent output of all connections together; 0: no limit
                                // (default 64 MiB)
    size_t output_limit;        // unsent output one member may keep; 0: no limit (OUTPUT_LIMIT)
};

// A client of the history extension, known by its token: the number the store gave it and the
// largest line id relayed from it.  Shared by every connection registered with the token, so a
// line is relayed once per client and id whichever connection sends it.
struct room_client {
    std::string token;       // "" when the entry is free
    long long number;        // the store's number for the token; 0 without a store
    long long last_id;       // the largest id relayed from it
    int holders;             // connections registered with it; only entries with none are reused
    unsigned long long used; // when it last registered: the oldest free one is reused first
};
// Twice the slots: an entry outlives its connections for a while, so that after the store is
// lost a client that reconnects is still known.
const int ROOM_CLIENTS = 2 * ROOM_SLOTS;

struct room_slot {
    slot_state state;
    bool overflowed;           // picked to free the room's output; dropped once the event is done
    std::string peer;          // how the log names the connection, e.g. "127.0.0.1:50000"
    std::string address;       // what the per-address cap counts, e.g. "127.0.0.1"
    int record;                // the address's record in the room's address book
    long long opened_ms;       // the hello deadline counts from here
    unsigned long long serial; // opening order: the oldest greeting connection goes first
    std::string name;
    std::string canonical; // the name in the form the "(n)" rule compares
    std::string input;     // received bytes not yet taken as frames
    rate_bucket lines;
    rate_bucket bytes;
    // -1 while the connection is read; else its input holds a whole frame that waits, for its
    // line rate, its byte rate or the next turn, until this time, and nothing more is read before.
    long long held_until_ms;
    std::string output; // bytes for the socket; the first output_sent of them are gone
    size_t output_sent;
    // The room's member frame goes out after output[0..list_at) (npos: none is due), and
    // list_sent bytes of it are gone.  One that has not begun is moved to the end by a newer one.
    size_t list_at;
    size_t list_sent;
    // The history extension.
    int client;             // its entry in the room's clients once registered, else -1
    bool replaying;         // registered, and its replay not yet ended with "fe": no live lines
    bool page_due;          // its last page ended with "fm": the next one comes on "\0m"
    bool gap_due;           // the next page end carries the gap: lines it asked for are gone
    bool ignored_logged;    // an extension frame it may not send was logged, once
    bool store_numbered;    // open when the store was lost: it knows only the store's seqs
    long long replay_after; // the next page holds the lines after this seq
    long long joined_seq;   // the newest seq when its hello came
    // The lines relayed to it as "d" between its hello and its registration, (from, to]: its
    // replay leaves them out.
    long long d_from, d_to;
};

struct room {
    room_rules rules;
    int slot_count;            // the slots in use: one more than the places
    unsigned long long opened; // connections opened so far
    room_slot slots[ROOM_SLOTS];
    int order[ROOM_SLOTS]; // member slots in order of joining
    int member_count;
    // The newest member frame, one copy for every connection it is due to, and how many.
    std::string member_frame;
    int member_frame_holders;
    size_t buffered; // unsent bytes in the slots' own outputs, the member frame not included
    int overflowed;  // members picked to free the room's output and not dropped yet
    // Bytes queued since the turn began (room_tick): relay frames, and for all members together.
    size_t turn_relayed, turn_queued;
    int tick_from; // where room_tick starts, in turn, for the connections whose frames wait
    address_book addresses;
    long long summaries_ms; // when refusals are next summed up in the log
    std::string log;        // lines for the operator, each ending in "\n"; the event loop drains it
    // The history extension, off unless room_history_start turned it on.
    bool extension;
    history *store;        // NULL when it could not be opened or was lost since
    std::string epoch;     // the offer's: the store's, or the room's own once it is lost
    std::string own_epoch; // the room's own, for numbering lines without a store
    std::string offer;     // the offer frame, its terminator included
    long long newest_seq;  // the last seq given to a line
    long long store_last;  // the store's last seq, once it is lost
    int replay_lines;      // how many lines a first registration is replayed
    int page_lines;        // lines a page holds at most: PAGE_LINES_LIMIT, or fewer in tests
    long long clock_s;     // Unix seconds, kept up to date by the caller: lines' times
    unsigned long long registered; // registrations so far, the clients' clock
    int client_count;              // entries of clients in use: twice the slots
    room_client clients[ROOM_CLIENTS];
};

void room_default_rules(room_rules *rules);

// rules NULL means the defaults.  The room keeps a copy.
void room_init(room *r, const room_rules *rules);

// A new connection.  peer: address and port as logged ("10.0.0.5:50000", "[::1]:50000");
// address: the address alone, as counted for the per-address cap ("10.0.0.5", "::1"); the caller
// has already turned IPv4-mapped IPv6 into IPv4.  now_ms: a monotonic clock in milliseconds.
// Returns the new slot, or -1 when the newcomer is refused (over the per-address cap, over the
// connection rate, or every place holds a member); the refusal is logged and the caller closes
// the socket.  To make room it may mark a greeting connection SLOT_DEAD (logged): the one that
// opened first of the address that holds the most, the newcomer counted.  The caller must close
// and release every slot for which room_wants_close is true before its next room_open.
int room_open(room *r, const char *peer, const char *address, long long now_ms);

// A connection the caller refused before the room saw it (from outside --allow), for the log.
void room_refuse(room *r, const char *peer, const char *address, long long now_ms);

// The event loop calls this once at the start of every turn.  It closes (marks SLOT_DEAD,
// logged) greeting connections whose hello deadline has passed, takes the waiting frames that
// are due, and sums up refusals in the log.  Returns the milliseconds until something is next
// due, or -1 when nothing is; the event loop uses it as its poll timeout.
long long room_tick(room *r, long long now_ms);

// Bytes read from a slot's connection at now_ms; only while room_reads is true.
void room_receive(room *r, int slot, const char *bytes, size_t count, long long now_ms);

// The connection was closed by its peer or failed; the slot becomes SLOT_DEAD.
void room_hang_up(room *r, int slot);

// The server is ending: every member is sent the shutdown notice and then closed; connections
// still to say hello are closed at once.
void room_announce_end(room *r);

// The next piece of a slot's unsent output: returns its length, 0 when nothing is unsent, and
// points *bytes at it.  room_sent then takes count bytes of that piece at most.
size_t room_unsent(const room *r, int slot, const char **bytes);
void room_sent(room *r, int slot, size_t count);
// All of a slot's unsent output.
size_t room_unsent_length(const room *r, int slot);

// The event loop has written to every connection what its socket would take: members that still
// have more than the rules' output_limit unsent are dropped.
void room_after_writes(room *r);

// True when the event loop should read from the slot.
bool room_reads(const room *r, int slot);
// True when the slot's socket should be closed now; the caller then calls room_release.
bool room_wants_close(const room *r, int slot);
void room_release(room *r, int slot);

// The history extension (docs/protocol.md): every connection is offered it first, every relayed
// line is stored before it is relayed, and registered connections are caught up, sent lines as
// "s" and have their numbered lines acknowledged.  store: open, or NULL when it could not be
// opened; own_epoch: 16 lower-case hex digits, drawn afresh each run, named by the offer once
// the room numbers lines without a store.  replay_lines: what a first registration is replayed.
// Call once, after room_init.  Without it the room is as it was before the extension.
void room_history_start(room *r, history *store, const std::string &own_epoch, int replay_lines);
// Commits the lines taken since the last commit.  The event loop calls it before it writes to any
// socket, so nothing is relayed or acknowledged before it is stored.  A store that fails, here or
// anywhere, is logged once and the room goes on without it: it numbers lines itself from the
// last seq on, under own_epoch, acknowledges lines once relayed and replays nothing.  Connections
// already open then were offered the store's numbering: they get lines as "d" and are told no seq
// past the store's, or they would take the room's seqs for the store's, which gives the same
// seqs again after a restart.
void room_commit(room *r);
// Deletes up to max_rows of the oldest lines, those received before `before` (Unix seconds); how
// many it deleted (0 without a store): call again while that is max_rows.
int room_prune(room *r, long long before, int max_rows);

// Frame builders and the name rules, exposed for tests.
std::string room_cut_name(const char *bytes, size_t count);
// The name as sent in the hello, cut, with ";" and control bytes as "_", and never empty.
std::string room_safe_name(const char *bytes, size_t count);
// A safe name, or when a member already has one that looks the same (canonical_name), the name
// with the smallest free "(n)".
std::string room_unique_name(const room *r, const std::string &name);
std::string room_member_frame(const room *r);
std::string room_relay_frame(const std::string &name, const char *text, size_t count);
