// The server's one thread: poll, accept, read, hand bytes to the room, write what it queued.
#pragma once

#include <string>

#include "server/allow_list.h"
#include "server/history/history.h"
#include "server/room/room.h"
#include "server/socket_layer.h"

struct event_loop_settings {
    room_rules rules;
    int keepalive_seconds; // a vanished peer is found out within twice this
    allow_list allow;
    // The history: off when history_days is 0.  store is open, or failed at open (the room then
    // goes on without it); own_epoch names the room's own numbering should it go on without.
    int history_days;  // lines older than this are deleted
    int history_lines; // what a first registration is replayed
    history *store;
    std::string own_epoch;
};

// Serves the room on a listening socket until a stop is requested, then tells every member and
// closes the connections.  Returns the process's exit status.
int event_loop_run(net_socket listener, const event_loop_settings *settings);
