// The history extension in the room: the offer, lines stored before they are relayed, catch-up
// pages, numbered lines acknowledged once, and the room going on when its store fails.
#include "server/room/room_parts.h"

static const char TERMINATOR = (char)FRAME_TERMINATOR;

static void set_epoch(room *r, const std::string &epoch) {
    r->epoch = epoch;
    r->offer = offer_payload(epoch) + TERMINATOR;
}

// False when there is no store, or it has just failed: then, once, the log says why and the
// room numbers lines itself from here on, under an epoch of its own, so that no client takes
// the lines that follow for the store's.
static bool store_ok(room *r) {
    if (r->store == NULL) {
        return false;
    }
    if (history_ready(r->store)) {
        return true;
    }
    const std::string &why = r->store->reason;
    r->log += "history: " + (why.empty() ? std::string("the store was closed") : why) +
              "; going on without it, numbering lines from " + std::to_string(r->newest_seq + 1) +
              " under epoch " + r->own_epoch + "\n";
    r->store = NULL;
    r->store_last = r->newest_seq;
    set_epoch(r, r->own_epoch);
    // A replay under way cannot go on: its next page end tells the client lines are missing.
    for (int i = 0; i < r->slot_count; i++) {
        room_slot *s = &r->slots[i];
        s->gap_due = s->gap_due || s->replaying;
        s->store_numbered = s->state != SLOT_FREE;
    }
    return false;
}

void room_history_start(room *r, history *store, const std::string &own_epoch, int replay_lines) {
    r->extension = true;
    r->store = store != NULL && history_ready(store) ? store : NULL;
    r->own_epoch = own_epoch;
    r->replay_lines = replay_lines;
    r->page_lines = PAGE_LINES_LIMIT;
    r->newest_seq = r->store != NULL ? history_newest(r->store) : 0;
    set_epoch(r, r->store != NULL ? history_epoch(r->store) : own_epoch);
}

void room_history_open(room *r, room_slot *s) {
    if (r->extension) {
        room_queue(r, s, r->offer);
    }
}

void room_commit(room *r) {
    if (store_ok(r)) {
        history_commit(r->store);
        store_ok(r);
    }
}

int room_prune(room *r, long long before, int max_rows) {
    int deleted = store_ok(r) ? history_prune(r->store, before, max_rows) : 0;
    if (!store_ok(r) || deleted <= 0) {
        return 0;
    }
    // The store forgets clients whose lines are all gone; those still here get a number again,
    // or their next lines would be stored under one nobody has.
    for (int i = 0; i < r->client_count && store_ok(r); i++) {
        room_client *c = &r->clients[i];
        if (c->holders > 0) {
            c->number = history_client(r->store, c->token);
        }
    }
    return deleted;
}

// True when some member is sent lines as "s": the frame is only built then.
static bool anyone_live(const room *r) {
    for (int i = 0; i < r->member_count; i++) {
        const room_slot *s = &r->slots[r->order[i]];
        if (s->client >= 0 && !s->replaying && !s->store_numbered) {
            return true;
        }
    }
    return false;
}

void room_say(room *r, int slot, const char *sent, size_t sent_count, long long line_id) {
    room_slot *s = &r->slots[slot];
    // One buffer for every line: its capacity stays, so a line costs no allocation here.  The
    // store keeps the text as it is relayed, so a replay breaks lines where the relay did.
    static std::string bytes;
    frame_line_breaks(sent, sent_count, &bytes);
    const char *text = bytes.data();
    size_t count = bytes.size();
    std::string relay = room_relay_frame(s->name, text, count);
    if (!r->extension) {
        room_broadcast(r, relay, std::string());
        return;
    }
    long long seq = 0, at = r->clock_s;
    if (store_ok(r)) {
        long long client = line_id > 0 ? r->clients[s->client].number : 0;
        seq = history_append(r->store, at, s->name, bytes, client, line_id);
        store_ok(r);
    }
    r->newest_seq = seq > 0 ? seq : r->newest_seq + 1;
    std::string live;
    if (anyone_live(r)) {
        live = stored_line_payload('s', r->newest_seq, at, s->name, text, count);
        live += TERMINATOR;
    }
    room_broadcast(r, relay, live);
}

// The entry of a token, made when missing in the one that has been free longest.  There are
// twice as many entries as slots and each connection holds one at most, so one is always free.
static int client_entry(room *r, const std::string &token) {
    int reuse = -1;
    for (int i = 0; i < r->client_count; i++) {
        const room_client *c = &r->clients[i];
        if (c->token == token) {
            return i;
        }
        if (c->holders == 0 && (reuse < 0 || c->used < r->clients[reuse].used)) {
            reuse = i;
        }
    }
    room_client *c = &r->clients[reuse];
    c->token = token;
    c->number = 0;
    c->last_id = 0;
    return reuse;
}

// Where a catch-up starts: after the client's seq when it is one of this numbering, else before
// the newest --history-lines lines; and whether it is whole, or its first page end needs a gap.
static void start_replay(room *r, room_slot *s, const std::string &epoch, long long after) {
    long long newest = r->newest_seq, start = newest, oldest = 0, oldest_at = 0;
    bool ours = !epoch.empty() && epoch == r->epoch && after >= 0 && after <= newest;
    bool whole = ours && after == newest;
    if (store_ok(r)) {
        history_oldest(r->store, &oldest, &oldest_at);
        if (ours) {
            start = after;
            whole = whole || (oldest > 0 && oldest <= after + 1);
        } else {
            // A first registration has missed nothing when the replay starts at the first line.
            start = history_before_newest(r->store, r->replay_lines);
            whole = epoch.empty() && after < 0 && start == 0 && (newest == 0 || oldest == 1);
        }
        if (!store_ok(r)) {
            start = newest;
            whole = false;
        }
    }
    s->replaying = true;
    s->page_due = false;
    s->replay_after = start;
    s->gap_due = !whole;
}

// Past the lines it was sent as "d", if the replay has reached them.
static void skip_sent(room_slot *s) {
    if (s->replay_after >= s->d_from && s->replay_after < s->d_to) {
        s->replay_after = s->d_to;
    }
}

struct page {
    const room_slot *s;
    std::string frames;
    long long last;     // the last seq read
    long long first_at; // when its first line came
    int lines;          // lines in it
};

static void add_line(void *context, const history_line *line) {
    page *p = (page *)context;
    p->last = line->seq;
    if (line->seq > p->s->d_from && line->seq <= p->s->d_to) {
        return;
    }
    if (p->lines++ == 0) {
        p->first_at = line->at;
    }
    p->frames += stored_line_payload('p', line->seq, line->at, line->name, line->text.data(),
                                     line->text.size());
    p->frames += TERMINATOR;
}

// The next page of a replay and its end; after "fe" the connection is sent lines as they come.
static void send_page(room *r, int slot) {
    room_slot *s = &r->slots[slot];
    skip_sent(s);
    page p = {s, std::string(), s->replay_after, 0, 0};
    int read = 0;
    if (store_ok(r)) {
        read = history_read_after(r->store, s->replay_after, r->page_lines, PAGE_BYTES_LIMIT,
                                  add_line, &p);
        if (!store_ok(r)) {
            p.frames.clear();
            p.lines = read = 0;
        }
    }
    if (read > 0) {
        s->replay_after = p.last;
        skip_sent(s);
    }
    bool more = read > 0 && s->replay_after < r->newest_seq;
    long long gap = !s->gap_due ? -1 : p.lines > 0 ? p.first_at : r->clock_s;
    long long newest = s->store_numbered ? r->store_last : r->newest_seq;
    p.frames += page_end_payload(more, gap, more ? s->replay_after : newest);
    p.frames += TERMINATOR;
    s->gap_due = false;
    s->replaying = more;
    s->page_due = more;
    room_queue_counted(r, slot, p.frames);
}

// A register: the token is kept from the first one on; each one asks for a catch-up.
static void take_register(room *r, int slot, const extension_request &q) {
    room_slot *s = &r->slots[slot];
    if (s->client < 0) {
        s->client = client_entry(r, q.token);
        r->clients[s->client].holders++;
        if (s->state == SLOT_MEMBER) {
            s->d_from = s->joined_seq;
            s->d_to = r->newest_seq;
        }
    }
    room_client *c = &r->clients[s->client];
    c->used = ++r->registered;
    if (store_ok(r)) {
        // Asked again each time: the store forgets clients whose lines were all pruned.
        long long number = history_client(r->store, c->token);
        long long last_id = history_last_line_id(r->store, number);
        if (store_ok(r)) {
            c->number = number;
            c->last_id = last_id > c->last_id ? last_id : c->last_id;
        }
    }
    start_replay(r, s, q.epoch, q.after);
    if (s->state == SLOT_MEMBER) {
        send_page(r, slot);
    }
}

void room_history_joined(room *r, int slot) {
    room_slot *s = &r->slots[slot];
    s->joined_seq = r->newest_seq;
    if (s->replaying) {
        send_page(r, slot);
    }
}

// A line relayed once per client and id: one at or below the last is only acknowledged again.
static void take_line(room *r, int slot, const char *payload, size_t count,
                      const extension_request &q) {
    room_client *c = &r->clients[r->slots[slot].client];
    if (q.id > c->last_id && count > q.text_at) {
        c->last_id = q.id;
        room_say(r, slot, payload + q.text_at, count - q.text_at, q.id);
    }
    room_queue_counted(r, slot, ack_payload(q.id) + TERMINATOR);
}

void room_history_request(room *r, int slot, const char *payload, size_t count) {
    room_slot *s = &r->slots[slot];
    extension_request q;
    request_kind kind = parse_request(payload, count, &q);
    const char *ignored = NULL;
    if (kind == REQUEST_REGISTER) {
        take_register(r, slot, q);
    } else if (kind == REQUEST_MALFORMED) {
        ignored = "sent a malformed extension frame, ignored";
    } else if (s->client < 0) {
        ignored = "sent an extension frame before registering, ignored";
    } else if (s->state != SLOT_MEMBER) {
        ignored = "sent an extension frame before its hello, ignored";
    } else if (kind == REQUEST_LINE) {
        take_line(r, slot, payload, count, q);
    } else if (s->page_due) {
        s->page_due = false;
        send_page(r, slot);
    } else {
        ignored = "asked for a page when none was due, ignored";
    }
    if (ignored != NULL && !s->ignored_logged) {
        s->ignored_logged = true;
        room_log_line(r, s, ignored);
    }
}
