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

// A slot in use chosen by the next byte; -1 when none is.
static int pick(input *in) {
    int used[ROOM_SLOTS], count = 0;
    for (int i = 0; i < g_high; i++) {
        if (g_room.slots[i].state != SLOT_FREE) {
            used[count++] = i;
        }
    }
    unsigned k = next(in);
    return count == 0 ? -1 : used[k % (unsigned)count];
}

static bool is_safe_name(const std::string &name) {
    if (name.empty() || name.size() > NAME_LIMIT) {
        return false;
    }
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || c == 0x7f || c == ';') {
            return false;
        }
    }
    return true;
}

// Every frame a connection can be sent: ver_err, the shutdown notice, a relay whose name is safe,
// or a member list of safe names, each once, each followed by CR LF.
static void check_frame(const std::string &payload) {
    if (payload == "ver_err" || payload == "dserver_end\n") {
        return;
    }
    if (!payload.empty() && payload[0] == 'e') {
        std::string seen = "\r\n";
        for (size_t at = 1, end; at < payload.size(); at = end + 2) {
            end = payload.find("\r\n", at);
            std::string name = payload.substr(at, end - at);
            if (end == std::string::npos || !is_safe_name(name) ||
                seen.find("\r\n" + name + "\r\n") != std::string::npos) {
                abort();
            }
            seen += name + "\r\n";
        }
        return;
    }
    size_t semicolon = payload.find(';');
    if (payload.empty() || payload[0] != 'd' || semicolon == std::string::npos ||
        !is_safe_name(payload.substr(1, semicolon - 1))) {
        abort();
    }
}

// The socket takes up to count bytes of the slot's output; every finished frame is checked.
static void send_some(int slot, size_t count) {
    const char *bytes;
    size_t unsent = room_unsent(&g_room, slot, &bytes);
    count = count < unsent ? count : unsent;
    const char *at = bytes, *stop = bytes + count, *end;
    while ((end = (const char *)memchr(at, FRAME_TERMINATOR, (size_t)(stop - at))) != NULL) {
        g_partial[slot].append(at, end);
        check_frame(g_partial[slot]);
        g_partial[slot].clear();
        at = end + 1;
    }
    g_partial[slot].append(at, stop);
    room_sent(&g_room, slot, count);
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

static void check_room(void) {
    int members = 0, places = 0, from[ADDRESS_COUNT] = {0};
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        const char *bytes;
        size_t unsent = room_unsent(&g_room, i, &bytes);
        if (unsent > 0 && (unsigned char)bytes[unsent - 1] != FRAME_TERMINATOR) {
            abort();
        }
        if (unsent > OUTPUT_LIMIT) {
            // Only the frame that passed the limit may lie beyond it.
            size_t last = unsent - 1;
            while (last > 0 && (unsigned char)bytes[last - 1] != FRAME_TERMINATOR) {
                last--;
            }
            if (last > OUTPUT_LIMIT) {
                abort();
            }
        }
        members += s->state == SLOT_MEMBER;
        if (holds_place(s)) {
            places++;
            for (int a = 0; a < ADDRESS_COUNT; a++) {
                from[a] += s->address == ADDRESSES[a];
            }
        }
    }
    if (members != g_room.member_count || places > g_room.rules.places) {
        abort();
    }
    for (int a = 0; a < ADDRESS_COUNT; a++) {
        if (from[a] > g_room.rules.per_address) {
            abort();
        }
    }
}

// A newcomer is refused only over its address's cap or by a room of members, and displaces
// nobody then; otherwise it displaces at most the oldest greeting connection.
static void open_one(input *in, long long now_ms) {
    release_finished(); // as the event loop must before it opens another
    const char *address = ADDRESSES[next(in) % ADDRESS_COUNT];
    std::string peer =
        strchr(address, ':') ? "[" + std::string(address) + "]:1" : std::string(address) + ":1";
    int places = 0, from_address = 0, greeting = 0, oldest = -1;
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        places += holds_place(s);
        from_address += holds_place(s) && s->address == address;
        if (s->state == SLOT_GREETING) {
            greeting++;
            oldest = oldest < 0 || s->serial < g_room.slots[oldest].serial ? i : oldest;
        }
    }
    int slot = room_open(&g_room, peer.c_str(), address, now_ms);
    if (slot >= ROOM_SLOTS || (slot >= 0 && g_room.slots[slot].state != SLOT_GREETING)) {
        abort();
    }
    g_high = slot >= g_high ? slot + 1 : g_high;
    bool room_of_members = places >= g_room.rules.places && greeting == 0;
    bool displaced = oldest >= 0 && g_room.slots[oldest].state == SLOT_DEAD;
    if (slot < 0 ? displaced || (from_address < g_room.rules.per_address && !room_of_members)
                 : displaced != (places >= g_room.rules.places)) {
        abort();
    }
}

// Every greeting connection past its deadline is closed, and the time to the next is right.
static void tick(long long now_ms) {
    long long next_deadline = room_tick(&g_room, now_ms), soonest = -1;
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        long long left = s->opened_ms + g_room.rules.hello_timeout_ms - now_ms;
        if (s->state == SLOT_GREETING && left <= 0) {
            abort();
        }
        if (s->state == SLOT_GREETING && (soonest < 0 || left < soonest)) {
            soonest = left;
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
    }
    g_high = 0;
    long long now_ms = 0;
    bool ended = false;

    while (in.at < in.size && !ended) {
        unsigned op = next(&in) % 8;
        int slot = op == 1 || op == 2 || op == 3 || op == 5 ? pick(&in) : 0;
        if (slot < 0) {
            continue;
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
                size_t n = bytes.size() - at < chunk ? bytes.size() - at : chunk;
                room_receive(&g_room, slot, bytes.data() + at, n);
            }
        } else if (op == 2) { // one large frame, now and then over the frame limit
            std::string frame(next(&in) * 260, 'w');
            frame += '\x80';
            room_receive(&g_room, slot, frame.data(), frame.size());
        } else if (op == 3) {
            unsigned n = next(&in);
            send_some(slot, n >= 200 ? (size_t)-1 : (size_t)n * 37);
        } else if (op == 4) {
            now_ms += 5 * (long long)next(&in);
            tick(now_ms);
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
