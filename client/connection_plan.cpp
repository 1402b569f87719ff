// When the client connects: its states, the retry schedule and when an outage is told.
#include "client/connection_plan.h"

// xorshift32: small, fast and never 0 once seeded with anything but 0.
static unsigned next_random(unsigned *state) {
    unsigned x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

long long retry_wait_ms(int waits, unsigned *random) {
    long long base = RETRY_LONGEST_MS;
    if (waits >= 0 && waits < 5) {
        base = (long long)RETRY_FIRST_MS << waits;
    }
    // 80 % to 120 % of the base, in steps of a thousandth.
    long long permille = 800 + (long long)(next_random(random) % 401);
    return base * permille / 1000;
}

static void begin_outage(connection_plan *p) {
    p->waits = 0;
    p->outage_shown = false;
}

static void wait_next(connection_plan *p) {
    p->wait_ms = retry_wait_ms(p->waits, &p->random);
    p->waits++;
    p->state = LINK_WAITING;
}

void plan_start(connection_plan *p, unsigned salt) {
    p->random = salt != 0 ? salt : 0x9E3779B9u;
    p->wait_ms = 0;
    p->connected_ms = 0;
    begin_outage(p);
    p->state = LINK_CONNECTING;
}

bool plan_attempt_failed(connection_plan *p) {
    bool first = !p->outage_shown;
    p->outage_shown = true;
    wait_next(p);
    return first;
}

void plan_connected(connection_plan *p, long long now_ms) {
    p->outage_shown = false;
    p->connected_ms = now_ms;
    p->state = LINK_CONNECTED;
}

void plan_lost(connection_plan *p, long long now_ms) {
    int waits = p->waits;
    begin_outage(p);
    if (now_ms - p->connected_ms < STABLE_CONNECTION_MS) {
        p->waits = waits;
    }
    wait_next(p);
}

void plan_refused(connection_plan *p) {
    p->state = LINK_REFUSED;
}

void plan_wait_over(connection_plan *p) {
    p->state = LINK_CONNECTING;
}

void plan_reconnect(connection_plan *p) {
    if (p->state == LINK_REFUSED) {
        return;
    }
    begin_outage(p);
    p->state = LINK_CONNECTING;
}

void plan_network_changed(connection_plan *p) {
    if (p->state != LINK_WAITING) {
        return;
    }
    p->waits = 0;
    p->state = LINK_CONNECTING;
}
