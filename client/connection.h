// Connecting to the chat server, the goodbye on the way out, and sending frames.
#pragma once

#include <string>

#include "client/client_state.h"

// Re-reads the server from memo.ini, connects to its port 2000, starts the receive thread and
// sends the hello.  0 when connected; -3 when the host cannot be resolved; -4 when connecting
// fails.  Windows Sockets stays started either way.
int connect_to_server(void);

// Stops the receive thread, says goodbye, closes the socket and returns once the thread has
// ended.  Harmless when there is no connection.  Always 0.
int disconnect_from_server(void);

// Sends payload + terminator, all of it.  0 when every byte went out; -1 when there is no socket
// or a send fails.
int send_frame(client_state *cs, const std::string &payload);

// The receive thread asks this before every call it makes on the user's behalf: once a disconnect
// has begun, nothing of the old connection may reach the window.
bool receive_stop_requested(void);

// Set by the receive thread when the server went away; cleared by the next connect.  A line the
// user sends meanwhile is kept rather than thrown at a dead socket.
void note_connection_lost(void);
bool connection_lost(void);
