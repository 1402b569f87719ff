// What each connection is sent: its own bytes and the member frame all members share, and the
// limits on what may stay unsent.
#include "server/room/room_parts.h"

#include <stdio.h>

// Unsent bytes of the member frame the slot is due, if any.
static size_t frame_left(const room *r, const room_slot *s) {
    return s->list_at == std::string::npos ? 0 : r->member_frame.size() - s->list_sent;
}

size_t room_unsent_length(const room *r, int slot) {
    const room_slot *s = &r->slots[slot];
    return s->output.size() - s->output_sent + frame_left(r, s);
}

void room_forget_output(room *r, room_slot *s) {
    r->buffered -= s->output.size() - s->output_sent;
    if (s->list_at != std::string::npos) {
        r->member_frame_holders--;
    }
    std::string().swap(s->output);
    s->output_sent = 0;
    s->list_at = std::string::npos;
    s->list_sent = 0;
}

void room_queue(room *r, room_slot *s, const std::string &bytes) {
    s->output += bytes;
    r->buffered += bytes.size();
}

// Picks members, those with the most unsent output first, until adding each_member bytes to every
// member left and once bytes besides keeps the room's unsent output within its limit.
static void make_room(room *r, size_t each_member, size_t once) {
    size_t limit = r->rules.max_buffered;
    if (limit == 0 || r->buffered + each_member * (size_t)r->member_count + once <= limit) {
        return; // the usual case, with nobody to pick and no member to look at
    }
    size_t kept = r->buffered, members = 0;
    for (int i = 0; i < r->member_count; i++) {
        const room_slot *s = &r->slots[r->order[i]];
        if (s->overflowed) {
            kept -= s->output.size() - s->output_sent;
        } else {
            members++;
        }
    }
    while (members > 0 && kept + each_member * members + once > limit) {
        int most = -1;
        for (int i = 0; i < r->member_count; i++) {
            int slot = r->order[i];
            if (!r->slots[slot].overflowed &&
                (most < 0 || room_unsent_length(r, slot) > room_unsent_length(r, most))) {
                most = slot;
            }
        }
        room_slot *s = &r->slots[most];
        s->overflowed = true;
        r->overflowed++;
        kept -= s->output.size() - s->output_sent;
        members--;
    }
}

void room_queue_counted(room *r, int slot, const std::string &bytes) {
    make_room(r, 0, bytes.size() + (r->member_frame_holders > 0 ? r->member_frame.size() : 0));
    room_slot *s = &r->slots[slot];
    if (!s->overflowed) {
        room_queue(r, s, bytes);
        r->turn_queued += bytes.size();
    }
    r->turn_relayed += bytes.size();
}

void room_broadcast(room *r, const std::string &frame, const std::string &stored) {
    size_t most = frame.size() > stored.size() ? frame.size() : stored.size();
    make_room(r, most, r->member_frame_holders > 0 ? r->member_frame.size() : 0);
    for (int i = 0; i < r->member_count; i++) {
        room_slot *s = &r->slots[r->order[i]];
        if (s->overflowed || s->replaying) {
            continue; // a replay reaches the line in its turn
        }
        bool numbered = s->client >= 0 && !s->store_numbered && !stored.empty();
        const std::string &bytes = numbered ? stored : frame;
        room_queue(r, s, bytes);
        r->turn_queued += bytes.size();
    }
    r->turn_relayed += most;
}

// One member frame for everyone, however many members: in a join storm each would otherwise queue
// a whole list per join.  A frame not yet begun is out of date once a newer one comes, so the
// newer one takes its place at the end; relays keep their order.  A frame half sent is finished
// first, from a copy of its rest.
void room_broadcast_members(room *r) {
    std::string frame = room_member_frame(r);
    size_t rests = 0;
    for (int i = 0; i < r->member_count; i++) {
        const room_slot *s = &r->slots[r->order[i]];
        rests += s->list_sent > 0 ? frame_left(r, s) : 0;
    }
    make_room(r, 0, frame.size() + rests);
    for (int i = 0; i < r->member_count; i++) {
        room_slot *s = &r->slots[r->order[i]];
        if (s->list_sent > 0) {
            // What was before the frame is sent, so its rest and what came after it are all.
            std::string rest = r->member_frame.substr(s->list_sent) + s->output.substr(s->list_at);
            r->buffered += rest.size() - (s->output.size() - s->output_sent);
            s->output.swap(rest);
            s->output_sent = 0;
        }
        if (s->list_at != std::string::npos) {
            r->member_frame_holders--;
        }
        s->list_at = std::string::npos;
        s->list_sent = 0;
        if (!s->overflowed) {
            s->list_at = s->output.size();
            r->member_frame_holders++;
        }
    }
    r->member_frame.swap(frame);
}

size_t room_unsent(const room *r, int slot, const char **bytes) {
    const room_slot *s = &r->slots[slot];
    if (s->list_at == s->output_sent) {
        *bytes = r->member_frame.data() + s->list_sent;
        return r->member_frame.size() - s->list_sent;
    }
    size_t end = s->list_at == std::string::npos ? s->output.size() : s->list_at;
    *bytes = s->output.data() + s->output_sent;
    return end - s->output_sent;
}

void room_sent(room *r, int slot, size_t count) {
    room_slot *s = &r->slots[slot];
    const char *piece;
    size_t length = room_unsent(r, slot, &piece);
    count = count < length ? count : length; // a piece at a time, never past it
    if (s->list_at == s->output_sent) {
        s->list_sent += count;
        if (s->list_sent == r->member_frame.size()) {
            s->list_at = std::string::npos;
            s->list_sent = 0;
            r->member_frame_holders--;
        }
    } else {
        s->output_sent += count;
        r->buffered -= count;
    }
    if (s->output_sent == s->output.size() ||
        (s->output_sent >= 64 * 1024 && s->output_sent >= s->output.size() / 2)) {
        // Moving the rest down when all is sent, or now and then, keeps the buffer from growing
        // without bound while costing far less than moving it after every send.
        s->output.erase(0, s->output_sent);
        if (s->list_at != std::string::npos) {
            s->list_at -= s->output_sent;
        }
        s->output_sent = 0;
    }
}

void room_after_writes(room *r) {
    size_t limit = r->rules.output_limit;
    int over[ROOM_SLOTS], count = 0;
    for (int i = 0; i < r->member_count; i++) {
        if (limit > 0 && room_unsent_length(r, r->order[i]) > limit) {
            over[count++] = r->order[i];
        }
    }
    char why[64];
    snprintf(why, sizeof why,
             limit % (1024 * 1024) == 0 ? "dropped: unsent output over %zu MiB"
                                        : "dropped: unsent output over %zu bytes",
             limit % (1024 * 1024) == 0 ? limit / (1024 * 1024) : limit);
    for (int i = 0; i < count; i++) {
        room_drop(r, over[i], why);
    }
    room_settle(r);
}
