// The lines the user sent that the server has not yet acknowledged.
#include "client/outbox.h"

#include <utility>

#include "client/protocol.h"

void outbox_init(outbox *o) {
    for (int i = 0; i < OUTBOX_CAPACITY; i++) {
        std::string().swap(o->lines[i].chat);
    }
    o->first = 0;
    o->count = 0;
    o->next_id = 1;
}

static outbox_line *at(outbox *o, int i) {
    return &o->lines[(o->first + i) % OUTBOX_CAPACITY];
}

bool outbox_add(outbox *o, const std::string &chat, long long now_ms) {
    if (o->count == OUTBOX_CAPACITY) {
        return false;
    }
    outbox_line *line = at(o, o->count++);
    line->id = o->next_id++;
    line->chat = chat;
    line->sent_ms = now_ms;
    line->connection = 0;
    line->numbered = false;
    line->out_ms = 0;
    return true;
}

outbox_line *outbox_next_to_send(outbox *o, unsigned connection) {
    for (int i = 0; i < o->count; i++) {
        if (at(o, i)->connection != connection) {
            return at(o, i);
        }
    }
    return NULL;
}

// Takes the i-th line out: the lines before it move up one place, so the rest keep their order.
static void remove_at(outbox *o, int i) {
    for (int j = i; j > 0; j--) {
        std::swap(*at(o, j), *at(o, j - 1));
    }
    std::string().swap(at(o, 0)->chat);
    o->first = (o->first + 1) % OUTBOX_CAPACITY;
    o->count--;
}

void outbox_sent(outbox *, outbox_line *line, unsigned connection, bool numbered,
                 long long now_ms) {
    line->connection = connection;
    line->numbered = numbered;
    line->out_ms = now_ms;
}

bool outbox_acknowledge(outbox *o, long long id) {
    for (int i = 0; i < o->count; i++) {
        if (at(o, i)->id == id && at(o, i)->connection != 0 && at(o, i)->numbered) {
            remove_at(o, i);
            return true;
        }
    }
    return false;
}

static bool awaits_echo(const outbox_line *line) {
    return line->connection != 0 && !line->numbered;
}

// The room may have made a lone CR or LF of the line CR LF before echoing it.
static bool same_line(const std::string &sent, const std::string &echo) {
    std::string a, b;
    frame_line_breaks(sent.data(), sent.size(), &a);
    frame_line_breaks(echo.data(), echo.size(), &b);
    return a == b;
}

bool outbox_echoed(outbox *o, const std::string &chat) {
    for (int i = 0; i < o->count; i++) {
        if (awaits_echo(at(o, i))) {
            if (!same_line(at(o, i)->chat, chat)) {
                return false;
            }
            remove_at(o, i);
            return true;
        }
    }
    return false;
}

void outbox_forget_unnumbered(outbox *o) {
    for (int i = o->count - 1; i >= 0; i--) {
        if (awaits_echo(at(o, i))) {
            remove_at(o, i);
        }
    }
}

long long outbox_in_flight_since(const outbox *o, unsigned connection) {
    for (int i = 0; i < o->count; i++) {
        const outbox_line *line = &o->lines[(o->first + i) % OUTBOX_CAPACITY];
        if (line->connection == connection) {
            return line->out_ms;
        }
    }
    return -1;
}

int outbox_take_from(outbox *o, long long id, std::string *taken) {
    int from = 0;
    while (from < o->count && at(o, from)->id != id) {
        from++;
    }
    int count = o->count - from;
    for (int i = from; i < o->count; i++) {
        *taken += at(o, i)->chat;
        std::string().swap(at(o, i)->chat);
    }
    o->count = from;
    return count;
}

int outbox_give_up(outbox *o, long long now_ms, std::string *given_up) {
    int taken = 0;
    while (o->count > 0 && now_ms - at(o, 0)->sent_ms >= OUTBOX_GIVE_UP_MS) {
        *given_up += at(o, 0)->chat;
        remove_at(o, 0);
        taken++;
    }
    return taken;
}

long long outbox_due_in(const outbox *o, long long now_ms, long long wait_ms) {
    if (o->count == 0) {
        return -1;
    }
    long long waited = now_ms - o->lines[o->first].sent_ms;
    return waited >= wait_ms ? 0 : wait_ms - waited;
}
