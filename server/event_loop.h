// The server's one thread: poll, accept, read, hand bytes to the room, write what it queued.
#pragma once

#include "server/allow_list.h"
#include "server/room/room.h"
#include "server/socket_layer.h"

struct event_loop_settings {
    room_rules rules;
    int keepalive_seconds; // a vanished peer is found out within twice this
    allow_list allow;
};

// Serves the room on a listening socket until a stop is requested, then tells every member and
// closes the connections.  Returns the process's exit status.
int event_loop_run(net_socket listener, const event_loop_settings *settings);
