// What the room's own files share: the steps of the rules that more than one of them takes.
#pragma once

#include <string>

#include "server/room/room.h"

// A line for the operator about a connection: peer, name in parentheses when it has one, what.
void room_log_line(room *r, const room_slot *s, const std::string &what);

// Closes a connection at once, whatever it still had to send, and tells the others when it was
// a member.
void room_drop(room *r, int slot, const char *why);

// Drops the members picked to free the room's output, until none is left picked.
void room_settle(room *r);

// Throws away a slot's unsent output, the member frame included.
void room_forget_output(room *r, room_slot *s);

// Bytes for one connection alone: the refusal and the shutdown notice.
void room_queue(room *r, room_slot *s, const std::string &bytes);

// A relay for every member.  Members with the most unsent output are picked to make room for it
// first, when it would take the room's unsent output past its limit.
void room_broadcast(room *r, const std::string &frame);

// The member frame for the room as it is now, due to every member.
void room_broadcast_members(room *r);
