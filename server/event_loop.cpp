// The poll loop that joins the sockets to the room, and the orderly end on a stop request.
#include "server/event_loop.h"

#include <stdio.h>
#include <time.h>

#include <chrono>

#include "server/log_output.h"
#include "server/log_queue.h"
#include "server/room/room.h"
#include "server/stop_request.h"

// poll cannot wait for Windows' console handler, and a signal can land just before poll starts,
// so the loop looks at the stop flag at least this often.
static const int POLL_TIMEOUT_MS = 250;
// How long the members get to take the shutdown notice before their connections are cut.
static const int SHUTDOWN_FLUSH_MS = 2000;
// Bytes taken from one connection per turn, so a flood from one member cannot starve the rest.
static const size_t READ_BUDGET = 256 * 1024;
// Connections accepted per turn, for the same reason.
static const int ACCEPT_BUDGET = 64;
// Every turn polls every connection, so a newcomer each millisecond, refused or not, would cost
// the room a thousand turns a second: once the waiting ones are taken, the next are taken this
// much later, together.
static const long long ACCEPT_INTERVAL_MS = 10;
// After running out of descriptors, the listener is left alone until a connection closes, or for
// this long when none does (another process may have been holding them).
static const long long ACCEPT_PAUSE_MS = 1000;
// Lines past --history-days are deleted this many a turn, so that a million of them never hold
// the room up; while more are due the loop does not wait in poll.  Once none are, it looks again
// this much later.
static const int PRUNE_CHUNK = 2000;
static const long long PRUNE_INTERVAL_MS = 10 * 60 * 1000;

static room g_room;
static const event_loop_settings *g_settings;
// While set, the listener is not polled: accept would fail again at once and poll would wake the
// loop for it over and over.
static bool g_accept_paused;
static long long g_accept_paused_at;
static long long g_next_accept_ms; // the listener is left out of poll until then
// Running out is logged once until every waiting connection has been taken, not at every retry.
static bool g_accept_pause_logged;
static bool g_keep_alive_refusal_logged;
static net_socket g_sockets[ROOM_SLOTS];
// One past the highest slot in use.  The room seats newcomers in the lowest free slot, so the
// loops over the slots stop here instead of walking a thousand empty ones every turn.
static int g_top;
static net_pollfd g_fds[ROOM_SLOTS + 1];
static int g_fd_slot[ROOM_SLOTS + 1];
static char g_buffer[64 * 1024];
static long long g_prune_ms; // when old lines are next deleted; 0: at once, each turn

static long long now_ms(void) {
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The wall clock, for the times lines are stored with.
static void set_clock(void) {
    g_room.clock_s = (long long)time(NULL);
}

static void delete_old_lines(void) {
    if (g_settings->history_days <= 0 || (g_prune_ms != 0 && now_ms() < g_prune_ms)) {
        return;
    }
    long long before = (long long)time(NULL) - (long long)g_settings->history_days * 86400;
    int deleted = room_prune(&g_room, before, PRUNE_CHUNK);
    g_prune_ms = deleted == PRUNE_CHUNK ? 0 : now_ms() + PRUNE_INTERVAL_MS;
}

static void drain_log(void) {
    if (!g_room.log.empty()) {
        log_output_write(g_room.log);
        g_room.log.clear();
    }
}

static bool in_use(int slot) {
    return g_room.slots[slot].state != SLOT_FREE;
}

static void close_finished(void);

static void pause_accepting(void) {
    g_accept_paused = true;
    g_accept_paused_at = now_ms();
    if (!g_accept_pause_logged) {
        g_accept_pause_logged = true;
        g_room.log += "not accepting: out of file descriptors, waiting for a connection to close\n";
    }
}

// True when it stopped at ACCEPT_BUDGET with more perhaps waiting.
static bool accept_waiting(net_socket listener) {
    for (int i = 0; i < ACCEPT_BUDGET; i++) {
        net_peer from;
        net_accept_failure failure;
        net_socket s = net_accept(listener, &from, &failure);
        if (s == NET_NO_SOCKET) {
            if (failure == NET_ACCEPT_NO_DESCRIPTORS) {
                pause_accepting();
            } else if (failure == NET_ACCEPT_NONE_WAITING) {
                g_accept_pause_logged = false;
            }
            return false;
        }
        if (!allow_permits(&g_settings->allow, &from.address)) {
            room_refuse(&g_room, from.text.c_str(), from.host.c_str(), now_ms());
            net_close(s);
            continue;
        }
        const char *refused = net_keep_alive(s, g_settings->keepalive_seconds);
        if (refused != NULL && !g_keep_alive_refusal_logged) {
            g_keep_alive_refusal_logged = true;
            g_room.log += "warning: the system refused ";
            g_room.log += refused;
            g_room.log += "; a vanished member may stay listed longer\n";
        }
        int slot = room_open(&g_room, from.text.c_str(), from.host.c_str(), now_ms());
        if (slot < 0) {
            net_close(s);
            continue;
        }
        g_sockets[slot] = s;
        if (slot >= g_top) {
            g_top = slot + 1;
        }
        // The room may have displaced a greeting connection for this one; it must be gone
        // before the next room_open.
        close_finished();
    }
    return true;
}

static void read_from(int slot) {
    size_t taken = 0;
    while (taken < READ_BUDGET && room_reads(&g_room, slot)) {
        long got = net_recv(g_sockets[slot], g_buffer, sizeof g_buffer);
        if (got == NET_WOULD_BLOCK) {
            return;
        }
        if (got <= 0) {
            room_hang_up(&g_room, slot);
            return;
        }
        room_receive(&g_room, slot, g_buffer, (size_t)got, now_ms());
        taken += (size_t)got;
    }
}

static void write_to(int slot) {
    for (;;) {
        const char *bytes;
        size_t count = room_unsent(&g_room, slot, &bytes);
        if (count == 0) {
            return;
        }
        long sent = net_send(g_sockets[slot], bytes, count);
        if (sent == NET_WOULD_BLOCK || sent == 0) {
            return;
        }
        if (sent < 0) {
            room_hang_up(&g_room, slot);
            return;
        }
        room_sent(&g_room, slot, (size_t)sent);
    }
}

static void close_slot(int slot) {
    if (g_room.slots[slot].state == SLOT_FLUSHING) {
        net_close_gently(g_sockets[slot]);
    } else {
        net_close(g_sockets[slot]);
    }
    g_sockets[slot] = NET_NO_SOCKET;
    room_release(&g_room, slot);
    g_accept_paused = false;
    while (g_top > 0 && !in_use(g_top - 1)) {
        g_top--;
    }
}

static void close_finished(void) {
    for (int slot = 0; slot < g_top; slot++) {
        if (in_use(slot) && room_wants_close(&g_room, slot)) {
            close_slot(slot);
        }
    }
}

static size_t add_fd(size_t n, net_socket s, short events, int slot) {
    g_fds[n].fd = s;
    g_fds[n].events = events;
    g_fds[n].revents = 0;
    g_fd_slot[n] = slot;
    return n + 1;
}

// Fills g_fds with every connection that has something to wait for, after the entries before n.
static size_t add_connections(size_t n) {
    for (int slot = 0; slot < g_top; slot++) {
        if (!in_use(slot)) {
            continue;
        }
        const char *bytes;
        short events = 0;
        if (room_reads(&g_room, slot)) {
            events |= POLLIN;
        }
        if (room_unsent(&g_room, slot, &bytes) > 0) {
            events |= POLLOUT;
        }
        if (events != 0) {
            n = add_fd(n, g_sockets[slot], events, slot);
        }
    }
    return n;
}

static void serve_one_turn(net_socket listener) {
    delete_old_lines();
    set_clock();
    long long next_deadline = room_tick(&g_room, now_ms());
    close_finished();
    drain_log();
    int timeout = g_settings->history_days > 0 && g_prune_ms == 0 ? 0 : POLL_TIMEOUT_MS;
    if (next_deadline >= 0 && next_deadline < timeout) {
        timeout = (int)next_deadline;
    }
    if (g_accept_paused && now_ms() - g_accept_paused_at >= ACCEPT_PAUSE_MS) {
        g_accept_paused = false;
    }
    long long accept_in = g_next_accept_ms - now_ms();
    bool accepting = !g_accept_paused && accept_in <= 0;
    if (!g_accept_paused && accept_in > 0 && accept_in < timeout) {
        timeout = (int)accept_in;
    }
    size_t first = accepting ? add_fd(0, listener, POLLIN, -1) : 0;
    size_t n = add_connections(first);
    int ready = net_poll(g_fds, n, timeout);
    set_clock();
    // Slots are only released after the reads, so every g_fd_slot entry stays valid even when
    // reading from one connection drops another.
    for (size_t i = first; ready > 0 && i < n; i++) {
        if (g_fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
            read_from(g_fd_slot[i]);
        }
    }
    if (ready > 0 && accepting && (g_fds[0].revents & POLLIN)) {
        g_next_accept_ms = accept_waiting(listener) ? 0 : now_ms() + ACCEPT_INTERVAL_MS;
    }
    // Before any write: what was read this turn is stored first, so a kill at any moment loses
    // no line that reached anyone, and no acknowledgement goes out for a line not yet stored.
    room_commit(&g_room);
    if (ready <= 0) {
        return;
    }
    // Writing straight away instead of waiting for POLLOUT saves a turn per relay.
    for (int slot = 0; slot < g_top; slot++) {
        if (in_use(slot)) {
            write_to(slot);
        }
    }
    room_after_writes(&g_room);
    close_finished();
    drain_log();
}

static void finish(void) {
    room_announce_end(&g_room);
    room_commit(&g_room);
    drain_log();
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(SHUTDOWN_FLUSH_MS);
    for (;;) {
        for (int slot = 0; slot < g_top; slot++) {
            if (in_use(slot)) {
                write_to(slot);
            }
        }
        close_finished();
        size_t n = add_connections(0);
        long left = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (n == 0 || left <= 0) {
            break;
        }
        net_poll(g_fds, n, left < POLL_TIMEOUT_MS ? (int)left : POLL_TIMEOUT_MS);
    }
    for (int slot = 0; slot < g_top; slot++) {
        if (in_use(slot)) {
            net_close(g_sockets[slot]);
            room_release(&g_room, slot);
        }
    }
    log_output_write("ended\n");
    log_queue_flush(LOG_END_WAIT_MS);
}

int event_loop_run(net_socket listener, const event_loop_settings *settings) {
    g_settings = settings;
    room_init(&g_room, &settings->rules);
    if (settings->history_days > 0) {
        room_history_start(&g_room, settings->store, settings->own_epoch, settings->history_lines);
    }
    while (!stop_requested()) {
        serve_one_turn(listener);
    }
    finish();
    return 0;
}
