// What this run knows of the room's history: the client's token, the server's numbering and the
// last line shown, shared by the connection's thread (which registers) and the receive thread
// (which shows what the server replays).  See docs/protocol.md.
#pragma once

#include <windows.h>

#include <string>

// How long a new connection waits for the offer before it says hello anyway, when the last one
// had it: the offer is the first frame a server that keeps history sends, and the hello must
// come after the register for the server to give this client its place back.
enum { OFFER_WAIT_MS = 2000 };

// Draws the run's token.  Once, before the first connection.
void catch_up_start(void);

// The connection's thread, before each attempt: forgets the last connection's offer, and says
// whether this one should wait for an offer and register before its hello.
bool catch_up_new_connection(void);

// The receive thread: the server offered the extension with this epoch.  Wakes whoever waits.
// From then until the replay ends, the user's lines wait: they follow what was said before.
void catch_up_offered(const std::string &epoch);
bool catch_up_replaying(void);
HANDLE catch_up_offer_event(void);
bool catch_up_offer_seen(void);

// The connection's thread: the register for this connection, resuming after the last line shown
// when one was shown of a known numbering, else asking for the recent history.
std::string catch_up_register_payload(void);
// What the last register asked for: -1 the recent history, else the seq it resumed after; -2
// when none was sent on this connection.
long long catch_up_register_after(void);

// The receive thread: a line with this seq is shown now.  False when it was shown already (a
// server repeating itself), and nothing should be shown.
bool catch_up_show(long long seq);
// The replay is over and the client caught up to seq: no line up to it is new any more.
void catch_up_replay_over(long long seq);
