// When the client connects: its states, the retry schedule and when an outage is told.  Portable:
// no window or socket here; the connection's thread carries out what these functions decide.
#pragma once

enum link_state {
    LINK_CONNECTING, // an attempt is in progress
    LINK_CONNECTED,
    LINK_WAITING, // until the next attempt
    LINK_REFUSED  // the server refused this client's version: no more attempts
};

// Retry waits before the jitter: 1, 2, 4, 8 and 16 s, then every 30 s.
enum { RETRY_FIRST_MS = 1000, RETRY_LONGEST_MS = 30000 };
// Only a connection that stayed up this long starts the schedule over when it is lost: a server
// that ends every connection at once is called back on the schedule, not every second.
enum { STABLE_CONNECTION_MS = 30000 };

struct connection_plan {
    link_state state;
    int waits;              // retry waits so far since the last stable connection or Reconnect
    bool outage_shown;      // the cannot-connect line has been added for the current outage
    unsigned random;        // the jitter's generator, never 0
    long long wait_ms;      // in LINK_WAITING: how long until the next attempt
    long long connected_ms; // in LINK_CONNECTED: when the connection came up
};

// The first attempt, now.  salt differs between clients, so that their retries spread out.
void plan_start(connection_plan *p, unsigned salt);

// The attempt failed: wait before the next.  True when this is the first failure of an outage,
// which the transcript tells once.
bool plan_attempt_failed(connection_plan *p);

// Times are milliseconds of any clock that only goes forward.
void plan_connected(connection_plan *p, long long now_ms);

// The connection was lost: wait before the next attempt; a new outage begins.  The schedule
// starts over only when the connection had lasted STABLE_CONNECTION_MS.
void plan_lost(connection_plan *p, long long now_ms);

void plan_refused(connection_plan *p);

// The wait is over: the next attempt, now.
void plan_wait_over(connection_plan *p);

// The user's Reconnect: a new attempt now, the schedule from the start, a new outage.
void plan_reconnect(connection_plan *p);

// While waiting, the system said a network came up or an address changed: a new attempt now and
// the schedule from the start, as for a Reconnect, but the outage goes on and is not told again.
void plan_network_changed(connection_plan *p);

// The wait after `waits` earlier waits, spread by up to 20 % either way so that clients of a
// restarted server do not all come back at the same instant.  Advances *random.
long long retry_wait_ms(int waits, unsigned *random);
