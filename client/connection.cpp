// Connecting to the chat server, the goodbye on the way out, and sending frames.
#include "client/connection.h"

#include <stdio.h>
#include <string.h>

#include "client/protocol.h"
#include "settings/settings.h"

// Set and read from both threads; the Interlocked calls keep every read fresh on any compiler.
static volatile LONG stop_requested;
static volatile LONG lost;

bool receive_stop_requested(void) {
    return InterlockedCompareExchange(&stop_requested, 0, 0) != 0;
}

void note_connection_lost(void) {
    InterlockedExchange(&lost, 1);
}

bool connection_lost(void) {
    return InterlockedCompareExchange(&lost, 0, 0) != 0;
}

static void close_chat_socket(client_state *cs) {
    if (cs->chat_socket != INVALID_SOCKET) {
        closesocket(cs->chat_socket);
        cs->chat_socket = INVALID_SOCKET;
    }
}

// A host name first; failing that, a dotted address looked up by address.
static struct hostent *resolve_server(const char *server) {
    struct hostent *host = gethostbyname(server);
    if (host == NULL) {
        unsigned long address = inet_addr(server);
        host = gethostbyaddr((const char *)&address, 4, AF_INET);
    }
    return host;
}

int connect_to_server(void) {
    client_state *cs = &g_client;
    FILE *file = open_settings_file();
    if (file != NULL) {
        read_setting(file, "server", SERVER_CAPACITY, cs->server);
    }
    cs->port = SERVER_PORT;
    cs->chat_socket = socket(AF_INET, SOCK_STREAM, 0);

    struct hostent *host = resolve_server(cs->server);
    if (host == NULL || host->h_addr_list[0] == NULL) {
        fputs("エラーです\n", stdout);
        fflush(stdout);
        close_chat_socket(cs);
        return -3;
    }

    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = host->h_addrtype;
    address.sin_port = htons(cs->port);
    size_t length = (size_t)host->h_length;
    if (length > sizeof address.sin_addr) {
        length = sizeof address.sin_addr;
    }
    memcpy(&address.sin_addr, host->h_addr_list[0], length);

    if (connect(cs->chat_socket, (struct sockaddr *)&address, sizeof address) != 0) {
        fputs("connect Error\n", stdout);
        fflush(stdout);
        close_chat_socket(cs);
        return -4;
    }

    // Both flags belong to the new connection; the old thread, if any, has already ended.
    InterlockedExchange(&stop_requested, 0);
    InterlockedExchange(&lost, 0);
    // Started before the hello, so the connected line leads the transcript.
    cs->receive_thread = CreateThread(NULL, 0, cs->receive_start, cs, 0, NULL);
    send_frame(cs, hello_payload(cs->name));
    return 0;
}

// The receive thread may be inside SetWindowTextA or SendMessageA on one of our windows, which
// waits for this thread to serve it; a plain wait would deadlock.  Only sent messages are served,
// so no click or menu command runs re-entrantly in the middle of a disconnect.
static void wait_for_receive_thread(HANDLE thread) {
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woke != WAIT_OBJECT_0 + 1) {
            return;
        }
        MSG message;
        PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

int disconnect_from_server(void) {
    client_state *cs = &g_client;
    InterlockedExchange(&stop_requested, 1);
    send_frame(cs, GOODBYE_PAYLOAD);
    if (cs->chat_socket != INVALID_SOCKET) {
        // shutdown alone leaves a recv on an idle connection waiting; closesocket wakes it.  No
        // socket is created until the wait below is over, so the thread cannot meet a reused
        // handle.
        shutdown(cs->chat_socket, SD_BOTH);
        close_chat_socket(cs);
    }
    if (cs->receive_thread != NULL) {
        wait_for_receive_thread(cs->receive_thread);
        CloseHandle(cs->receive_thread);
        cs->receive_thread = NULL;
    }
    return 0;
}

int send_frame(client_state *cs, const std::string &payload) {
    if (cs->chat_socket == INVALID_SOCKET) {
        return -1;
    }
    std::string bytes = frame_bytes(payload);
    size_t sent = 0;
    while (sent < bytes.size()) {
        size_t left = bytes.size() - sent;
        int chunk = left > 0x7fffffff ? 0x7fffffff : (int)left;
        int taken = send(cs->chat_socket, bytes.data() + sent, chunk, 0);
        if (taken <= 0) {
            return -1;
        }
        sent += (size_t)taken;
    }
    return 0;
}
