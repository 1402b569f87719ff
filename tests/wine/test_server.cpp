// A scripted chat server on loopback for the Wine tests.
#include "tests/wine/test_support.h"

#include <string.h>

enum { POLL_MS = 5, SEND_TIMEOUT_MS = 10000 };

static void start_sockets(void) {
    static bool started = false;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
}

// Waits at most POLL_MS for the socket to become readable (or writable), then serves this
// thread's messages.  1 when ready, 0 when not yet, -1 on error.
static int poll_socket(SOCKET s, bool for_writing) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {0, POLL_MS * 1000};
    int ready =
        for_writing ? select(0, NULL, &set, NULL, &wait) : select(0, &set, NULL, NULL, &wait);
    pump_messages(0);
    return ready < 0 ? -1 : ready > 0;
}

bool test_server_open(test_server *server, const char *address) {
    start_sockets();
    server->listener = socket(AF_INET, SOCK_STREAM, 0);
    if (server->listener == INVALID_SOCKET) {
        return false;
    }
    // Lets a later test listen again on an address whose connections still linger.
    BOOL reuse = TRUE;
    setsockopt(server->listener, SOL_SOCKET, SO_REUSEADDR, (const char *)&reuse, sizeof reuse);
    sockaddr_in where;
    memset(&where, 0, sizeof where);
    where.sin_family = AF_INET;
    where.sin_port = htons(TEST_SERVER_PORT);
    where.sin_addr.s_addr = inet_addr(address);
    if (bind(server->listener, (sockaddr *)&where, sizeof where) != 0 ||
        listen(server->listener, 4) != 0) {
        test_server_close(server);
        return false;
    }
    return true;
}

void test_server_close(test_server *server) {
    if (server->listener != INVALID_SOCKET) {
        closesocket(server->listener);
        server->listener = INVALID_SOCKET;
    }
}

bool test_server_accept(test_server *server, test_peer *peer, int timeout_ms) {
    peer->socket = INVALID_SOCKET;
    peer->unread.clear();
    DWORD start = GetTickCount();
    for (;;) {
        int ready = poll_socket(server->listener, false);
        if (ready < 0) {
            return false;
        }
        if (ready > 0) {
            peer->socket = accept(server->listener, NULL, NULL);
            return peer->socket != INVALID_SOCKET;
        }
        if (GetTickCount() - start >= (DWORD)timeout_ms) {
            return false;
        }
    }
}

// Moves the first whole frame out of unread.
static bool take_frame(test_peer *peer, std::string *payload) {
    size_t end = peer->unread.find('\x80');
    if (end == std::string::npos) {
        return false;
    }
    *payload = peer->unread.substr(0, end);
    peer->unread.erase(0, end + 1);
    return true;
}

// Reads what is there into unread.  1 when bytes came, 0 when none yet, -1 when the connection
// has ended.
static int receive_some(test_peer *peer) {
    if (peer->socket == INVALID_SOCKET) {
        return -1;
    }
    int ready = poll_socket(peer->socket, false);
    if (ready <= 0) {
        return ready;
    }
    char block[4096];
    int got = recv(peer->socket, block, sizeof block, 0);
    if (got <= 0) {
        return -1;
    }
    peer->unread.append(block, (size_t)got);
    return 1;
}

int test_peer_read_frame(test_peer *peer, std::string *payload, int timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (take_frame(peer, payload)) {
            return PEER_FRAME;
        }
        if (receive_some(peer) < 0) {
            return PEER_CLOSED;
        }
        if (GetTickCount() - start >= (DWORD)timeout_ms) {
            return PEER_TIMEOUT;
        }
    }
}

bool test_peer_wait_closed(test_peer *peer, int timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (receive_some(peer) < 0) {
            return true;
        }
        if (GetTickCount() - start >= (DWORD)timeout_ms) {
            return false;
        }
    }
}

bool test_peer_send(test_peer *peer, const std::string &bytes) {
    DWORD start = GetTickCount();
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (peer->socket == INVALID_SOCKET || GetTickCount() - start >= SEND_TIMEOUT_MS) {
            return false;
        }
        // Waiting for room first keeps send from blocking while the client's receive thread
        // waits for this thread to serve a window call.
        int ready = poll_socket(peer->socket, true);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            continue;
        }
        int taken = send(peer->socket, bytes.data() + sent, (int)(bytes.size() - sent), 0);
        if (taken <= 0) {
            return false;
        }
        sent += (size_t)taken;
    }
    return true;
}

void test_peer_close(test_peer *peer) {
    if (peer->socket != INVALID_SOCKET) {
        closesocket(peer->socket);
        peer->socket = INVALID_SOCKET;
    }
}
