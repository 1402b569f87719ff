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

// Bytes for one member that count against the turn like a relay: a replay's page, an ack.
void room_queue_counted(room *r, int slot, const std::string &bytes);

// A relay for every member: stored (when not empty) to those registered with the history
// extension, frame to the others, and nothing to those whose replay is under way.  Members with
// the most unsent output are picked to make room for it first, when it would take the room's
// unsent output past its limit.
void room_broadcast(room *r, const std::string &frame, const std::string &stored);

// The member frame for the room as it is now, due to every member.
void room_broadcast_members(room *r);

// One chat line from a member, its line breaks made CR LF, then stored first when the room keeps
// history; line_id is the client's id for it, 0 for a line without one.
void room_say(room *r, int slot, const char *text, size_t count, long long line_id);

// The history extension's steps (room_history.cpp): the offer to a new connection, the hello of
// a connection that may have registered already, and a frame that starts with EXTENSION_MARK.
void room_history_open(room *r, room_slot *s);
void room_history_joined(room *r, int slot);
void room_history_request(room *r, int slot, const char *payload, size_t count);
