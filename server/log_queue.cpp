// A writer thread behind a bounded queue: the only place where the log's lines leave the server.
#include "server/log_queue.h"

#include <stdio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "server/log_output.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <poll.h>
#include <unistd.h>
#endif

struct log_queue_state {
    std::mutex lock;
    std::condition_variable wake; // lines or a count of dropped ones for the writer
    std::condition_variable idle; // the writer has nothing left to write
    std::string queue;
    size_t writing;        // bytes the writer has taken and not yet written
    unsigned long dropped; // lines dropped since the last count was written
    bool started, threaded;
};

// Made once and never destroyed: the writer may still be blocked in a write when the process ends.
static log_queue_state *g_log = new log_queue_state();

void (*log_queue_sink)(const char *bytes, size_t count) = NULL;

// Where the lines go: standard error, written whole however long that takes, or the sink.
static void log_queue_deliver(const char *bytes, size_t count) {
    if (log_queue_sink != NULL) {
        log_queue_sink(bytes, count);
        return;
    }
#ifdef _WIN32
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    while (count > 0) {
        DWORD written = 0;
        DWORD chunk = count > 65536 ? 65536 : (DWORD)count;
        if (out == NULL || out == INVALID_HANDLE_VALUE ||
            !WriteFile(out, bytes, chunk, &written, NULL) || written == 0) {
            return;
        }
        bytes += written;
        count -= written;
    }
#else
    while (count > 0) {
        ssize_t written = write(2, bytes, count);
        if (written > 0) {
            bytes += written;
            count -= (size_t)written;
        } else if (written < 0 && errno == EAGAIN) {
            // Standard error inherited as non-blocking: wait for room rather than spin.
            pollfd entry = {2, POLLOUT, 0};
            poll(&entry, 1, -1);
        } else if (written == 0 || errno != EINTR) {
            return;
        }
    }
#endif
}

static void write_lines(void) {
    std::unique_lock<std::mutex> hold(g_log->lock);
    for (;;) {
        g_log->wake.wait(hold, [] { return !g_log->queue.empty() || g_log->dropped > 0; });
        std::string lines;
        lines.swap(g_log->queue);
        if (lines.empty()) {
            // Drained: the count of what was lost follows the lines that were kept.
            char stamp[32], count[64];
            log_output_stamp(stamp, sizeof stamp);
            snprintf(count, sizeof count, "log: %lu lines dropped\n", g_log->dropped);
            lines = std::string(stamp) + count;
            g_log->dropped = 0;
        }
        g_log->writing = lines.size();
        hold.unlock();
        log_queue_deliver(lines.data(), lines.size());
        hold.lock();
        g_log->writing = 0;
        if (g_log->queue.empty() && g_log->dropped == 0) {
            g_log->idle.notify_all();
        }
    }
}

void log_queue_add(const std::string &lines) {
    std::lock_guard<std::mutex> hold(g_log->lock);
    if (!g_log->started) {
        g_log->started = true;
        try {
            std::thread(write_lines).detach();
            g_log->threaded = true;
        } catch (const std::system_error &) {
            // No thread to be had: the lines are written as they come, as before there was one.
        }
    }
    if (!g_log->threaded) {
        log_queue_deliver(lines.data(), lines.size());
        return;
    }
    for (size_t start = 0, end; start < lines.size(); start = end) {
        end = lines.find('\n', start);
        end = end == std::string::npos ? lines.size() : end + 1;
        if (g_log->queue.size() + g_log->writing + (end - start) > LOG_QUEUE_LIMIT) {
            g_log->dropped++;
        } else {
            g_log->queue.append(lines, start, end - start);
        }
    }
    g_log->wake.notify_one();
}

void log_queue_flush(int timeout_ms) {
    std::unique_lock<std::mutex> hold(g_log->lock);
    g_log->idle.wait_for(hold, std::chrono::milliseconds(timeout_ms), [] {
        return g_log->queue.empty() && g_log->writing == 0 && g_log->dropped == 0;
    });
}
