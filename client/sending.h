// The user's lines on their way out: queued by the window's thread, sent in order by the
// connection's thread, kept until the server acknowledges them where it does.
#pragma once

#include <string>

#include "client/client_state.h"

// The window's thread: queues one line (the chat payload: the text, escaped, and CR LF).  False
// when too many wait already; the text then stays with the user.
bool sending_queue(const std::string &chat);

// The connection's thread: a connection begins, on which lines go out without ids until
// sending_with_ids (the server offered the history and this client registered).
void sending_new_connection(void);
void sending_with_ids(void);

// The connection's thread: sends every waiting line not yet sent on this connection, in order.
// With ids a line stays until its acknowledgement and goes out again on the next connection;
// without, it stays until its echo and never goes again, and when a send fails it goes back to
// the user with every line behind it.  -1 when a send failed (the connection is then closed).
int sending_send_waiting(client_state *cs);

// The receive thread: the server stored the line with this id.
void sending_acknowledged(long long id);
// The receive thread: a line said now, its text as it came; the echo of a line sent without id.
void sending_echoed(const std::string &text);

// The connection's thread, for the watchdog: the GetTickCount64 at which the oldest line still
// waiting for the server went out on this connection; -1 when none does.
long long sending_in_flight_since(void);

// The connection's thread: takes out the lines unacknowledged for ten minutes, for the user to
// decide on; true when there were any (they are then waiting for sending_take_given_back).
bool sending_give_up(void);
// Milliseconds until the oldest waiting line has waited wait_ms (0: it has), -1 when none waits.
long long sending_due_in(long long wait_ms);

// The window's thread, every SENDING_CHECK_MS: whether a line has waited OUTBOX_SLOW_MS or more
// for the server (to go out, or for its acknowledgement or echo), which the title then says.  The
// lock is never held across a send, so this never waits on the network.
bool sending_slow(void);
enum { SENDING_CHECK_MS = 250 };

// The window's thread: the text of the lines given back since it last asked, as the user typed
// it, one line after another; empty when none.
std::u16string sending_take_given_back(void);
