// The poll loop that joins the sockets to the room, and the orderly end on a stop request.
#include "server/event_loop.h"

#include <stdio.h>

#include <chrono>

#include "server/room.h"
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

static room g_room;
static net_socket g_sockets[ROOM_SLOTS];
static net_pollfd g_fds[ROOM_SLOTS + 1];
static int g_fd_slot[ROOM_SLOTS + 1];
static char g_buffer[64 * 1024];

static void drain_log(void) {
    if (!g_room.log.empty()) {
        fwrite(g_room.log.data(), 1, g_room.log.size(), stderr);
        fflush(stderr);
        g_room.log.clear();
    }
}

static bool in_use(int slot) {
    return g_room.slots[slot].state != SLOT_FREE;
}

static void accept_waiting(net_socket listener) {
    for (int i = 0; i < ACCEPT_BUDGET; i++) {
        std::string peer;
        net_socket s = net_accept(listener, &peer);
        if (s == NET_NO_SOCKET) {
            return;
        }
        long long now_ms = (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
        int slot = room_open(&g_room, peer.c_str(), peer.c_str(), now_ms);
        if (slot < 0) {
            net_close(s);
        } else {
            g_sockets[slot] = s;
        }
    }
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
        room_receive(&g_room, slot, g_buffer, (size_t)got);
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
}

static void close_finished(void) {
    for (int slot = 0; slot < ROOM_SLOTS; slot++) {
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
    for (int slot = 0; slot < ROOM_SLOTS; slot++) {
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
    size_t n = add_connections(add_fd(0, listener, POLLIN, -1));
    if (net_poll(g_fds, n, POLL_TIMEOUT_MS) <= 0) {
        return;
    }
    // Slots are only released at the end of the turn, so every g_fd_slot entry stays valid even
    // when reading from one connection drops another.
    for (size_t i = 1; i < n; i++) {
        if (g_fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
            read_from(g_fd_slot[i]);
        }
    }
    if (g_fds[0].revents & POLLIN) {
        accept_waiting(listener);
    }
    // Writing straight away instead of waiting for POLLOUT saves a turn per relay.
    for (int slot = 0; slot < ROOM_SLOTS; slot++) {
        if (in_use(slot)) {
            write_to(slot);
        }
    }
    close_finished();
    drain_log();
}

static void finish(void) {
    room_announce_end(&g_room);
    drain_log();
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(SHUTDOWN_FLUSH_MS);
    for (;;) {
        for (int slot = 0; slot < ROOM_SLOTS; slot++) {
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
    for (int slot = 0; slot < ROOM_SLOTS; slot++) {
        if (in_use(slot)) {
            net_close(g_sockets[slot]);
            room_release(&g_room, slot);
        }
    }
    fputs("ended\n", stderr);
}

int event_loop_run(net_socket listener) {
    room_init(&g_room, NULL);
    while (!stop_requested()) {
        serve_one_turn(listener);
    }
    finish();
    return 0;
}
