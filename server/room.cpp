// The chat room's rules: hello or refusal, relays, member lists, goodbyes and the limits.
#include "server/room.h"

#include <stdio.h>
#include <string.h>

#include "client/protocol.h"
#include "server/canonical_name.h"

static const char HELLO_PREFIX[] = CLIENT_IDENTIFIER ";";
static const size_t HELLO_PREFIX_LENGTH = sizeof HELLO_PREFIX - 1;
static const size_t GOODBYE_LENGTH = sizeof GOODBYE_PAYLOAD - 1;

// Empties a slot and gives its buffers' memory back: a dropped member may have held a megabyte.
static void clear_slot(room_slot *s) {
    s->state = SLOT_FREE;
    s->overflowed = false;
    s->peer.clear();
    s->address.clear();
    s->opened_ms = 0;
    s->serial = 0;
    s->name.clear();
    s->canonical.clear();
    std::string().swap(s->input);
    std::string().swap(s->output);
    s->output_sent = 0;
    s->member_frame_at = std::string::npos;
    s->member_frame_length = 0;
}

static void log_line(room *r, const room_slot *s, const std::string &what) {
    r->log += s->peer;
    if (!s->name.empty()) {
        r->log += " (";
        r->log += s->name;
        r->log += ')';
    }
    r->log += ' ';
    r->log += what;
    r->log += '\n';
}

static void queue(room_slot *s, const std::string &bytes) {
    if (s->overflowed) {
        return;
    }
    s->output += bytes;
    if (s->output.size() - s->output_sent > OUTPUT_LIMIT) {
        s->overflowed = true;
    }
}

static void broadcast(room *r, const std::string &frame) {
    for (int i = 0; i < r->member_count; i++) {
        queue(&r->slots[r->order[i]], frame);
    }
}

// In a join storm every member would otherwise queue one whole list per join, and a slow reader
// would pass the output limit on lists alone.  A list not yet begun is out of date once a newer
// one comes, so the newer one takes its place at the end; relays keep their order.
static void broadcast_members(room *r) {
    std::string frame = room_member_frame(r);
    for (int i = 0; i < r->member_count; i++) {
        room_slot *s = &r->slots[r->order[i]];
        if (s->overflowed) {
            continue;
        }
        if (s->member_frame_at != std::string::npos && s->member_frame_at >= s->output_sent) {
            s->output.erase(s->member_frame_at, s->member_frame_length);
        }
        s->member_frame_at = s->output.size();
        s->member_frame_length = frame.size();
        queue(s, frame);
    }
}

// Takes the slot out of the joining order; false when it was not a member.
static bool unlist(room *r, int slot) {
    for (int i = 0; i < r->member_count; i++) {
        if (r->order[i] == slot) {
            memmove(&r->order[i], &r->order[i + 1], (r->member_count - i - 1) * sizeof r->order[0]);
            r->member_count--;
            return true;
        }
    }
    return false;
}

// Closes a connection at once, whatever it still had to send, and tells the others when it was
// a member.
static void drop(room *r, int slot, const char *why) {
    room_slot *s = &r->slots[slot];
    log_line(r, s, why);
    s->state = SLOT_DEAD;
    std::string().swap(s->input);
    std::string().swap(s->output);
    s->output_sent = 0;
    s->member_frame_at = std::string::npos;
    if (unlist(r, slot)) {
        broadcast_members(r);
    }
}

// Drops every member whose output passed the limit.  Telling the others may push one more past
// it, so this repeats until the room is quiet.
static void settle(room *r) {
    for (;;) {
        int victim = -1;
        for (int i = 0; i < r->member_count && victim < 0; i++) {
            if (r->slots[r->order[i]].overflowed) {
                victim = r->order[i];
            }
        }
        if (victim < 0) {
            return;
        }
        drop(r, victim, "dropped: unsent output over 1 MiB");
    }
}

static void take_hello(room *r, int slot, const char *payload, size_t count) {
    room_slot *s = &r->slots[slot];
    if (count < HELLO_PREFIX_LENGTH || memcmp(payload, HELLO_PREFIX, HELLO_PREFIX_LENGTH) != 0) {
        s->output += VERSION_REFUSAL_PAYLOAD;
        s->output += (char)FRAME_TERMINATOR;
        s->state = SLOT_FLUSHING;
        std::string().swap(s->input);
        log_line(r, s, "refused: wrong identifier");
        return;
    }
    s->name = room_safe_name(payload + HELLO_PREFIX_LENGTH, count - HELLO_PREFIX_LENGTH);
    std::string given = room_unique_name(r, s->name);
    log_line(r, s, given == s->name ? "joined" : "joined as " + given);
    s->name = given;
    s->canonical = canonical_name(given.data(), given.size());
    s->state = SLOT_MEMBER;
    r->order[r->member_count++] = slot;
    broadcast_members(r);
}

static void take_frame(room *r, int slot, const char *payload, size_t count) {
    room_slot *s = &r->slots[slot];
    if (s->state == SLOT_GREETING) {
        take_hello(r, slot, payload, count);
    } else if (count == GOODBYE_LENGTH && memcmp(payload, GOODBYE_PAYLOAD, count) == 0) {
        drop(r, slot, "left");
    } else {
        broadcast(r, room_relay_frame(s->name, payload, count));
    }
}

void room_default_rules(room_rules *rules) {
    rules->places = 256;
    rules->per_address = 8;
    rules->hello_timeout_ms = 10000;
}

void room_init(room *r, const room_rules *rules) {
    if (rules != NULL) {
        r->rules = *rules;
    } else {
        room_default_rules(&r->rules);
    }
    // The slot array is sized for ROOM_MAX_PLACES; a bad value must not let the room outgrow it.
    if (r->rules.places < 1 || r->rules.places > ROOM_MAX_PLACES) {
        r->rules.places = r->rules.places < 1 ? 1 : ROOM_MAX_PLACES;
    }
    if (r->rules.per_address < 1) {
        r->rules.per_address = 1;
    }
    r->opened = 0;
    for (int i = 0; i < ROOM_SLOTS; i++) {
        clear_slot(&r->slots[i]);
    }
    r->member_count = 0;
    r->log.clear();
}

// Connections that hold a place: everything open except those already marked for closing.
static bool holds_place(const room_slot *s) {
    return s->state != SLOT_FREE && s->state != SLOT_DEAD;
}

static void log_refusal(room *r, const char *peer, const char *why) {
    r->log += peer;
    r->log += " refused: ";
    r->log += why;
    r->log += '\n';
}

int room_open(room *r, const char *peer, const char *address, long long now_ms) {
    int from_address = 0, taken = 0, free_slot = -1, oldest_greeting = -1;
    for (int i = 0; i < ROOM_SLOTS; i++) {
        const room_slot *s = &r->slots[i];
        if (s->state == SLOT_FREE) {
            if (free_slot < 0) {
                free_slot = i;
            }
            continue;
        }
        if (!holds_place(s)) {
            continue;
        }
        taken++;
        if (s->address == address) {
            from_address++;
        }
        if (s->state == SLOT_GREETING &&
            (oldest_greeting < 0 || s->serial < r->slots[oldest_greeting].serial)) {
            oldest_greeting = i;
        }
    }
    // The cap is checked first: a crowd from one address must not push anyone else out.
    if (from_address >= r->rules.per_address) {
        char why[64];
        snprintf(why, sizeof why, "over %d connections from one address", r->rules.per_address);
        log_refusal(r, peer, why);
        return -1;
    }
    // Only a caller that left closed slots unreleased can find no free entry; nobody is
    // displaced for a newcomer that could not be seated anyway.
    if (free_slot < 0 || (taken >= r->rules.places && oldest_greeting < 0)) {
        log_refusal(r, peer, "room full");
        return -1;
    }
    if (taken >= r->rules.places) {
        room_slot *oldest = &r->slots[oldest_greeting];
        log_line(r, oldest, "closed: room full, oldest connection without hello");
        oldest->state = SLOT_DEAD;
        std::string().swap(oldest->input);
    }
    room_slot *s = &r->slots[free_slot];
    clear_slot(s);
    s->state = SLOT_GREETING;
    s->peer = peer;
    s->address = address;
    s->opened_ms = now_ms;
    s->serial = ++r->opened;
    return free_slot;
}

long long room_tick(room *r, long long now_ms) {
    long long next = -1;
    for (int i = 0; i < ROOM_SLOTS; i++) {
        room_slot *s = &r->slots[i];
        if (s->state != SLOT_GREETING) {
            continue;
        }
        long long left = s->opened_ms + r->rules.hello_timeout_ms - now_ms;
        if (left <= 0) {
            log_line(r, s, "closed: no hello in time");
            s->state = SLOT_DEAD;
            std::string().swap(s->input);
        } else if (next < 0 || left < next) {
            next = left;
        }
    }
    return next;
}

void room_receive(room *r, int slot, const char *bytes, size_t count) {
    room_slot *s = &r->slots[slot];
    if (!room_reads(r, slot)) {
        return;
    }
    // What was kept holds no terminator, so only the new bytes need searching.
    size_t scan = s->input.size();
    s->input.append(bytes, count);
    size_t start = 0;
    while (room_reads(r, slot) && !s->overflowed) {
        size_t end = s->input.find((char)FRAME_TERMINATOR, scan);
        if (end == std::string::npos) {
            break;
        }
        if (end - start > FRAME_LIMIT) {
            drop(r, slot, "dropped: frame over 64 KiB");
            break;
        }
        take_frame(r, slot, s->input.data() + start, end - start);
        start = end + 1;
        scan = start;
    }
    if (room_reads(r, slot)) {
        s->input.erase(0, start);
        if (!s->overflowed && s->input.size() > FRAME_LIMIT) {
            drop(r, slot, "dropped: frame over 64 KiB");
        }
    }
    settle(r);
}

void room_hang_up(room *r, int slot) {
    room_slot *s = &r->slots[slot];
    if (s->state == SLOT_MEMBER) {
        drop(r, slot, "left: connection closed");
    } else if (s->state != SLOT_FREE) {
        s->state = SLOT_DEAD;
    }
    settle(r);
}

void room_announce_end(room *r) {
    std::string notice = "d" SHUTDOWN_NOTICE;
    notice += (char)FRAME_TERMINATOR;
    for (int i = 0; i < ROOM_SLOTS; i++) {
        room_slot *s = &r->slots[i];
        if (s->state == SLOT_MEMBER) {
            // Past the limit or not, the notice is the last thing this member is sent.
            s->output += notice;
            s->state = SLOT_FLUSHING;
        } else if (s->state == SLOT_GREETING) {
            s->state = SLOT_DEAD;
        }
    }
    char line[64];
    snprintf(line, sizeof line, "ending: shutdown notice to %d members\n", r->member_count);
    r->log += line;
    r->member_count = 0;
}

size_t room_unsent(const room *r, int slot, const char **bytes) {
    const room_slot *s = &r->slots[slot];
    *bytes = s->output.data() + s->output_sent;
    return s->output.size() - s->output_sent;
}

void room_sent(room *r, int slot, size_t count) {
    room_slot *s = &r->slots[slot];
    s->output_sent += count;
    if (s->output_sent >= s->output.size()) {
        s->output.clear();
        s->output_sent = 0;
        s->member_frame_at = std::string::npos;
    } else if (s->output_sent >= 64 * 1024 && s->output_sent >= s->output.size() / 2) {
        // Moving the rest down now and then keeps the buffer from growing without bound while
        // costing far less than moving it after every send.
        s->output.erase(0, s->output_sent);
        if (s->member_frame_at != std::string::npos) {
            s->member_frame_at = s->member_frame_at >= s->output_sent
                                     ? s->member_frame_at - s->output_sent
                                     : std::string::npos;
        }
        s->output_sent = 0;
    }
}

bool room_reads(const room *r, int slot) {
    slot_state state = r->slots[slot].state;
    return state == SLOT_GREETING || state == SLOT_MEMBER;
}

bool room_wants_close(const room *r, int slot) {
    const room_slot *s = &r->slots[slot];
    return s->state == SLOT_DEAD ||
           (s->state == SLOT_FLUSHING && s->output_sent == s->output.size());
}

void room_release(room *r, int slot) {
    clear_slot(&r->slots[slot]);
}
