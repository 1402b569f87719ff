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
static int g_high; // one past the highest slot opened in this run

static const char *const ADDRESSES[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1", "::1", "2001:db8::1"};
static const int ADDRESS_COUNT = (int)(sizeof ADDRESSES / sizeof ADDRESSES[0]);

struct input {
    const uint8_t *data;
    size_t size, at;
};

static unsigned next(input *in) {
    return in->at < in->size ? in->data[in->at++] : 0;
}

static bool holds_place(const room_slot *s) {
    return s->state != SLOT_FREE && s->state != SLOT_DEAD;
}

static bool is_safe_name(const std::string &name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == ';') {
            return false;
        }
    }
    return !name.empty() && name.size() <= NAME_LIMIT;
}

// Every frame a connection can be sent: ver_err, the shutdown notice, a relay whose name is safe,
// or a member list of unique safe names, each followed by CR LF.  A stray 0x80 would cut a frame
// into pieces that are none of these.
static void check_frame(const std::string &payload) {
    if (payload == "ver_err" || payload == "dserver_end\n") {
        return;
    }
    std::string seen = "\r\n";
    for (size_t at = 1, end; payload[0] == 'e' && at < payload.size(); at = end + 2) {
        end = payload.find("\r\n", at);
        std::string name = payload.substr(at, end - at);
        if (end == std::string::npos || !is_safe_name(name) ||
            seen.find("\r\n" + name + "\r\n") != std::string::npos) {
            abort();
        }
        seen += name + "\r\n";
    }
    size_t semicolon = payload.find(';');
    if (payload[0] != 'e' && (payload[0] != 'd' || semicolon == std::string::npos ||
                              !is_safe_name(payload.substr(1, semicolon - 1)))) {
        abort();
    }
}

// The socket takes up to count bytes of the slot's output; every finished frame is checked.
static void send_some(int slot, size_t count) {
    const char *bytes;
    size_t unsent = room_unsent(&g_room, slot, &bytes);
    const char *at = bytes, *stop = bytes + (count < unsent ? count : unsent), *end;
    while ((end = (const char *)memchr(at, FRAME_TERMINATOR, (size_t)(stop - at))) != NULL) {
        check_frame(g_partial[slot].append(at, end));
        g_partial[slot].clear();
        at = end + 1;
    }
    g_partial[slot].append(at, stop);
    room_sent(&g_room, slot, (size_t)(stop - bytes));
}

static void release_finished(void) {
    for (int i = 0; i < g_high; i++) {
        if (g_room.slots[i].state != SLOT_FREE && room_wants_close(&g_room, i)) {
            // A connection closed once its output is out never stops inside a frame.
            if (g_room.slots[i].state == SLOT_FLUSHING && !g_partial[i].empty()) {
                abort();
            }
            room_release(&g_room, i);
            g_partial[i].clear();
        }
    }
}

// Unsent output ends with a whole frame and passes the limit by one frame at most; the member
// count, the places and the per-address cap hold.
static void check_room(void) {
    int members = 0, places = 0, from[ADDRESS_COUNT] = {0};
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        const char *bytes;
        size_t unsent = room_unsent(&g_room, i, &bytes), last = unsent - 1;
        if (unsent > 0 && (unsigned char)bytes[last] != FRAME_TERMINATOR) {
            abort();
        }
        while (unsent > OUTPUT_LIMIT && last > 0 &&
               (unsigned char)bytes[last - 1] != FRAME_TERMINATOR) {
            last--; // to the start of the last frame, which alone may lie beyond the limit
        }
        if (unsent > OUTPUT_LIMIT && last > OUTPUT_LIMIT) {
            abort();
        }
        members += s->state == SLOT_MEMBER;
        places += holds_place(s);
        for (int a = 0; a < ADDRESS_COUNT; a++) {
            from[a] += holds_place(s) && s->address == ADDRESSES[a];
            if (from[a] > g_room.rules.per_address) {
                abort();
            }
        }
    }
    if (members != g_room.member_count || places > g_room.rules.places) {
        abort();
    }
}

// A newcomer is refused only over its address's cap or by a room of members, and displaces
// nobody then; otherwise it displaces the oldest greeting connection when the room is full.
static void open_one(input *in, long long now_ms) {
    release_finished(); // as the event loop must before it opens another
    const char *address = ADDRESSES[next(in) % ADDRESS_COUNT];
    std::string peer =
        strchr(address, ':') ? "[" + std::string(address) + "]:1" : std::string(address) + ":1";
    int places = 0, from_address = 0, oldest = -1;
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        places += holds_place(s);
        from_address += holds_place(s) && s->address == address;
        if (s->state == SLOT_GREETING && (oldest < 0 || s->serial < g_room.slots[oldest].serial)) {
            oldest = i;
        }
    }
    int slot = room_open(&g_room, peer.c_str(), address, now_ms);
    g_high = slot >= g_high ? slot + 1 : g_high;
    bool full = places >= g_room.rules.places;
    bool refused = from_address >= g_room.rules.per_address || (full && oldest < 0);
    bool displaced = oldest >= 0 && g_room.slots[oldest].state == SLOT_DEAD;
    if (slot >= ROOM_SLOTS || (slot < 0) != refused || displaced != (slot >= 0 && full) ||
        (slot >= 0 && g_room.slots[slot].state != SLOT_GREETING)) {
        abort();
    }
}

// Input: three bytes of rules (places, per-address cap, hello timeout), then steps, each an
// operation byte and its arguments.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input in = {data, size, 0};
    room_rules rules = {1 + (int)(next(&in) % 8), 1 + (int)(next(&in) % 4),
                        10 * (1 + (long long)next(&in))}; // taken in this order
    room_init(&g_room, &rules);
    for (int i = 0; i < g_high; i++) {
        g_partial[i].clear();
    }
    g_high = 0;
    long long now_ms = 0;
    bool ended = false;

    while (in.at < in.size && !ended) {
        unsigned op = next(&in) % 8;
        int slot = 0;
        if (op == 1 || op == 2 || op == 3 || op == 5) { // a slot in use, chosen by the next byte
            int used[ROOM_SLOTS], count = 0;
            for (int i = 0; i < g_high; i++) {
                used[count] = i;
                count += g_room.slots[i].state != SLOT_FREE;
            }
            unsigned k = next(&in);
            if (count == 0) {
                continue;
            }
            slot = used[k % (unsigned)count];
        }
        if (op == 0) {
            open_one(&in, now_ms);
        } else if (op == 1) { // any bytes, in chunks, with a hello, a terminator or a goodbye
            unsigned how = next(&in);
            std::string bytes = how & 1 ? "vantrel002;" : "";
            size_t length = next(&in) % 64;
            length = length < in.size - in.at ? length : in.size - in.at;
            bytes.append((const char *)in.data + in.at, length);
            in.at += length;
            bytes += how & 2 ? "\x80" : "";
            bytes += how & 4 ? "end\n\x80" : "";
            for (size_t at = 0, chunk = 1 + (how >> 3) % 16; at < bytes.size(); at += chunk) {
                room_receive(&g_room, slot, bytes.data() + at,
                             bytes.size() - at < chunk ? bytes.size() - at : chunk);
            }
        } else if (op == 2) { // one large frame, now and then over the frame limit
            std::string frame = std::string(next(&in) * 260, 'w') + "\x80";
            room_receive(&g_room, slot, frame.data(), frame.size());
        } else if (op == 3) {
            unsigned n = next(&in);
            send_some(slot, n >= 200 ? (size_t)-1 : (size_t)n * 37);
        } else if (op == 4) {
            now_ms += 5 * (long long)next(&in);
            room_tick(&g_room, now_ms);
        } else if (op == 5) {
            room_hang_up(&g_room, slot);
        } else if (op == 6) {
            release_finished();
        } else if (next(&in) == 0xee) {
            room_announce_end(&g_room);
            ended = true;
        } else {
            for (int i = 0; i < g_high; i++) {
                send_some(i, (size_t)-1);
            }
        }
        check_room();
    }
    for (int i = 0; i < g_high; i++) {
        send_some(i, (size_t)-1);
    }
    check_room();
    release_finished();
    g_room.log.clear();
    return 0;
}
