// The WAL copied back into the file by a thread of the store's own, so that the fsyncs a
// checkpoint takes never hold the room's turn up.
#include "server/history/history_parts.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

// As SQLite's own automatic checkpoints: once the WAL holds this many pages.
static const int CHECKPOINT_PAGES = 1000;

struct history_checkpointer {
    sqlite3 *db = NULL; // a connection of the thread's own
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool due = false, stop = false;
};

static void history_checkpoint_run(history_checkpointer *c) {
    std::unique_lock<std::mutex> held(c->lock);
    for (;;) {
        c->wake.wait(held, [c] { return c->due || c->stop; });
        if (c->stop) {
            return;
        }
        c->due = false;
        held.unlock();
        // Passive: it never waits for the room's writes, and what it cannot copy now waits for
        // the next one.  A failure here costs only a longer WAL.
        sqlite3_wal_checkpoint_v2(c->db, "main", SQLITE_CHECKPOINT_PASSIVE, NULL, NULL);
        held.lock();
    }
}

// SQLite calls this after every commit with the pages the WAL holds, in place of its automatic
// checkpoint, which is a hook like this one.
static int history_checkpoint_hook(void *context, sqlite3 *, const char *, int pages) {
    ((history *)context)->checkpoint_due = pages >= CHECKPOINT_PAGES;
    return SQLITE_OK;
}

void history_checkpoint_watch(history *h) {
    sqlite3_wal_hook(h->db, history_checkpoint_hook, h);
}

// The thread and its connection, made the first time a checkpoint is due: a store that never
// grows much never has them.  NULL when either cannot be had.
static history_checkpointer *history_checkpoint_start(history *h) {
    history_checkpointer *c = new history_checkpointer();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(sqlite3_db_filename(h->db, "main"), &c->db, flags, NULL) == SQLITE_OK) {
        sqlite3_busy_timeout(c->db, 1000);
        try {
            c->thread = std::thread(history_checkpoint_run, c);
        } catch (const std::system_error &) {
        }
    }
    if (!c->thread.joinable()) {
        sqlite3_close_v2(c->db);
        delete c;
        return NULL;
    }
    return c;
}

void history_checkpoint(history *h) {
    h->checkpoint_due = false;
    if (h->checkpointer == NULL) {
        h->checkpointer = history_checkpoint_start(h);
    }
    history_checkpointer *c = h->checkpointer;
    if (c == NULL) {
        // Without a thread, as SQLite itself would: in the commit's turn.
        sqlite3_wal_checkpoint_v2(h->db, "main", SQLITE_CHECKPOINT_PASSIVE, NULL, NULL);
        return;
    }
    std::lock_guard<std::mutex> held(c->lock);
    c->due = true;
    c->wake.notify_one();
}

void history_checkpoint_stop(history *h) {
    history_checkpointer *c = h->checkpointer;
    h->checkpointer = NULL;
    h->checkpoint_due = false;
    if (c == NULL) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(c->lock);
        c->stop = true;
        c->wake.notify_one();
    }
    c->thread.join();
    sqlite3_close_v2(c->db);
    delete c;
}
