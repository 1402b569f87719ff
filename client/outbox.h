// The lines the user sent that the server has not yet acknowledged.  Portable: no window or
// socket here; the connection's thread sends what this holds, under a lock of its own.
//
// With a server that keeps history every line carries an id and stays here until its
// acknowledgement, so that a connection lost with lines in flight sends them again, in order, on
// the next one, and the room sees each once.  With any other server a line leaves once sent.
#pragma once

#include <string>

// Lines at once; the user is told the box cannot take more by the text staying in it.
enum { OUTBOX_CAPACITY = 256 };

// A line still unacknowledged this long after the user sent it is given back to the user.
const long long OUTBOX_GIVE_UP_MS = 10 * 60 * 1000;
// The title says lines are waiting once one has waited this long.
const long long OUTBOX_SLOW_MS = 2000;

struct outbox_line {
    long long id;
    std::string chat;  // the chat frame's payload: the text, escaped, and CR LF
    long long sent_ms; // when the user sent it
    // The connection it last went out on (0: none yet).  A line goes out again on every new
    // connection until it is acknowledged.
    unsigned connection;
};

struct outbox {
    outbox_line lines[OUTBOX_CAPACITY]; // a ring: first is the oldest
    int first, count;
    long long next_id; // ids of this run, from 1
};

void outbox_init(outbox *o);

// Adds a line the user sent at now_ms; false when the outbox is full.
bool outbox_add(outbox *o, const std::string &chat, long long now_ms);

// The oldest line not yet sent on connection, or NULL.
outbox_line *outbox_next_to_send(outbox *o, unsigned connection);

// The line went out; with a server that acknowledges it stays until then, else it leaves now.
void outbox_sent(outbox *o, outbox_line *line, unsigned connection, bool acknowledged_later);

// The server stored the line with this id.  False when no such line waits (a server that lies).
bool outbox_acknowledge(outbox *o, long long id);

// Takes out every line unacknowledged for OUTBOX_GIVE_UP_MS by now_ms, oldest first, and appends
// their chat payloads to *given_up.  Returns how many.
int outbox_give_up(outbox *o, long long now_ms, std::string *given_up);

// Takes out the oldest line whatever its age (a send that failed with a server that does not
// acknowledge), its payload into *chat.  False when empty.
bool outbox_take_oldest(outbox *o, std::string *chat);

// Milliseconds from now_ms until the oldest line has waited `wait_ms` (0 when it has), or -1
// when none waits.
long long outbox_due_in(const outbox *o, long long now_ms, long long wait_ms);
