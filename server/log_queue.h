// The operator's log on its way out: a bounded queue that a thread of its own writes to standard
// error, so that a log nobody reads (a full pipe, a console paused by a selection) never stops the
// room.
#pragma once

#include <stddef.h>
#include <string>

// Bytes queued, the line being written included; lines that would pass it are dropped and
// counted, and once the queue has drained one line says how many.
const size_t LOG_QUEUE_LIMIT = 1024 * 1024;

// Where the lines go instead of standard error when set: the Windows service's daily files, as it
// has no console.  Called by the writer only.
extern void (*log_queue_sink)(const char *bytes, size_t count);

// Queues whole lines, each ending in "\n", as they are to be written; starts the writer on first
// use.  Never waits for the writing.
void log_queue_add(const std::string &lines);

// How long the end waits for the log's last lines to be written; a log nobody reads gets no more.
const int LOG_END_WAIT_MS = 500;

// Waits at most timeout_ms for every queued line to be written: at the end, so that the last
// lines are not lost while a log that is not read cannot hold the end up.
void log_queue_flush(int timeout_ms);
