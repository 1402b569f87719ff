// The lines the user sent that the server has not yet acknowledged.  Portable: no window or
// socket here; the connection's thread sends what this holds, under a lock of its own.
//
// With a server that keeps history every line carries an id and stays here until its
// acknowledgement, so that a connection lost with lines in flight sends them again, in order, on
// the next one, and the room sees each once.  With any other server a line stays until its echo
// (the server relays every line back to its sender), and is not sent again on a new connection.
// Either way a line is here until the server has shown it has the line, which is what the title
// and the watchdog go by.
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
    // The connection it last went out on (0: none yet).  A line with an id goes out again on
    // every new connection until it is acknowledged.
    unsigned connection;
    bool numbered;    // it went out with its id, so waits for the acknowledgement, not the echo
    long long out_ms; // when it last went out
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

// The line goes out at now_ms, with its id or without.
void outbox_sent(outbox *o, outbox_line *line, unsigned connection, bool numbered,
                 long long now_ms);

// The server stored the line with this id.  False when no such line waits (a server that lies).
bool outbox_acknowledge(outbox *o, long long id);

// A line said now whose text (as it came, escapes and all) is chat: when it is the oldest line
// that went out without an id, that is its echo and it leaves.  False otherwise (someone else's).
bool outbox_echoed(outbox *o, const std::string &chat);

// A new connection: lines that went out without an id leave, since no server can tell whether it
// had them, and none may reach the room twice.
void outbox_forget_unnumbered(outbox *o);

// When the oldest line that went out on connection and still waits for the server went out; -1
// when none does.
long long outbox_in_flight_since(const outbox *o, unsigned connection);

// Takes out the line with this id and every line after it, oldest first, their payloads appended
// to *taken (a send without ids that failed: they go back to the user, in order).  How many.
int outbox_take_from(outbox *o, long long id, std::string *taken);

// Takes out every line unacknowledged for OUTBOX_GIVE_UP_MS by now_ms, oldest first, and appends
// their chat payloads to *given_up.  Returns how many.
int outbox_give_up(outbox *o, long long now_ms, std::string *given_up);

// Milliseconds from now_ms until the oldest line has waited `wait_ms` (0 when it has), or -1
// when none waits.
long long outbox_due_in(const outbox *o, long long now_ms, long long wait_ms);
