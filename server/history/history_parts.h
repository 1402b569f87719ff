// What the history's own files share: failing the store, its transactions and the file system.
#pragma once

#include <sqlite3.h>

#include <string>

#include "server/history/history.h"

// Fails the store: the first reason is kept (what, then SQLite's message), the database is
// closed, which rolls back what was not committed.  Returns false, for the caller to pass on.
bool history_fail(history *h, const char *what);
// The same for a reason of this program's own.
bool history_refuse(history *h, const std::string &reason);
// Steps a statement whose rows nobody reads, then resets it.
bool history_run(history *h, sqlite3_stmt *statement, const char *what);
// Steps a query of one number: the number, 0 when it gives no row, 0 and the store failed
// (with what) on an error.
long long history_query_number(history *h, sqlite3_stmt *s, const char *what);
// Opens the transaction that history_commit ends, unless one is open.
bool history_begin(history *h);
// A write outside history_append joins the open transaction, or opens one of its own (*own) that
// history_write_done commits at once.
bool history_write_start(history *h, bool *own);
bool history_write_done(history *h, bool own);
// Writes the lines appended and still waiting in h->pending; false when the store failed.
bool history_flush(history *h);
// Reads the oldest kept line into the cache.
bool history_load_oldest(history *h);

// Rows handed to a thread that writes them while the turn goes on, HISTORY_ROWS_AT_ONCE at a time
// (history_writer.cpp), for a store in a file.  hand: h->pending to the thread; settle: waits
// until it has written all it was given, false when a write failed (the caller then fails the
// store), and leaves the connection to the caller until the next hand; stop: before the store
// closes, dropping what was not written.
void history_writer_start(history *h);
void history_writer_hand(history *h);
bool history_writer_settle(history *h);
void history_writer_stop(history *h);
// Writes rows packed as in h->pending; false on SQLite's first error, with the store left as it
// is, so that any thread may call it while it holds the connection.
bool history_insert_rows(history *h, const char *rows, size_t size, int lines);

// Checkpoints of the WAL once it has grown, by a thread with a connection of its own, in place of
// SQLite's automatic ones in the room's commits (history_checkpoint.cpp).  watch: at open, notes
// in h->checkpoint_due when one is; history_checkpoint: after the commit that made it due (the
// thread's first, or in the turn when there can be no thread); stop: before the store closes.
void history_checkpoint_watch(history *h);
void history_checkpoint(history *h);
void history_checkpoint_stop(history *h);

// The file system, with the system's own calls and error texts (history_files.cpp).  Paths are
// in the system's code page.
// Makes the folders above path that are missing.
bool history_make_parent(const std::string &path, std::string *reason);
// Takes the lock file exclusively: HISTORY_OPEN, HISTORY_IN_USE or HISTORY_FAILED, with *reason.
int history_lock(const std::string &lock_path, intptr_t *lock, std::string *reason);
void history_unlock(intptr_t *lock);
// Renames path, and its -wal and -shm when there, to the first free
// "<path>.corrupt-YYYY-MM-DD[-N]" of now's local date, put in *moved.
bool history_move_aside(const std::string &path, long long now, std::string *moved,
                        std::string *reason);
// The path as SQLite takes it: UTF-8 on Windows, the bytes as they are elsewhere.
std::string history_sqlite_path(const std::string &path);
