// A thread of the store's own that writes the lines as the turn goes on, so that at the commit
// little is left to write: SQLite's cost for a line is close to all the rest of its relay.
#include "server/history/history_parts.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

struct history_writer {
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake, idle;
    std::string queue; // rows handed over and not yet taken, packed as in h->pending
    int queue_lines = 0;
    bool busy = false;   // writing rows it took
    bool failed = false; // a write failed: it writes nothing more, and the store fails
    bool stop = false;
};

// The connection is the writer's only while it is busy; the event loop's thread waits for it to be
// idle before it uses the connection itself.
static void history_writer_run(history *h, history_writer *w) {
    std::unique_lock<std::mutex> held(w->lock);
    std::string rows;
    for (;;) {
        w->wake.wait(held, [w] { return w->queue_lines > 0 || w->stop; });
        if (w->queue_lines == 0) {
            return;
        }
        rows.swap(w->queue);
        int lines = w->queue_lines;
        w->queue.clear();
        w->queue_lines = 0;
        w->busy = true;
        bool write = !w->failed;
        held.unlock();
        bool written = !write || history_insert_rows(h, rows.data(), rows.size(), lines);
        held.lock();
        w->busy = false;
        w->failed = w->failed || !written;
        w->idle.notify_all();
    }
}

void history_writer_start(history *h) {
    history_writer *w = new history_writer();
    try {
        w->thread = std::thread(history_writer_run, h, w);
        h->writer = w;
    } catch (const std::system_error &) {
        delete w; // the lines are then written at the commit, in the turn
    }
}

void history_writer_hand(history *h) {
    history_writer *w = h->writer;
    {
        std::lock_guard<std::mutex> held(w->lock);
        w->queue += h->pending;
        w->queue_lines += h->pending_lines;
        w->wake.notify_one();
    }
    h->pending.clear();
    h->pending_lines = 0;
}

bool history_writer_settle(history *h) {
    history_writer *w = h->writer;
    std::unique_lock<std::mutex> held(w->lock);
    w->idle.wait(held, [w] { return w->queue_lines == 0 && !w->busy; });
    return !w->failed;
}

void history_writer_stop(history *h) {
    history_writer *w = h->writer;
    if (w == NULL) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(w->lock);
        w->failed = true; // a store that closes writes nothing more here
        w->stop = true;
        w->wake.notify_one();
    }
    w->thread.join();
    delete w;
    h->writer = NULL;
}
