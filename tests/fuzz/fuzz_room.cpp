// Fuzzes the room: connections opened, fed, hung up, flushed and timed out in any order, with or
// without the history (in memory), registering, resending numbered lines and asking for pages,
// checking what each one is sent and the room's own bookkeeping after every step.
#include "server/room/room.h"

#include <sqlite3.h>

#include "client/protocol.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <string_view>

static room g_room;
// The input picks rooms of 1..16 places, so at most this many slots are used.
static const int SLOTS = 17;
// Bytes taken from each slot's output since its last complete frame, as a client would hold them.
static std::string g_partial[SLOTS];
static int g_high; // one past the highest slot opened in this run
// Terminators each open slot was fed; each address's connection tokens (thousandths) as of
// g_token_ms, counted apart from the room; each slot's address, as an index into ADDRESSES.
static long long g_fed[SLOTS], g_tokens[5], g_token_ms[5];
static long long g_fed_bytes[SLOTS]; // and the bytes
static int g_address[SLOTS];

static const char *const ADDRESSES[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1", "::1", "2001:db8::1"};
static const int ADDRESS_COUNT = (int)(sizeof ADDRESSES / sizeof ADDRESSES[0]);

// The history, kept open from run to run and emptied for each, since opening costs more than a
// hundred runs; a failure only marks it failed, and the next run takes that back.  Numbered lines
// say whose and which they are in their text, after a byte no other frame of a history run holds.
static history g_store;
static bool g_history, g_dirty; // g_dirty: the last run may have written to the store
static const char MARK = '\x01';
enum { TOKEN_COUNT = 4, IDS = 256 }; // tokens of 32 times 'a', 'b', 'c' or 'd'; ids of a byte
// Per slot: the token of its first register (-1: none; -2: not known, its frame may have merged
// with bytes before it), registers fed, frames received, the last seq received, and which
// numbered lines it was sent.  Per numbered line: the seq it was stored with, 0 while none.
static int g_token[SLOTS], g_registers[SLOTS];
static long long g_frames[SLOTS], g_last_seq[SLOTS], g_line_seq[TOKEN_COUNT][IDS];
static bool g_was_sent[SLOTS][TOKEN_COUNT][IDS];

static void empty_store(void) {
    if (g_store.failed && g_store.db != NULL) {
        sqlite3_exec(g_store.db, "ROLLBACK", NULL, NULL, NULL); // fails when none is open
        g_store.failed = g_store.in_transaction = false;
        g_store.pending_lines = 0;
        g_dirty = true;
    }
    if (!history_ready(&g_store)) {
        history_open(&g_store, ":memory:", 0, NULL);
    } else if (g_dirty) {
        sqlite3_exec(g_store.db,
                     "DELETE FROM lines; DELETE FROM clients; DELETE FROM sqlite_sequence", NULL,
                     NULL, NULL);
    }
    g_store.newest_seq = g_store.oldest_seq = g_store.oldest_at = 0;
}

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

static bool is_safe_name(std::string_view name) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == ';') {
            return false;
        }
    }
    return !name.empty() && name.size() <= NAME_LIMIT;
}

// A numbered line, relayed or replayed to a slot, with the seq it came with (0 for a "d"): each
// is sent to a connection once, unless it registered again, and stored under one seq.
static void check_numbered(int slot, std::string_view text, long long seq) {
    int token = text.size() > 2 && text[0] == MARK ? text[1] - 'a' : -1;
    int id = token >= 0 && token < TOKEN_COUNT ? atoi(std::string(text.substr(2)).c_str()) : 0;
    if (id <= 0 || id >= IDS) {
        return; // not a numbered line, or from a slot whose token is not known
    }
    bool &sent = g_was_sent[slot][token][id];
    long long &stored = g_line_seq[token][id];
    if ((sent && g_registers[slot] < 2) || (seq > 0 && stored > 0 && stored != seq)) {
        abort();
    }
    sent = true;
    stored = seq > 0 ? seq : stored;
}

// The history's frames: the offer first and only then, stored lines whose seqs only grow on a
// connection (unless it registered again), page ends and acknowledgements; none without it.
static bool check_history_frame(int slot, std::string_view payload) {
    if (!g_history || payload.empty()) {
        return false;
    }
    std::string text(payload[0] == 'd' ? "" : payload), epoch;
    stored_line line;
    bool more;
    long long gap, upto, id;
    if (g_frames[slot]++ == 0) {
        return parse_offer(text, &epoch) && epoch.size() == EPOCH_LENGTH ? true : (abort(), false);
    }
    if (payload[0] == 'd' && payload.find(';') != payload.npos) {
        check_numbered(slot, payload.substr(payload.find(';') + 1), 0);
    } else if (payload[0] == 's' || payload[0] == 'p') {
        if (!parse_stored_line(text, &line) || !is_safe_name(line.name) ||
            (line.seq <= g_last_seq[slot] && g_registers[slot] < 2)) {
            abort();
        }
        g_last_seq[slot] = line.seq;
        check_numbered(slot, line.text, line.seq);
        return true;
    }
    return (payload[0] == 'f' && parse_page_end(text, &more, &gap, &upto)) ||
           (payload[0] == 'a' && parse_ack(text, &id));
}

// Every frame a connection can be sent: ver_err, the shutdown notice, a relay whose name is safe
// and whose text is not empty, or a member list of safe names (check_names finds twins), each
// followed by CR LF, and the history's frames.  A stray 0x80 would cut a frame into pieces that
// are none of these.
static void check_frame(int slot, std::string_view payload) {
    if (check_history_frame(slot, payload) || payload == "ver_err" || payload == "dserver_end\n") {
        return;
    }
    for (size_t at = 1, end; !payload.empty() && payload[0] == 'e' && at < payload.size();
         at = end + 2) {
        end = payload.find("\r\n", at);
        if (end == payload.npos || !is_safe_name(payload.substr(at, end - at))) {
            abort();
        }
    }
    size_t semicolon = payload.find(';');
    if (payload.empty() ||
        (payload[0] != 'e' &&
         (payload[0] != 'd' || semicolon == payload.npos || semicolon + 1 == payload.size() ||
          !is_safe_name(payload.substr(1, semicolon - 1))))) {
        abort();
    }
}

// Members' names differ in the forms the "(n)" rule compares; the room tests pin the forms.
static void check_names(void) {
    for (int i = 0; i < g_room.member_count; i++) {
        for (int j = 0; j < i; j++) {
            if (g_room.slots[g_room.order[i]].canonical ==
                g_room.slots[g_room.order[j]].canonical) {
                abort();
            }
        }
    }
}

// The socket takes up to count bytes of the slot's output; every finished frame is checked.
static void send_some(int slot, size_t count) {
    const char *bytes;
    size_t unsent;
    while (count > 0 && (unsent = room_unsent(&g_room, slot, &bytes)) > 0) {
        const char *at = bytes, *stop = bytes + (count < unsent ? count : unsent), *end;
        while ((end = (const char *)memchr(at, FRAME_TERMINATOR, (size_t)(stop - at))) != NULL) {
            if (g_partial[slot].empty()) {
                check_frame(slot, std::string_view(at, (size_t)(end - at)));
            } else {
                check_frame(slot, g_partial[slot].append(at, end));
                g_partial[slot].clear();
            }
            at = end + 1;
        }
        g_partial[slot].append(at, stop);
        room_sent(&g_room, slot, (size_t)(stop - bytes));
        count -= (size_t)(stop - bytes);
    }
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

static long long terminators(const char *bytes, size_t count) {
    long long n = 0;
    for (const char *end = bytes + count;
         (bytes = (const char *)memchr(bytes, FRAME_TERMINATOR, (size_t)(end - bytes)));) {
        n++, bytes++;
    }
    return n;
}

// Members, places, the per-address cap; the unsent output as the room counts it, and the members'
// (the member frame once) within --max-buffered; each open connection's frames taken within its
// line and byte rates (owing at most the byte burst or one frame), and none left waiting while it
// is read or held longer than they take.
static void check_room(long long now_ms) {
    int members = 0, places = 0, holders = 0, from[ADDRESS_COUNT] = {0};
    size_t buffered = 0, members_unsent = 0;
    const room_rules *rules = &g_room.rules;
    for (int i = 0; i < g_high; i++) {
        const room_slot *s = &g_room.slots[i];
        if (s->state == SLOT_FREE) {
            continue;
        }
        const char *bytes;
        size_t unsent = room_unsent(&g_room, i, &bytes);
        if (unsent > 0 && (unsigned char)bytes[unsent - 1] != FRAME_TERMINATOR) {
            abort();
        }
        members += s->state == SLOT_MEMBER;
        places += holds_place(s);
        holders += s->list_at != std::string::npos;
        size_t own = s->output.size() - s->output_sent;
        buffered += own;
        members_unsent += s->state == SLOT_MEMBER ? own : 0;
        if (holds_place(s) && ++from[g_address[i]] > rules->per_address) {
            abort();
        }
        if (s->state != SLOT_GREETING && s->state != SLOT_MEMBER) {
            continue;
        }
        long long waiting = terminators(s->input.data(), s->input.size());
        long long taken = g_fed[i] - waiting;
        long long allowed =
            2 * rules->line_rate + rules->line_rate * (now_ms - s->opened_ms) / 1000;
        long long hold = s->held_until_ms - now_ms, rate = rules->byte_rate * 1024LL;
        long long owed = 2 * rate > (long long)FRAME_LIMIT ? 2 * rate : (long long)FRAME_LIMIT + 1;
        long long longest = rules->line_rate > 0 ? 1 + 999 / rules->line_rate : 0;
        longest = rate > 0 && 1 + owed * 1000 / rate > longest ? 1 + owed * 1000 / rate : longest;
        if ((rules->line_rate > 0 && taken > allowed) || (waiting > 0 && room_reads(&g_room, i)) ||
            (rate > 0 && g_fed_bytes[i] - (long long)s->input.size() >
                             owed + rate * (now_ms - s->opened_ms) / 1000) ||
            hold > longest || (s->held_until_ms >= 0 && hold < 0)) { // a tick takes what is due
            abort();
        }
    }
    members_unsent += holders > 0 ? g_room.member_frame.size() : 0;
    // A turn's relays stop once past the limit, so it is passed by a line or a page at most.
    const size_t page = PAGE_BYTES_LIMIT + PAGE_LINES_LIMIT * 40 + 64, line = 2 * FRAME_LIMIT + 80;
    if (members != g_room.member_count || places > rules->places || g_room.overflowed != 0 ||
        holders != g_room.member_frame_holders || buffered != g_room.buffered ||
        (rules->max_buffered > 0 && members_unsent > rules->max_buffered) ||
        g_room.turn_relayed > TURN_RELAY_LIMIT + (page > line ? page : line)) {
        abort();
    }
    // Each client entry is held by exactly the connections registered with it.
    int held[2 * SLOTS + 1] = {0}; // the room keeps twice as many entries as slots
    for (int i = 0; g_history && i < g_high; i++) {
        held[g_room.slots[i].state != SLOT_FREE ? g_room.slots[i].client + 1 : 0]++;
    }
    for (int c = 0; g_history && c < g_room.client_count; c++) {
        held[c + 1] != g_room.clients[c].holders ? abort() : (void)0;
    }
}

// A newcomer is refused only over its address's cap, over its connection rate (a burst of the
// cap, then one a second) or by a room of members, and displaces nobody then; otherwise, when the
// room is full, it displaces the greeting connection that opened first of the address holding
// the most, the newcomer counted, or of all the addresses tied for the most.
static void open_one(input *in, long long now_ms) {
    release_finished(); // as the event loop must before it opens another
    int a = (int)(next(in) % ADDRESS_COUNT);
    const char *address = ADDRESSES[a]; // as the log's name for the peer too
    int places = 0, from_address = 0, greeting[ADDRESS_COUNT] = {0}, most = 0, evicted = -1;
    int high = g_high;
    slot_state before[SLOTS];
    for (int i = 0; i < high; i++) {
        const room_slot *s = &g_room.slots[i];
        before[i] = s->state;
        places += holds_place(s);
        from_address += holds_place(s) && g_address[i] == a;
        greeting[g_address[i]] += s->state == SLOT_GREETING;
    }
    greeting[a]++; // the newcomer
    for (int b = 0; b < ADDRESS_COUNT; b++) {
        most = greeting[b] > most ? greeting[b] : most;
    }
    for (int i = 0; i < high; i++) {
        if (before[i] == SLOT_GREETING && greeting[g_address[i]] == most &&
            (evicted < 0 || g_room.slots[i].serial < g_room.slots[evicted].serial)) {
            evicted = i;
        }
    }
    // The rate's tokens: one a second, up to the cap; the cap's refusals take none.
    long long refill = g_tokens[a] + now_ms - g_token_ms[a],
              burst = 1000LL * g_room.rules.per_address;
    g_tokens[a] = refill < burst ? refill : burst, g_token_ms[a] = now_ms;
    bool over_cap = from_address >= g_room.rules.per_address;
    bool over_rate = !over_cap && g_tokens[a] < 1000;
    g_tokens[a] -= over_cap || over_rate ? 0 : 1000;
    bool full = places >= g_room.rules.places;
    bool refused = over_cap || over_rate || (full && evicted < 0);
    int slot = room_open(&g_room, address, address, now_ms);
    g_high = slot >= g_high ? slot + 1 : g_high;
    for (int i = 0; i < high; i++) {
        slot_state want = i == evicted && full && !refused ? SLOT_DEAD : before[i];
        if (i != slot && g_room.slots[i].state != want) {
            abort();
        }
    }
    if (slot >= SLOTS || (slot < 0) != refused ||
        (slot >= 0 && g_room.slots[slot].state != SLOT_GREETING)) {
        abort();
    }
    if (slot >= 0) {
        g_fed[slot] = g_fed_bytes[slot] = 0;
        g_address[slot] = a;
        g_token[slot] = -1;
        g_registers[slot] = 0;
        g_frames[slot] = g_last_seq[slot] = 0;
        memset(g_was_sent[slot], 0, sizeof g_was_sent[slot]);
    }
}

// Feeds bytes to an open slot in chunks, as the event loop reads them: only while the room reads.
static void feed(int slot, const char *bytes, size_t size, size_t chunk, long long now_ms) {
    for (size_t at = 0; at < size && room_reads(&g_room, slot); at += chunk) {
        size_t count = size - at < chunk ? size - at : chunk;
        g_fed[slot] += terminators(bytes + at, count);
        g_fed_bytes[slot] += (long long)count;
        room_receive(&g_room, slot, bytes + at, count, now_ms);
    }
}

// One frame of the history extension, chosen by a byte: a register of one of the tokens with no
// epoch, the room's or another, a numbered line, a page request or a malformed frame.
static void feed_extension(input *in, int slot, long long now_ms) {
    unsigned k = next(in);
    std::string frame;
    int token = (int)(k >> 2) % TOKEN_COUNT;
    // Bytes not yet taken that end inside a frame would make one with this frame.
    const std::string &waiting = g_room.slots[slot].input;
    bool clean = waiting.empty() || (unsigned char)waiting.back() == FRAME_TERMINATOR;
    if (k % 4 == 0) {
        unsigned which = (k >> 4) % 3;
        std::string epoch = which == 0 ? "" : which == 1 ? g_room.epoch : "0123456789abcdef";
        frame = register_payload(std::string(32, (char)('a' + token)), epoch,
                                 which == 0 ? -1 : (long long)next(in));
        g_token[slot] = g_token[slot] == -1 ? (clean ? token : -2) : g_token[slot];
        g_registers[slot]++;
    } else if (k % 4 == 1) {
        unsigned id = next(in);
        char owner = (char)('a' + (g_token[slot] >= 0 ? g_token[slot] : TOKEN_COUNT));
        frame = numbered_line_payload(id, std::string{MARK, owner} + std::to_string(id) + "\r\n");
    } else if (k % 4 == 2) {
        frame = more_payload();
    } else {
        frame.assign(1, EXTENSION_MARK);
        frame += (char)next(in);
        frame += std::to_string(next(in));
    }
    frame += (char)FRAME_TERMINATOR;
    feed(slot, frame.data(), frame.size(), frame.size(), now_ms);
}

// Input: one byte for the places (low four bits), the line rate and --max-buffered (two bits
// each), one for the per-address cap, the output limit (two bits each) and the history (bit 4:
// on; bits 5 and 6: the lines a first registration gets; bit 7: with a store, else as after the
// store failed), one for the hello timeout (low six bits) and the byte rate (two bits); then
// steps, each an operation byte and its arguments.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int LINE_RATES[4] = {0, 1, 3, 20};
    static const int BYTE_RATES[4] = {0, 1, 4, 64}; // KiB a second: bursts of 2 KiB to 128 KiB
    static const size_t MAX_BUFFERED[4] = {1500000, 3000, 200000, 3 << 20};
    static const size_t OUTPUT_LIMITS[4] = {OUTPUT_LIMIT, 600, 20000, 300000};
    input in = {data, size, 0};
    unsigned shape = next(&in), cap = next(&in), timing = next(&in);
    room_rules rules = {
        1 + (int)(shape % 16),      1 + (int)(cap % 4),      10 * (1 + (long long)(timing % 64)),
        LINE_RATES[shape >> 4 & 3], BYTE_RATES[timing >> 6], MAX_BUFFERED[shape >> 6],
        OUTPUT_LIMITS[cap >> 2 & 3]};
    // The line only room_after_writes may log; no name can end a line as it does.
    std::string over_limit =
        "dropped: unsent output over " +
        (cap >> 2 & 3 ? std::to_string(rules.output_limit) + " bytes" : "1 MiB") + "\n";
    room_init(&g_room, &rules);
    static const int REPLAY_LINES[4] = {0, 1, 3, 100};
    g_history = cap & 16;
    if (g_history) {
        if (cap & 128) {
            empty_store();
        }
        memset(g_line_seq, 0, sizeof g_line_seq);
        room_history_start(&g_room, cap & 128 ? &g_store : NULL, "00000000000000ff",
                           REPLAY_LINES[cap >> 5 & 3]);
        g_room.clock_s = 1796803200;
        g_room.page_lines = 1 + (shape & 3); // pages of a few lines, so replays take several
    }
    for (int i = 0; i < g_high; i++) {
        g_partial[i].clear();
    }
    for (int a = 0; a < ADDRESS_COUNT; a++) {
        g_tokens[a] = 1000LL * rules.per_address;
        g_token_ms[a] = 0;
    }
    g_high = 0;
    long long now_ms = 0;
    bool ended = false;

    while (in.at < in.size && !ended) {
        unsigned byte = next(&in), op = byte % 8, rare = byte >= 0xF8; // rare: op's rarer form
        int slot = 0;
        if (op == 1 || op == 2 || op == 3 || op == 5) { // a slot in use, chosen by the next byte
            int used[SLOTS], count = 0;
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
        } else if (op == 1 && in.at < in.size && (in.data[in.at] & 0x80)) {
            in.at++; // the top bit of op 1's first byte: one of the extension's frames
            feed_extension(&in, slot, now_ms);
        } else if (op == 1) { // any bytes, in chunks, with a hello, a terminator or a goodbye
            unsigned how = next(&in);
            std::string bytes = how & 1 ? "vantrel002;" : "";
            size_t length = next(&in) % 64;
            length = length < in.size - in.at ? length : in.size - in.at;
            size_t from = bytes.size();
            bytes.append((const char *)in.data + in.at, length);
            in.at += length;
            for (size_t i = from; g_history && i < bytes.size(); i++) {
                // Only feed_extension makes the extension's frames and numbered lines.
                bytes[i] = bytes[i] == EXTENSION_MARK || bytes[i] == MARK ? '\x02' : bytes[i];
            }
            bytes += how & 2 ? "\x80" : "";
            bytes += how & 4 ? "end\n\x80" : "";
            feed(slot, bytes.data(), bytes.size(), 1 + (how >> 3) % 16, now_ms);
        } else if (op == 2) { // a frame of up to 255 bytes, or rarely one at about 64 KiB
            // One rare form in eight is the big frame: relayed to every member, it costs a run
            // far more than any other step does.
            static char frame[FRAME_LIMIT + 20];
            unsigned n = next(&in);
            size_t length = !rare || n < 0xE0 ? n
                            : n < 0xF0        ? FRAME_LIMIT - (n - 0xE0)
                                              : FRAME_LIMIT + (n - 0xEF);
            memset(frame, 'w', length);
            frame[length] = (char)FRAME_TERMINATOR;
            feed(slot, frame, length + 1, 1 + length, now_ms);
        } else if (op == 3) {
            unsigned n = next(&in);
            send_some(slot, n >= 200 ? (size_t)-1 : (size_t)n * 37);
        } else if (op == 4) { // time passes and a turn of the event loop begins
            now_ms += 5 * (long long)next(&in);
            g_room.clock_s = 1796803200 + now_ms / 1000;
            if (rare) { // old lines go
                room_prune(&g_room, g_room.clock_s - next(&in) % 4, 1 + next(&in) % 8);
            }
            room_commit(&g_room);
            room_tick(&g_room, now_ms);
        } else if (op == 5) {
            room_hang_up(&g_room, slot);
        } else if (op == 6 && rare && g_history) { // the store fails, as on a full disk
            g_store.failed = true;
            room_commit(&g_room);
        } else if (op == 6) {
            release_finished();
        } else if (next(&in) == 0xee) {
            room_announce_end(&g_room);
            ended = true;
        } else {
            // The sockets take what they will; then members over the limit go, and only those.
            bool over[SLOTS] = {false};
            for (int i = 0; i < g_high; i++) {
                send_some(i, next(&in) % 2 ? (size_t)-1 : 0);
                over[i] = g_room.slots[i].state == SLOT_MEMBER &&
                          room_unsent_length(&g_room, i) > rules.output_limit;
            }
            room_after_writes(&g_room);
            for (int i = 0; i < g_high; i++) {
                over[i] && g_room.slots[i].state != SLOT_DEAD ? abort() : (void)0;
            }
        } // and only those writes drop a member for what it has not taken:
        if (op != 7 && g_room.log.find(over_limit) != g_room.log.npos) {
            abort();
        }
        g_room.log.clear();
        check_room(now_ms);
        check_names();
    }
    for (int i = 0; i < g_high; i++) {
        send_some(i, (size_t)-1);
    }
    check_room(now_ms);
    release_finished();
    // Every byte this run took is given back, or libFuzzer's leak check runs it all again.
    for (int i = 0; i < g_high; i++) {
        g_room.slots[i].state != SLOT_FREE ? room_release(&g_room, i) : (void)0;
        std::string().swap(g_partial[i]);
    }
    std::string().swap(g_room.log), std::string().swap(g_room.member_frame);
    for (int c = 0; c < g_room.client_count; c++) {
        std::string().swap(g_room.clients[c].token);
    }
    if (history_ready(&g_store)) {
        history_commit(&g_store);
    }
    std::string().swap(g_store.pending);
    g_dirty = g_dirty || (g_history && (g_room.registered > 0 || g_room.newest_seq > 0));
    return 0;
}
