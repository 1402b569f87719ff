// Who gets a place: the per-address cap and connection rate, and whom a newcomer displaces.
#include "server/room/room_parts.h"

#include "server/room/refusal_log.h"

// Connections that hold a place: everything open except those already marked for closing.
static bool holds_place(const room_slot *s) {
    return s->state != SLOT_FREE && s->state != SLOT_DEAD;
}

static void refuse(room *r, const char *peer, int record, refusal_reason why, long long now_ms) {
    refusal_log_note(&r->log, &r->addresses.records[record], why, peer, r->rules.per_address,
                     now_ms);
}

// The greeting connection to close for a newcomer from the address with the record from: the one
// that opened first of the address holding the most greeting connections, the newcomer counted,
// or on a tie the one that opened first of all the tied addresses hold.  So an address displaces
// only its own connections while it holds more than any other.  -1 when none is greeting.
static int fair_eviction(const room *r, int from) {
    // Counts by record; only the entries of the records seen are set, so none needs clearing.
    static int count[ADDRESS_BOOK_LIMIT];
    for (int i = 0; i < r->slot_count; i++) {
        if (r->slots[i].state == SLOT_GREETING) {
            count[r->slots[i].record] = 0;
        }
    }
    count[from] = 0;
    int most = ++count[from];
    for (int i = 0; i < r->slot_count; i++) {
        if (r->slots[i].state == SLOT_GREETING) {
            int n = ++count[r->slots[i].record];
            most = n > most ? n : most;
        }
    }
    int evicted = -1;
    for (int i = 0; i < r->slot_count; i++) {
        const room_slot *s = &r->slots[i];
        if (s->state == SLOT_GREETING && count[s->record] == most &&
            (evicted < 0 || s->serial < r->slots[evicted].serial)) {
            evicted = i;
        }
    }
    return evicted;
}

int room_open(room *r, const char *peer, const char *address, long long now_ms) {
    int record = address_book_find(&r->addresses, address, now_ms, 1);
    int from_address = 0, taken = 0, free_slot = -1, greeting = 0;
    for (int i = 0; i < r->slot_count; i++) {
        const room_slot *s = &r->slots[i];
        if (s->state == SLOT_FREE) {
            free_slot = free_slot < 0 ? i : free_slot;
        } else if (holds_place(s)) {
            taken++;
            from_address += s->record == record;
            greeting += s->state == SLOT_GREETING;
        }
    }
    // The cap is checked first: a crowd from one address must not push anyone else out.
    if (from_address >= r->rules.per_address) {
        refuse(r, peer, record, REFUSED_OVER_CAP, now_ms);
        return -1;
    }
    // New connections of one address: a burst as large as the cap, then one a second.
    int burst = r->rules.per_address;
    if (!rate_take(&r->addresses.records[record].connects, now_ms, 1, burst, 1)) {
        refuse(r, peer, record, REFUSED_OVER_RATE, now_ms);
        return -1;
    }
    // Only a caller that left closed slots unreleased can find no free entry; nobody is
    // displaced for a newcomer that could not be seated anyway.
    if (free_slot < 0 || (taken >= r->rules.places && greeting == 0)) {
        refuse(r, peer, record, REFUSED_ROOM_FULL, now_ms);
        return -1;
    }
    if (taken >= r->rules.places) {
        room_slot *evicted = &r->slots[fair_eviction(r, record)];
        room_log_line(r, evicted, "closed: room full, made way for a newcomer");
        evicted->state = SLOT_DEAD;
        std::string().swap(evicted->input);
    }
    room_slot *s = &r->slots[free_slot];
    s->state = SLOT_GREETING;
    s->peer = peer;
    s->address = address;
    s->record = record;
    s->opened_ms = now_ms;
    s->serial = ++r->opened;
    r->addresses.records[record].open++;
    room_history_open(r, s);
    return free_slot;
}

void room_refuse(room *r, const char *peer, const char *address, long long now_ms) {
    int record = address_book_find(&r->addresses, address, now_ms, 1);
    refuse(r, peer, record, REFUSED_NOT_ALLOWED, now_ms);
}
