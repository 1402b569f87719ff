// Connecting to the chat server, the goodbye on the way out, and sending frames.
#pragma once

#include <string>

#include "client/client_state.h"

// What lets an attempt be cut short: wake is set whenever something may want the attempt
// abandoned, and abandoned tells whether it does.  Whoever drives the attempts owns both.
struct attempt_control {
    HANDLE wake;
    bool (*abandoned)(void);
    bool hello_later; // the caller says hello itself, once it has registered first
};

// One attempt: re-reads server and port from memo.ini (quietly), resolves the server, tries its
// addresses in order, each for at most CONNECT_TIMEOUT_MS, then starts the receive thread and
// sends the hello (unless control says it comes later).  0 when connected; -3 when the host cannot
// be resolved; -4 when no address takes the connection; -5 when control abandoned the attempt.
// Blocks until then: the connection's own thread runs it.
int connect_to_server(const attempt_control *control);
enum { CONNECT_TIMEOUT_MS = 5000 };

// The name an attempt resolves: server, or this computer's name when server is empty.
enum { HOST_NAME_CAPACITY = 256 };
const char *host_to_look_up(const char *server, char own_name[HOST_NAME_CAPACITY]);

// Stops the receive thread, says goodbye, closes the socket and returns once the thread has
// ended.  Harmless when there is no connection.  Always 0.
int disconnect_from_server(void);

// The same without the goodbye, for a connection that is already gone.
void drop_connection(void);

// Sends payload + terminator, all of it, on whichever thread.  0 when every byte went out; -1
// when there is no socket or the send fails, or cannot finish within SEND_TIMEOUT_MS (a server
// that stopped reading).  A failed send closes the socket, so a frame is never left half sent on
// a connection that goes on: the receive thread then finds the connection lost.
int send_frame(client_state *cs, const std::string &payload);
enum { SEND_TIMEOUT_MS = 5000 };

// Closes the socket, whoever is using it, so that the receive thread finds the connection lost.
void break_connection(void);

// True while there is a connection that a line can be sent on: connected, and not found lost.
bool connection_usable(void);

// The receive thread asks this before every call it makes on the user's behalf: once a disconnect
// has begun, nothing of the old connection may reach the window.
bool receive_stop_requested(void);

// Set by the receive thread when the server went away; cleared by the next connect.  A line the
// user sends meanwhile is kept rather than thrown at a dead socket.
void note_connection_lost(void);
bool connection_lost(void);

// Set by the receive thread when the server refused this client's version.
void note_version_refused(void);
bool version_refused(void);

// The keep-alive time of every connection, from memo.ini at start-up.
extern int g_keepalive_seconds;
