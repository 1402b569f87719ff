// The server's one thread: poll, accept, read, hand bytes to the room, write what it queued.
#pragma once

#include "server/socket_layer.h"

// Serves the room on a listening socket until a stop is requested, then tells every member and
// closes the connections.  Returns the process's exit status.
int event_loop_run(net_socket listener);
