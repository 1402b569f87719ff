// The chat room's rules: hello or refusal, relays, member lists, goodbyes and the limits.
#include "server/room/room.h"

#include <stdio.h>
#include <string.h>

#include "client/protocol.h"
#include "server/room/canonical_name.h"
#include "server/room/refusal_log.h"
#include "server/room/room_parts.h"

static const char HELLO_PREFIX[] = CLIENT_IDENTIFIER ";";
static const size_t HELLO_PREFIX_LENGTH = sizeof HELLO_PREFIX - 1;
static const size_t GOODBYE_LENGTH = sizeof GOODBYE_PAYLOAD - 1;
// Refusals are summed up in the log at most this often.
static const long long SUMMARY_INTERVAL_MS = 1000;

void room_log_line(room *r, const room_slot *s, const std::string &what) {
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

// The connection is closed at once, whatever it had still to read or to be sent.
static void close_now(room *r, room_slot *s) {
    s->state = SLOT_DEAD;
    r->overflowed -= s->overflowed;
    s->overflowed = false;
    std::string().swap(s->input);
    room_forget_output(r, s);
}

void room_drop(room *r, int slot, const char *why) {
    room_slot *s = &r->slots[slot];
    room_log_line(r, s, why);
    close_now(r, s);
    if (unlist(r, slot)) {
        room_broadcast_members(r);
    }
}

void room_settle(room *r) {
    while (r->overflowed > 0) {
        int victim = -1;
        for (int i = 0; i < r->member_count && victim < 0; i++) {
            if (r->slots[r->order[i]].overflowed) {
                victim = r->order[i];
            }
        }
        char why[96];
        snprintf(why, sizeof why, "dropped: the most unsent output when the room's passed %zu MiB",
                 r->rules.max_buffered / (1024 * 1024));
        room_drop(r, victim, why);
    }
}

// The member whose client a connection registered with before its hello, or -1: its previous
// connection, which the room has not yet seen go.  Only the token tells, never the name.
static int previous_connection(const room *r, int slot) {
    int client = r->slots[slot].client;
    for (int i = 0; i < r->member_count && client >= 0; i++) {
        if (r->slots[r->order[i]].client == client) {
            return r->order[i];
        }
    }
    return -1;
}

// The connection takes the member's place, name and place in the joining order: the list is as
// it was, so only the newcomer is sent it, and nobody sees a leave or a join.
static void take_place(room *r, int slot, int previous) {
    room_slot *s = &r->slots[slot], *old = &r->slots[previous];
    s->name = old->name;
    s->canonical = old->canonical;
    s->state = SLOT_MEMBER;
    for (int i = 0; i < r->member_count; i++) {
        r->order[i] = r->order[i] == previous ? slot : r->order[i];
    }
    room_log_line(r, s, "rejoined, replacing its previous connection from " + old->peer);
    close_now(r, old);
    s->list_at = s->output.size();
    s->list_sent = 0;
    r->member_frame_holders++;
}

static void take_hello(room *r, int slot, const char *payload, size_t count) {
    room_slot *s = &r->slots[slot];
    if (count < HELLO_PREFIX_LENGTH || memcmp(payload, HELLO_PREFIX, HELLO_PREFIX_LENGTH) != 0) {
        std::string refusal = VERSION_REFUSAL_PAYLOAD;
        refusal += (char)FRAME_TERMINATOR;
        room_queue(r, s, refusal);
        s->state = SLOT_FLUSHING;
        std::string().swap(s->input);
        room_log_line(r, s, "refused: wrong identifier");
        return;
    }
    int previous = previous_connection(r, slot);
    if (previous >= 0) {
        take_place(r, slot, previous);
    } else {
        s->name = room_safe_name(payload + HELLO_PREFIX_LENGTH, count - HELLO_PREFIX_LENGTH);
        std::string given = room_unique_name(r, s->name);
        room_log_line(r, s, given == s->name ? "joined" : "joined as " + given);
        s->name = given;
        s->canonical = canonical_name(given.data(), given.size());
        s->state = SLOT_MEMBER;
        r->order[r->member_count++] = slot;
        room_broadcast_members(r);
    }
    room_history_joined(r, slot);
}

static void take_frame(room *r, int slot, const char *payload, size_t count) {
    room_slot *s = &r->slots[slot];
    if (r->extension && count > 0 && payload[0] == EXTENSION_MARK) {
        room_history_request(r, slot, payload, count);
    } else if (s->state == SLOT_GREETING) {
        take_hello(r, slot, payload, count);
    } else if (count == GOODBYE_LENGTH && memcmp(payload, GOODBYE_PAYLOAD, count) == 0) {
        room_drop(r, slot, "left");
    } else if (count > 0) {
        // An empty frame says nothing, and no client sends one.
        room_say(r, slot, payload, count, 0);
    }
}

// Greeting or a member: the states in which a connection is read.
static bool is_open(const room_slot *s) {
    return s->state == SLOT_GREETING || s->state == SLOT_MEMBER;
}

// --byte-rate in bytes a second.
static long long byte_rate_of(const room *r) {
    return (long long)r->rules.byte_rate * 1024;
}

// Takes the slot's whole frames, searching for terminators from scan on, while its line rate,
// its byte rate and the turn allow; the rest waits in its input, and the slot is held until it
// is due.
static void take_frames(room *r, int slot, size_t scan, long long now_ms) {
    room_slot *s = &r->slots[slot];
    size_t start = 0;
    while (room_reads(r, slot) && !s->overflowed) {
        size_t end = s->input.find((char)FRAME_TERMINATOR, scan);
        if (end == std::string::npos) {
            break;
        }
        if (end - start > FRAME_LIMIT) {
            room_drop(r, slot, "dropped: frame over 64 KiB");
            return;
        }
        if (r->turn_relayed >= TURN_RELAY_LIMIT || r->turn_queued >= TURN_OUTPUT_LIMIT) {
            s->held_until_ms = now_ms;
            break;
        }
        // Both buckets must have what the frame takes before either gives it, or a frame held
        // for its bytes would have spent a line on nothing.  The terminator is a byte it sent.
        int rate = r->rules.line_rate;
        long long bytes = (long long)(end - start) + 1, byte_rate = byte_rate_of(r);
        long long wait = rate_wait_ms(&s->lines, now_ms, rate, 2 * rate, 1);
        long long byte_wait = rate_wait_ms(&s->bytes, now_ms, byte_rate, 2 * byte_rate, bytes);
        if (wait > 0 || byte_wait > 0) {
            s->held_until_ms = now_ms + (wait > byte_wait ? wait : byte_wait);
            break;
        }
        rate_take(&s->lines, now_ms, rate, 2 * rate, 1);
        rate_take(&s->bytes, now_ms, byte_rate, 2 * byte_rate, bytes);
        take_frame(r, slot, s->input.data() + start, end - start);
        start = end + 1;
        scan = start;
    }
    if (!is_open(s)) {
        return; // a frame closed it, and its input is gone
    }
    s->input.erase(0, start);
    if (s->held_until_ms < 0 && !s->overflowed && s->input.size() > FRAME_LIMIT) {
        room_drop(r, slot, "dropped: frame over 64 KiB");
    }
}

void room_default_rules(room_rules *rules) {
    rules->places = 256;
    rules->per_address = 8;
    rules->hello_timeout_ms = 10000;
    rules->line_rate = 20;
    rules->byte_rate = 64;
    rules->max_buffered = 64 * 1024 * 1024;
    rules->output_limit = OUTPUT_LIMIT;
}

// Empties a slot and gives its buffers' memory back: a dropped member may have held a megabyte.
static void clear_slot(room *r, room_slot *s) {
    if (s->state != SLOT_FREE) {
        r->addresses.records[s->record].open--;
        room_forget_output(r, s);
        if (s->client >= 0) {
            r->clients[s->client].holders--;
        }
    }
    s->state = SLOT_FREE;
    s->overflowed = false;
    std::string().swap(s->peer);
    std::string().swap(s->address);
    s->record = -1;
    s->opened_ms = 0;
    s->serial = 0;
    std::string().swap(s->name);
    std::string().swap(s->canonical);
    std::string().swap(s->input);
    s->lines = s->bytes = rate_bucket{0, 0};
    s->held_until_ms = -1;
    std::string().swap(s->output);
    s->output_sent = 0;
    s->list_at = std::string::npos;
    s->list_sent = 0;
    s->client = -1;
    s->replaying = s->page_due = s->gap_due = s->ignored_logged = s->store_numbered = false;
    s->replay_after = s->joined_seq = s->d_from = s->d_to = 0;
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
    if (r->rules.line_rate < 0) {
        r->rules.line_rate = 0;
    }
    if (r->rules.byte_rate < 0) {
        r->rules.byte_rate = 0;
    }
    // Only the slots this room uses are cleared, and looked at later: a small room starts fast.
    r->slot_count = r->rules.places + 1;
    for (int i = 0; i < r->slot_count; i++) {
        r->slots[i].state = SLOT_FREE;
        clear_slot(r, &r->slots[i]);
    }
    r->opened = 0;
    r->member_count = 0;
    r->member_frame.clear();
    r->member_frame_holders = 0;
    r->buffered = 0;
    r->overflowed = 0;
    r->turn_relayed = 0;
    r->turn_queued = 0;
    r->tick_from = 0;
    address_book_clear(&r->addresses, 2 * r->slot_count + 64);
    r->summaries_ms = 0;
    r->log.clear();
    r->extension = false;
    r->store = NULL;
    r->epoch.clear();
    r->own_epoch.clear();
    r->offer.clear();
    r->newest_seq = r->store_last = 0;
    r->replay_lines = r->page_lines = 0;
    r->clock_s = 0;
    r->registered = 0;
    r->client_count = 2 * r->slot_count;
    for (int i = 0; i < r->client_count; i++) {
        room_client *c = &r->clients[i];
        std::string().swap(c->token);
        c->number = c->last_id = 0;
        c->holders = 0;
        c->used = 0;
    }
}

long long room_tick(room *r, long long now_ms) {
    r->turn_relayed = 0;
    r->turn_queued = 0;
    long long next = -1;
    // Waiting frames are taken from a different connection first each turn, so that when the
    // turn's output runs out, the same ones do not always wait.
    r->tick_from = (r->tick_from + 1) % r->slot_count;
    for (int k = 0; k < r->slot_count; k++) {
        int slot = (r->tick_from + k) % r->slot_count;
        room_slot *s = &r->slots[slot];
        if (s->state == SLOT_GREETING && s->opened_ms + r->rules.hello_timeout_ms <= now_ms) {
            room_log_line(r, s, "closed: no hello in time");
            s->state = SLOT_DEAD;
            std::string().swap(s->input);
            continue;
        }
        if (is_open(s) && s->held_until_ms >= 0 && s->held_until_ms <= now_ms) {
            s->held_until_ms = -1;
            take_frames(r, slot, 0, now_ms);
        }
        long long left = -1;
        if (s->state == SLOT_GREETING) {
            left = s->opened_ms + r->rules.hello_timeout_ms - now_ms;
        }
        if (is_open(s) && s->held_until_ms >= 0 && (left < 0 || s->held_until_ms - now_ms < left)) {
            left = s->held_until_ms > now_ms ? s->held_until_ms - now_ms : 0;
        }
        if (left >= 0 && (next < 0 || left < next)) {
            next = left;
        }
    }
    if (now_ms >= r->summaries_ms) {
        refusal_log_summaries(&r->log, &r->addresses, r->rules.per_address, now_ms);
        r->summaries_ms = now_ms + SUMMARY_INTERVAL_MS;
    }
    room_settle(r);
    return next;
}

void room_receive(room *r, int slot, const char *bytes, size_t count, long long now_ms) {
    room_slot *s = &r->slots[slot];
    if (!room_reads(r, slot)) {
        return;
    }
    // What was kept holds no whole frame, or the slot would be held, so only the new bytes need
    // searching.
    size_t scan = s->input.size();
    s->input.append(bytes, count);
    take_frames(r, slot, scan, now_ms);
    room_settle(r);
}

void room_hang_up(room *r, int slot) {
    room_slot *s = &r->slots[slot];
    if (s->state == SLOT_MEMBER) {
        room_drop(r, slot, "left: connection closed");
    } else if (s->state != SLOT_FREE) {
        s->state = SLOT_DEAD;
    }
    room_settle(r);
}

void room_announce_end(room *r) {
    std::string notice = "d" SHUTDOWN_NOTICE;
    notice += (char)FRAME_TERMINATOR;
    for (int i = 0; i < r->slot_count; i++) {
        room_slot *s = &r->slots[i];
        if (s->state == SLOT_MEMBER) {
            // Past the limit or not, the notice is the last thing this member is sent.
            room_queue(r, s, notice);
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

bool room_reads(const room *r, int slot) {
    const room_slot *s = &r->slots[slot];
    return is_open(s) && s->held_until_ms < 0;
}

bool room_wants_close(const room *r, int slot) {
    slot_state state = r->slots[slot].state;
    return state == SLOT_DEAD || (state == SLOT_FLUSHING && room_unsent_length(r, slot) == 0);
}

void room_release(room *r, int slot) {
    clear_slot(r, &r->slots[slot]);
}
