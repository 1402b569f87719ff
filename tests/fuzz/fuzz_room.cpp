// Fuzzes the room: connections opened, fed, hung up, flushed and timed out in any order, checking
// what each one is sent and the room's own bookkeeping after every step.
#include "server/room.h"

#include "client/protocol.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static room g_room;
// Bytes taken from each slot's output since its last complete frame, as a client would hold them.
static std::string g_partial[ROOM_SLOTS];
// The last member list each slot was sent in full, without its terminator.
static std::string g_last_list[ROOM_SLOTS];
static int g_high; // one past the highest slot ever opened in this run

static const char *const ADDRESSES[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1", "::1", "2001:db8::1"};
static const int ADDRESS_COUNT = (int)(sizeof ADDRESSES / sizeof ADDRESSES[0]);

struct input {
    const uint8_t *data;
    size_t size, at;
};

static unsigned next(input *in) {
    return in->at < in->size ? in->data[in->at++] : 0;
}

static std::string take(input *in, size_t count) {
    if (count > in->size - in->at) {
        count = in->size - in->at;
    }
    std::string bytes((const char *)in->data + in->at, count);
    in->at += count;
    return bytes;
}

static bool in_use(int slot) {
    return g_room.slots[slot].state != SLOT_FREE;
}

static bool holds_place(int slot) {
    slot_state state = g_room.slots[slot].state;
    return state != SLOT_FREE && state != SLOT_DEAD;
}

// The k-th slot in use, counting round; -1 when none is.
static int pick(unsigned k) {
    int used = 0;
    for (int i = 0; i < g_high; i++) {
        used += in_use(i);
    }
    if (used == 0) {
        return -1;
    }
    k %= (unsigned)used;
    for (int i = 0; i < g_high; i++) {
        if (in_use(i) && k-- == 0) {
            return i;
        }
    }
    return -1;
}

static bool is_safe_name(const std::string &name) {
    if (name.empty() || name.size() > NAME_LIMIT) {
        return false;
    }
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || c == 0x7f || c == ';' || c == 0x80) {
            return false;
        }
    }
    return true;
}

// A list payload: "e", then each name followed by CR LF; names safe and unique.
static bool is_sound_list(const std::string &payload) {
    if (payload.empty() || payload[0] != 'e') {
        return false;
    }
    std::string seen = "\r\n";
    size_t at = 1;
    while (at < payload.size()) {
        size_t end = payload.find("\r\n", at);
        if (end == std::string::npos) {
            return false;
        }
        std::string name = payload.substr(at, end - at);
        if (!is_safe_name(name) || seen.find("\r\n" + name + "\r\n") != std::string::npos) {
            return false;
        }
        seen += name + "\r\n";
        at = end + 2;
    }
    return true;
}

// Every frame a connection can be sent: ver_err, a member list, the shutdown notice, a relay.
static void check_frame(int slot, const std::string &payload) {
    if (payload == "ver_err" || payload == "dserver_end\n") {
        return;
    }
    if (!payload.empty() && payload[0] == 'e') {
        if (!is_sound_list(payload)) {
            abort();
        }
        g_last_list[slot] = payload;
        return;
    }
    size_t semicolon = payload.find(';');
    if (payload.empty() || payload[0] != 'd' || semicolon == std::string::npos ||
        !is_safe_name(payload.substr(1, semicolon - 1)) ||
        payload.size() - semicolon - 1 > FRAME_LIMIT) {
        abort();
    }
}

// Takes up to count bytes of the slot's output as a socket would, checking each finished frame.
static void send_some(int slot, size_t count) {
    const char *bytes;
    size_t unsent = room_unsent(&g_room, slot, &bytes);
    if (count > unsent) {
        count = unsent;
    }
    std::string &partial = g_partial[slot];
    const char *at = bytes, *stop = bytes + count, *end;
    while ((end = (const char *)memchr(at, FRAME_TERMINATOR, (size_t)(stop - at))) != NULL) {
        partial.append(at, end);
        check_frame(slot, partial);
        partial.clear();
        at = end + 1;
    }
    partial.append(at, stop);
    room_sent(&g_room, slot, count);
}

static void release(int slot) {
    // A connection closed after all its output went out never ends inside a frame.
    if (g_room.slots[slot].state == SLOT_FLUSHING && !g_partial[slot].empty()) {
        abort();
    }
    room_release(&g_room, slot);
    g_partial[slot].clear();
    g_last_list[slot].clear();
}

static void release_finished(void) {
    for (int i = 0; i < g_high; i++) {
        if (in_use(i) && room_wants_close(&g_room, i)) {
            release(i);
        }
    }
}

// The newest list queued to a member, sent in full or not, without its terminator.
static std::string newest_list(int slot) {
    const char *bytes;
    size_t unsent = room_unsent(&g_room, slot, &bytes);
    const char *stop = bytes + unsent;
    std::string found = g_last_list[slot];
    // The first frame of the output may have begun in what the socket already took.
    const char *end = (const char *)memchr(bytes, FRAME_TERMINATOR, unsent);
    if (end == NULL) {
        return found;
    }
    std::string first = g_partial[slot] + std::string(bytes, end);
    if (!first.empty() && first[0] == 'e') {
        found = first;
    }
    for (const char *at = end + 1; at < stop; at = end + 1) {
        end = (const char *)memchr(at, FRAME_TERMINATOR, (size_t)(stop - at));
        if (end == NULL) {
            abort(); // output that does not end in a terminator
        }
        if (end > at && *at == 'e') {
            found.assign(at, end);
        }
    }
    return found;
}

// Where the last frame of the output starts.
static size_t last_frame_start(const char *bytes, size_t unsent) {
    size_t at = unsent - 1;
    while (at > 0 && (unsigned char)bytes[at - 1] != FRAME_TERMINATOR) {
        at--;
    }
    return at;
}

static void check_room(void) {
    const room_rules &rules = g_room.rules;
    int members = 0, places = 0, from[ADDRESS_COUNT] = {0};
    std::string current = room_member_frame(&g_room);
    current.pop_back();
    if (!is_sound_list(current)) {
        abort();
    }
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        const char *bytes;
        size_t unsent = room_unsent(&g_room, i, &bytes);
        if (unsent > 0) {
            if ((unsigned char)bytes[unsent - 1] != FRAME_TERMINATOR) {
                abort();
            }
            // Everything before the last frame fitted in the limit.
            if (unsent > OUTPUT_LIMIT && last_frame_start(bytes, unsent) > OUTPUT_LIMIT) {
                abort();
            }
        }
        if (holds_place(i)) {
            places++;
            for (int a = 0; a < ADDRESS_COUNT; a++) {
                from[a] += s->address == ADDRESSES[a];
            }
        }
        if (s->state == SLOT_MEMBER) {
            members++;
            if (newest_list(i) != current) {
                abort(); // a member that would show a stale list
            }
        }
    }
    if (members != g_room.member_count || places > rules.places) {
        abort();
    }
    for (int a = 0; a < ADDRESS_COUNT; a++) {
        if (from[a] > rules.per_address) {
            abort();
        }
    }
}

static void open_one(input *in, long long now_ms) {
    release_finished(); // as the event loop must before it opens another
    int a = (int)(next(in) % ADDRESS_COUNT);
    std::string address = ADDRESSES[a];
    std::string peer =
        address.find(':') != std::string::npos ? "[" + address + "]:1" : address + ":1";
    int greeting_before = 0, oldest = -1, places = 0, from_address = 0;
    for (int i = 0; i < g_high; i++) {
        if (holds_place(i)) {
            places++;
            from_address += g_room.slots[i].address == address;
        }
        if (g_room.slots[i].state == SLOT_GREETING) {
            greeting_before++;
            if (oldest < 0 || g_room.slots[i].serial < g_room.slots[oldest].serial) {
                oldest = i;
            }
        }
    }
    int slot = room_open(&g_room, peer.c_str(), address.c_str(), now_ms);
    if (slot >= ROOM_SLOTS) {
        abort();
    }
    if (slot >= g_high) {
        g_high = slot + 1;
    }
    int greeting_after = 0;
    for (int i = 0; i < g_high; i++) {
        greeting_after += g_room.slots[i].state == SLOT_GREETING;
    }
    if (slot < 0) {
        // Refused only over the cap or by a room of members, and nobody displaced.
        bool room_of_members = places >= g_room.rules.places && greeting_before == 0;
        if (greeting_after != greeting_before ||
            (from_address < g_room.rules.per_address && !room_of_members)) {
            abort();
        }
        return;
    }
    if (g_room.slots[slot].state != SLOT_GREETING) {
        abort();
    }
    if (greeting_after != greeting_before + 1) {
        // Someone made way: it must be the oldest greeting connection.
        if (greeting_after != greeting_before || oldest < 0 ||
            g_room.slots[oldest].state != SLOT_DEAD) {
            abort();
        }
    }
}

static void feed(int slot, const std::string &bytes, size_t chunk) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
        room_receive(&g_room, slot, bytes.data() + at, n);
    }
}

static void tick(long long now_ms) {
    long long next_deadline = room_tick(&g_room, now_ms);
    long long soonest = -1;
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        if (s->state == SLOT_GREETING) {
            long long left = s->opened_ms + g_room.rules.hello_timeout_ms - now_ms;
            if (left <= 0) {
                abort(); // past its deadline and still open
            }
            soonest = soonest < 0 || left < soonest ? left : soonest;
        }
    }
    if (next_deadline != soonest) {
        abort();
    }
}

// Input: three bytes of rules (places, per-address cap, hello timeout), then steps, each an
// operation byte and its arguments.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input in = {data, size, 0};
    room_rules rules;
    rules.places = 1 + (int)(next(&in) % 8);
    rules.per_address = 1 + (int)(next(&in) % 4);
    rules.hello_timeout_ms = 10 * (1 + (long long)next(&in));
    room_init(&g_room, &rules);
    for (int i = 0; i < g_high; i++) {
        g_partial[i].clear();
        g_last_list[i].clear();
    }
    g_high = 0;
    long long now_ms = 0;
    bool ended = false;

    while (in.at < in.size && !ended) {
        unsigned op = next(&in) % 11;
        if (op == 0) {
            open_one(&in, now_ms);
        } else if (op == 1) { // a hello with any name, in chunks
            int slot = pick(next(&in));
            size_t chunk = 1 + next(&in) % 16;
            std::string hello = "vantrel002;" + take(&in, next(&in) % 40) + "\x80";
            if (slot >= 0) {
                feed(slot, hello, chunk);
            }
        } else if (op == 2) { // any bytes, in chunks
            int slot = pick(next(&in));
            size_t chunk = 1 + next(&in) % 16;
            std::string bytes = take(&in, next(&in) % 64);
            if (slot >= 0) {
                feed(slot, bytes, chunk);
            }
        } else if (op == 3) { // one large frame, now and then over the frame limit
            int slot = pick(next(&in));
            std::string frame(next(&in) * 260, 'w');
            if (slot >= 0) {
                feed(slot, frame + "\x80", 65536);
            }
        } else if (op == 4) { // the socket takes some of one slot's output
            int slot = pick(next(&in));
            unsigned n = next(&in);
            if (slot >= 0) {
                send_some(slot, n >= 200 ? (size_t)-1 : (size_t)n * 37);
            }
        } else if (op == 5) {
            now_ms += 5 * (long long)next(&in);
            tick(now_ms);
        } else if (op == 6) {
            int slot = pick(next(&in));
            if (slot >= 0) {
                room_hang_up(&g_room, slot);
            }
        } else if (op == 7) {
            release_finished();
        } else if (op == 8) {
            int slot = pick(next(&in));
            if (slot >= 0) {
                feed(slot, "end\n\x80", 5);
            }
        } else if (op == 9) { // every socket takes everything
            for (int i = 0; i < g_high; i++) {
                if (in_use(i)) {
                    send_some(i, (size_t)-1);
                }
            }
        } else if (next(&in) == 0xee) {
            room_announce_end(&g_room);
            ended = true;
        }
        check_room();
    }
    // Whatever is left goes out whole, and every member's last list is the room's.
    for (int i = 0; i < g_high; i++) {
        if (in_use(i)) {
            send_some(i, (size_t)-1);
        }
    }
    check_room();
    release_finished();
    g_room.log.clear();
    return 0;
}
