// POSIX sockets and Windows Sockets behind one set of calls; nothing else in the server differs.
#include "server/socket_layer.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef _WIN32
static bool would_block(void) {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

static int set_non_blocking(net_socket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
}

static std::string last_error_text(void) {
    char text[32];
    snprintf(text, sizeof text, "error %d", WSAGetLastError());
    return text;
}
#else
static bool would_block(void) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

static int set_non_blocking(net_socket s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

static std::string last_error_text(void) {
    return strerror(errno);
}
#endif

int net_start(void) {
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
#else
    // A member that vanishes mid-send must cost an error code, not the whole server.
    signal(SIGPIPE, SIG_IGN);
    return 0;
#endif
}

void net_stop(void) {
#ifdef _WIN32
    WSACleanup();
#endif
}

net_socket net_listen(const char *address, int port, int *bound_port, std::string *error) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    addrinfo *found = NULL;
    int status = getaddrinfo(address, service, &hints, &found);
    if (status != 0 || found == NULL) {
        *error = std::string("cannot resolve ") + address;
        return NET_NO_SOCKET;
    }
    net_socket s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == NET_NO_SOCKET) {
        *error = "socket: " + last_error_text();
        freeaddrinfo(found);
        return NET_NO_SOCKET;
    }
#ifndef _WIN32
    // Lets a restarted server bind while the old connections sit in TIME_WAIT.  Windows allows
    // that by default, and its SO_REUSEADDR would let a second server steal the port.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    if (bind(s, found->ai_addr, (int)found->ai_addrlen) != 0) {
        *error = "bind: " + last_error_text();
    } else if (listen(s, SOMAXCONN) != 0) {
        *error = "listen: " + last_error_text();
    } else if (set_non_blocking(s) != 0) {
        *error = "non-blocking: " + last_error_text();
    } else {
        sockaddr_in bound;
        socklen_t length = sizeof bound;
        memset(&bound, 0, sizeof bound);
        getsockname(s, (sockaddr *)&bound, &length);
        *bound_port = ntohs(bound.sin_port);
        freeaddrinfo(found);
        return s;
    }
    freeaddrinfo(found);
    net_close(s);
    return NET_NO_SOCKET;
}

net_socket net_accept(net_socket listener, std::string *peer) {
    sockaddr_in from;
    socklen_t length = sizeof from;
    memset(&from, 0, sizeof from);
    net_socket s = accept(listener, (sockaddr *)&from, &length);
    if (s == NET_NO_SOCKET) {
        return NET_NO_SOCKET;
    }
    if (set_non_blocking(s) != 0) {
        net_close(s);
        return NET_NO_SOCKET;
    }
    unsigned long a = ntohl(from.sin_addr.s_addr);
    char text[32];
    snprintf(text, sizeof text, "%lu.%lu.%lu.%lu:%u", (a >> 24) & 255, (a >> 16) & 255,
             (a >> 8) & 255, a & 255, (unsigned)ntohs(from.sin_port));
    *peer = text;
    return s;
}

long net_recv(net_socket s, char *buffer, size_t capacity) {
    long got = (long)recv(s, buffer, (int)capacity, 0);
    if (got >= 0) {
        return got;
    }
    return would_block() ? NET_WOULD_BLOCK : NET_FAILED;
}

long net_send(net_socket s, const char *bytes, size_t count) {
    // Windows takes an int length; a large buffer simply goes out over several calls.
    if (count > 1024 * 1024) {
        count = 1024 * 1024;
    }
#ifdef MSG_NOSIGNAL
    long sent = (long)send(s, bytes, (int)count, MSG_NOSIGNAL);
#else
    long sent = (long)send(s, bytes, (int)count, 0);
#endif
    if (sent >= 0) {
        return sent;
    }
    return would_block() ? NET_WOULD_BLOCK : NET_FAILED;
}

void net_close(net_socket s) {
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

void net_close_gently(net_socket s) {
#ifdef _WIN32
    shutdown(s, SD_SEND);
#else
    shutdown(s, SHUT_WR);
#endif
    char discard[4096];
    for (int i = 0; i < 64 && net_recv(s, discard, sizeof discard) > 0; i++) {
    }
    net_close(s);
}

int net_poll(net_pollfd *fds, size_t count, int timeout_ms) {
#ifdef _WIN32
    int ready = WSAPoll(fds, (ULONG)count, timeout_ms);
    return ready < 0 ? -1 : ready;
#else
    return poll(fds, (nfds_t)count, timeout_ms);
#endif
}
