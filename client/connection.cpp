// Connecting to the chat server, the goodbye on the way out, and sending frames.
#include "client/connection.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <stdio.h>
#include <string.h>

#include "client/message_wait.h"
#include "client/protocol.h"
#include "settings/settings.h"

#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif

int g_keepalive_seconds = DEFAULT_KEEPALIVE_SECONDS;

// Set and read from several threads; the Interlocked calls keep every read fresh on any compiler.
static volatile LONG stop_requested;
static volatile LONG lost;
static volatile LONG refused;
// Whether chat_socket is open, for the window's thread: it must never wait for socket_lock, which
// a send holds for as long as SEND_TIMEOUT_MS.
static volatile LONG socket_open;

// The window's thread sends on chat_socket while the connection's thread may close it: the lock
// keeps a close out of the middle of a frame, and a send away from a handle already closed.
static SRWLOCK socket_lock = SRWLOCK_INIT;

bool receive_stop_requested(void) {
    return InterlockedCompareExchange(&stop_requested, 0, 0) != 0;
}

void note_connection_lost(void) {
    InterlockedExchange(&lost, 1);
}

bool connection_lost(void) {
    return InterlockedCompareExchange(&lost, 0, 0) != 0;
}

void note_version_refused(void) {
    InterlockedExchange(&refused, 1);
}

bool version_refused(void) {
    return InterlockedCompareExchange(&refused, 0, 0) != 0;
}

// Under socket_lock.  shutdown alone leaves a recv on an idle connection waiting, under Wine at
// least; closesocket wakes it.  No socket is created until the receive thread has ended, so the
// thread cannot meet a reused handle.
static void close_chat_socket(client_state *cs) {
    if (cs->chat_socket != INVALID_SOCKET) {
        shutdown(cs->chat_socket, SD_BOTH);
        closesocket(cs->chat_socket);
        cs->chat_socket = INVALID_SOCKET;
        InterlockedExchange(&socket_open, 0);
    }
}

bool connection_usable(void) {
    return InterlockedCompareExchange(&socket_open, 0, 0) != 0 && !connection_lost();
}

void break_connection(void) {
    AcquireSRWLockExclusive(&socket_lock);
    close_chat_socket(&g_client);
    ReleaseSRWLockExclusive(&socket_lock);
}

// An empty server means this computer, as the old lookup took it; getaddrinfo refuses an empty
// name.
const char *host_to_look_up(const char *server, char own_name[HOST_NAME_CAPACITY]) {
    if (server[0] != '\0') {
        return server;
    }
    if (gethostname(own_name, HOST_NAME_CAPACITY) != 0) {
        own_name[0] = '\0';
    }
    own_name[HOST_NAME_CAPACITY - 1] = '\0';
    return own_name;
}

// Every address of the server, IPv6 and IPv4, in the order the resolver prefers.
static addrinfo *resolve_server(const char *server, unsigned short port) {
    char own_name[HOST_NAME_CAPACITY];
    server = host_to_look_up(server, own_name);
    if (server[0] == '\0') {
        return NULL;
    }
    char service[8];
    snprintf(service, sizeof service, "%u", port);
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = NULL;
    return getaddrinfo(server, service, &hints, &found) == 0 ? found : NULL;
}

// Waits for the connect on s to finish, at most CONNECT_TIMEOUT_MS, so that an address that never
// answers (a dead IPv6 route) does not hold up the next one.  0, -4, or -5 when abandoned.
static int wait_for_connect(SOCKET s, WSAEVENT connected, const attempt_control *control) {
    HANDLE events[2] = {connected, control->wake};
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= CONNECT_TIMEOUT_MS) {
            return -4;
        }
        DWORD woke = WaitForMultipleObjects(2, events, FALSE, CONNECT_TIMEOUT_MS - elapsed);
        if (woke == WAIT_OBJECT_0) {
            WSANETWORKEVENTS happened;
            if (WSAEnumNetworkEvents(s, connected, &happened) == 0 &&
                (happened.lNetworkEvents & FD_CONNECT)) {
                return happened.iErrorCode[FD_CONNECT_BIT] == 0 ? 0 : -4;
            }
        } else if (woke == WAIT_OBJECT_0 + 1) {
            if (control->abandoned()) {
                return -5;
            }
        } else {
            return -4;
        }
    }
}

// Connects a new socket to one address: 0 with *out set, -4, or -5 when abandoned.
static int connect_address(const addrinfo *address, const attempt_control *control, SOCKET *out) {
    SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (s == INVALID_SOCKET) {
        return -4;
    }
    int result = -4;
    WSAEVENT connected = WSACreateEvent();
    if (connected != WSA_INVALID_EVENT && WSAEventSelect(s, connected, FD_CONNECT) == 0) {
        if (connect(s, address->ai_addr, (int)address->ai_addrlen) == 0) {
            result = 0;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            result = wait_for_connect(s, connected, control);
        }
        // A plain blocking socket again for the receive thread; the selection must go first.
        WSAEventSelect(s, NULL, 0);
        u_long blocking = 0;
        ioctlsocket(s, FIONBIO, &blocking);
    }
    if (connected != WSA_INVALID_EVENT) {
        WSACloseEvent(connected);
    }
    if (result != 0) {
        closesocket(s);
        return result;
    }
    *out = s;
    return 0;
}

static void set_send_timeout(SOCKET s, DWORD timeout_ms) {
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char *)&timeout_ms, sizeof timeout_ms);
}

// Keep-alive finds a server that vanished while the connection was idle: Windows sends ten probes
// after the idle time, so with probes a tenth of it apart the loss shows within twice
// g_keepalive_seconds.  Wine takes whole seconds, at least 1, and Linux beneath it sends nine.
// Keep-alive pauses while sent data waits for its acknowledgement; TCP_MAXRT bounds that wait
// where the system has it (Wine has not: the connection's thread watches sent lines instead).
static void set_socket_options(SOCKET s) {
    DWORD keepalive_ms = (DWORD)g_keepalive_seconds * 1000;
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, (const char *)&on, sizeof on);
    tcp_keepalive values;
    values.onoff = 1;
    values.keepalivetime = keepalive_ms;
    values.keepaliveinterval = keepalive_ms / 10;
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, NULL, 0, &returned, NULL, NULL);
    DWORD retransmit_seconds = 2 * (DWORD)g_keepalive_seconds;
    setsockopt(s, IPPROTO_TCP, TCP_MAXRT, (const char *)&retransmit_seconds,
               sizeof retransmit_seconds);
    set_send_timeout(s, SEND_TIMEOUT_MS);
}

int connect_to_server(const attempt_control *control) {
    client_state *cs = &g_client;
    int port = cs->port;
    load_connection_target(cs->server, &port);
    cs->port = (unsigned short)port;

    addrinfo *addresses = resolve_server(cs->server, cs->port);
    if (addresses == NULL) {
        fputs("エラーです\n", stdout);
        fflush(stdout);
        return -3;
    }
    SOCKET s = INVALID_SOCKET;
    int result = -4;
    for (const addrinfo *a = addresses; a != NULL && result == -4; a = a->ai_next) {
        result = connect_address(a, control, &s);
    }
    freeaddrinfo(addresses);
    // A connect that was taken at once did not look; the end of the program may have come while
    // the lookup ran, and then no receive thread may start writing into the windows.
    if (result == 0 && control->abandoned()) {
        closesocket(s);
        result = -5;
    }
    if (result == -4) {
        fputs("connect Error\n", stdout);
        fflush(stdout);
    }
    if (result != 0) {
        return result;
    }

    set_socket_options(s);
    AcquireSRWLockExclusive(&socket_lock);
    cs->chat_socket = s;
    InterlockedExchange(&socket_open, 1);
    ReleaseSRWLockExclusive(&socket_lock);
    // The flags belong to the new connection; the old thread, if any, has already ended.
    InterlockedExchange(&stop_requested, 0);
    InterlockedExchange(&lost, 0);
    InterlockedExchange(&refused, 0);
    // Started before the hello, so the connected line leads the transcript.
    cs->receive_thread = CreateThread(NULL, 0, cs->receive_start, cs, 0, NULL);
    if (!control->hello_later) {
        send_frame(cs, hello_payload(cs->name));
    }
    return 0;
}

static void release_connection(bool goodbye) {
    client_state *cs = &g_client;
    InterlockedExchange(&stop_requested, 1);
    if (goodbye) {
        send_frame(cs, GOODBYE_PAYLOAD);
    }
    break_connection();
    if (cs->receive_thread != NULL) {
        wait_serving_messages(cs->receive_thread, INFINITE);
        CloseHandle(cs->receive_thread);
        cs->receive_thread = NULL;
    }
}

int disconnect_from_server(void) {
    release_connection(true);
    return 0;
}

void drop_connection(void) {
    release_connection(false);
}

int send_frame(client_state *cs, const std::string &payload) {
    std::string bytes = frame_bytes(payload);
    AcquireSRWLockExclusive(&socket_lock);
    int result = cs->chat_socket == INVALID_SOCKET ? -1 : 0;
    DWORD start = GetTickCount();
    size_t sent = 0;
    bool shortened = false;
    // Each send gives up after SEND_TIMEOUT_MS (SO_SNDTIMEO); after a part went, the rest has
    // only what is left of that time, so the whole frame is bounded by it.
    while (result == 0 && sent < bytes.size()) {
        size_t left = bytes.size() - sent;
        int chunk = left > 0x7fffffff ? 0x7fffffff : (int)left;
        int taken = send(cs->chat_socket, bytes.data() + sent, chunk, 0);
        if (taken <= 0) {
            result = -1;
            break;
        }
        sent += (size_t)taken;
        DWORD elapsed = GetTickCount() - start;
        if (sent < bytes.size() && elapsed >= (DWORD)SEND_TIMEOUT_MS) {
            result = -1;
        } else if (sent < bytes.size()) {
            shortened = true;
            set_send_timeout(cs->chat_socket, (DWORD)SEND_TIMEOUT_MS - elapsed);
        }
    }
    if (result != 0) {
        close_chat_socket(cs);
    } else if (shortened) {
        set_send_timeout(cs->chat_socket, SEND_TIMEOUT_MS);
    }
    ReleaseSRWLockExclusive(&socket_lock);
    return result;
}
