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

// SQLite calls this after every commit with the pages the WAL holds.
static int history_checkpoint_hook(void *context, sqlite3 *, const char *, int pages) {
    history_checkpointer *c = (history_checkpointer *)context;
    if (pages >= CHECKPOINT_PAGES) {
        std::lock_guard<std::mutex> held(c->lock);
        c->due = true;
        c->wake.notify_one();
    }
    return SQLITE_OK;
}

void history_checkpoint_start(history *h, const std::string &path) {
    history_checkpointer *c = new history_checkpointer();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(history_sqlite_path(path).c_str(), &c->db, flags, NULL) == SQLITE_OK) {
        sqlite3_busy_timeout(c->db, 1000);
        try {
            c->thread = std::thread(history_checkpoint_run, c);
        } catch (const std::system_error &) {
            // No thread: SQLite's own checkpoints, in the room's turn, as before.
        }
    }
    if (!c->thread.joinable()) {
        sqlite3_close_v2(c->db);
        delete c;
        return;
    }
    h->checkpointer = c;
    // Replaces the automatic checkpoint, which is a hook like this one.
    sqlite3_wal_hook(h->db, history_checkpoint_hook, c);
}

void history_checkpoint_stop(history *h) {
    history_checkpointer *c = h->checkpointer;
    if (c == NULL) {
        return;
    }
    if (h->db != NULL) {
        sqlite3_wal_hook(h->db, NULL, NULL);
    }
    {
        std::lock_guard<std::mutex> held(c->lock);
        c->stop = true;
        c->wake.notify_one();
    }
    c->thread.join();
    sqlite3_close_v2(c->db);
    delete c;
    h->checkpointer = NULL;
}
