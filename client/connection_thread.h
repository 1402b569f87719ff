// The connection's own thread: it connects, keeps the connection, notices when it dies and comes
// back by itself, so that the window never waits on the network.
#pragma once

#include <windows.h>

// How long the window's thread waits for the connection's thread at the end of the program.
enum { STOP_WAIT_MS = 500 };

// Starts the thread; its first attempt begins at once.  Returns at once.
void connection_start(void);

// Drops the connection (with the goodbye), or abandons the attempt or the wait, and starts a new
// attempt now.  Returns at once.
void connection_reconnect(void);

// Ends the thread and its connection, the goodbye included.  Waits at most STOP_WAIT_MS, serving
// this thread's sent messages meanwhile: 0 when the thread has ended, -1 when it is still held up
// (in a name lookup, which cannot be cut short) and is left to the end of the process.
int connection_stop(void);
bool connection_running(void);

// The server relays every line back to its sender, and acknowledges it where it keeps history:
// when a line sent gets neither within the watchdog's time (twice the keep-alive, at least 10 s),
// the link is dead, whether or not the system has noticed.  The outbox keeps the time
// (sending_in_flight_since).

// The window's thread queued a line for the connection's thread to send (or the receive thread
// saw a replay end, after which the lines waiting may go).
void connection_line_queued(void);
// The receive thread: the server acknowledged the line with this id.
void connection_line_acknowledged(long long id);
