// The room's history: every relayed line kept in one SQLite file, for catch-up and resends.
//
// One thread (the event loop) owns a store.  Nothing here throws or aborts: the first error of
// SQLite or of the system fails the store (its database closed, history_ready false, reason set
// to one English line), and every later call returns 0, -1 or "" at once, so the caller logs the
// reason once and goes on relaying without history.
//
// Sequence numbers only grow within one file and are never reused, even once every line was
// pruned; the epoch tells a client that it is talking to another file.  Names and texts are the
// bytes that came (Shift-JIS), kept as BLOBs and never converted.
//
// The lines kept are always every line from the oldest kept one on: prune only takes lines off
// the old end, so a client that sees oldest > its last seq + 1 knows that it missed some.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

struct sqlite3;
struct sqlite3_stmt;
struct history_checkpointer;
struct history_writer;

struct history_line {
    long long seq;
    long long at; // Unix seconds, when the server received it
    std::string name;
    std::string text;
};
// Called once for each line read; it must not call this store's functions.
typedef void (*history_visit)(void *context, const history_line *line);

struct history {
    sqlite3 *db = NULL; // NULL when closed or failed
    // Prepared once at open; all of them finalized together.
    sqlite3_stmt *begin = NULL, *commit = NULL, *append = NULL, *read_after = NULL;
    sqlite3_stmt *before_newest = NULL, *oldest = NULL, *client_find = NULL, *client_add = NULL;
    sqlite3_stmt *last_line_id = NULL, *prune_walk = NULL, *prune_clients = NULL;
    sqlite3_stmt *prune_lines = NULL, *append_many = NULL;
    bool in_transaction = false;
    // Lines appended and not yet written: a statement per line would cost more than the rest of
    // its relay, so they wait, packed, and are written HISTORY_ROWS_AT_ONCE to a statement by the
    // writer thread as they come, or at the commit or the next read.
    std::string pending;
    int pending_lines = 0;
    history_writer *writer = NULL; // NULL for a store in memory, or without a thread
    bool failed = false;
    std::string reason; // why it failed, or the file moved aside at open
    int code = 0;       // SQLite's extended code of the failure
    std::string epoch;
    // Cached: asked on every catch-up.  oldest_seq 0 when no line is kept.
    long long oldest_seq = 0, oldest_at = 0;
    long long newest_seq = 0; // the highest seq this file ever gave
    intptr_t lock = -1; // "<path>.lock": its descriptor, or its HANDLE on Windows; -1 when none
    history_checkpointer *checkpointer = NULL; // the thread that copies the WAL back, or NULL
    bool checkpoint_due = false;               // the last commit left the WAL long
};

enum { HISTORY_OPEN = 0, HISTORY_IN_USE = 1, HISTORY_FAILED = 2 };
enum { HISTORY_ROWS_AT_ONCE = 32 };

// Opens the store at path (bytes in the system's code page), creating the file and its parent
// folders when missing.  ":memory:" keeps the store in memory, without a lock file.
//   HISTORY_OPEN     ready;
//   HISTORY_IN_USE   another server holds this file ("<path>.lock" is locked, and stays locked
//                    until history_close): the caller refuses to start;
//   HISTORY_FAILED   unusable (unreadable, read-only folder, locked by another program, disk
//                    full...): *reason says why; the caller goes on without history.
// A file that SQLite finds corrupt or not a database is renamed aside as
// "<path>.corrupt-YYYY-MM-DD" (local date of now; "-2", "-3"... when taken), with its -wal and
// -shm, and a new store is started in its place: HISTORY_OPEN with *reason naming the file moved
// aside, else *reason is emptied.  No integrity check and no scan: open time does not grow with
// the number of lines.  history_close is due after any result.
int history_open(history *h, const char *path, long long now, std::string *reason);
// Commits what is still pending, closes the file and releases the lock.  Harmless twice.
void history_close(history *h);
// Open and not failed.
bool history_ready(const history *h);

// This file's own id, 16 lower-case hex digits drawn at random when the file was made.  "" when
// not ready.
const std::string &history_epoch(const history *h);

// 16 lower-case hex digits drawn at random, like an epoch: for a numbering of the caller's own.
std::string history_random_epoch(void);

// Stores a line and returns its seq (> 0), or 0 when the store failed.  client is a number from
// history_client (0 for clients that give no id), line_id the client's id for the line (0 when
// none).  Opens a transaction when none is open: the room appends every line of one turn of the
// event loop, the loop commits once, then relays.  The line is written to the file at the commit
// or the next read, so a full disk may show only there; every read sees it.
long long history_append(history *h, long long at, const std::string &name, const std::string &text,
                         long long client, long long line_id);
// Commits what was appended since the last commit: 0, or -1 when the store failed.
int history_commit(history *h);

// Visits the lines with seq > after in order, at most limit of them and at most max_bytes of
// name + text in all, but always the first when there is one.  Returns how many were visited, -1
// when the store failed.
int history_read_after(history *h, long long after, int limit, size_t max_bytes,
                       history_visit visit, void *context);
// The seq after which the newest count lines lie, 0 when at most count lines are kept (or the
// store failed): what to give history_read_after for the last count lines.
long long history_before_newest(history *h, int count);
// The oldest line kept, or 0 and 0 when none is (or the store failed).
void history_oldest(const history *h, long long *seq, long long *at);
// The highest seq this file ever gave, even when that line was pruned since; 0 for a new file.
long long history_newest(const history *h);

// The number of the client whose secret token is (32 lower-case hex digits, checked by the
// caller), made when new; 0 when the store failed.  Numbers are never reused.
long long history_client(history *h, const std::string &token);
// The highest line_id stored for that client, 0 when none (or failed): a line resent with an id
// at or below it was already stored and relayed.
long long history_last_line_id(history *h, long long client);

// Deletes up to max_rows of the oldest lines, those received before `before` (Unix seconds), so
// that retention never holds the event loop long; call again while it returns max_rows.  Walks
// from the oldest and stops at the first line received at or after before, so lines stamped
// ahead by a clock later set back wait until their time.  Clients whose lines are all gone are
// forgotten: the same token then gets a new number, so take the number again at each hello.
// Returns how many lines it deleted, -1 when the store failed.  Like history_client, it joins
// the open transaction, or commits at once when none is open.
int history_prune(history *h, long long before, int max_rows);
