// POSIX sockets and Windows Sockets behind one set of calls; nothing else in the server differs.
#include "server/socket_layer.h"

#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <mstcpip.h>
#include <ws2tcpip.h>
// Windows' ws2ipdef.h defines it; MinGW-w64's headers do not yet.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#ifdef _WIN32
static bool would_block(void) {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

static bool out_of_descriptors(void) {
    int error = WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
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

static bool family_missing(void) {
    return WSAGetLastError() == WSAEAFNOSUPPORT;
}
#else
static bool would_block(void) {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

static bool out_of_descriptors(void) {
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
}

static int set_non_blocking(net_socket s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

static std::string last_error_text(void) {
    return strerror(errno);
}

static bool family_missing(void) {
    return errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT;
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

bool net_is_v4_mapped(const unsigned char bytes[16]) {
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(bytes, mapped, sizeof mapped) == 0;
}

bool net_parse_address(const char *text, net_address *address) {
    memset(address, 0, sizeof *address);
    if (inet_pton(AF_INET, text, address->bytes) == 1) {
        address->family = 4;
        return true;
    }
    if (inet_pton(AF_INET6, text, address->bytes) == 1) {
        address->family = 6;
        return true;
    }
    return false;
}

// Fills *peer from a socket address; an IPv4-mapped IPv6 address becomes plain IPv4, so that a
// dual-stack socket counts and logs IPv4 peers exactly as an IPv4 socket would.
static void describe(const sockaddr_storage *from, net_peer *peer) {
    net_address *a = &peer->address;
    memset(a, 0, sizeof *a);
    unsigned port = 0;
    if (from->ss_family == AF_INET6) {
        const sockaddr_in6 *six = (const sockaddr_in6 *)from;
        port = ntohs(six->sin6_port);
        if (net_is_v4_mapped(six->sin6_addr.s6_addr)) {
            a->family = 4;
            memcpy(a->bytes, six->sin6_addr.s6_addr + 12, 4);
        } else {
            a->family = 6;
            memcpy(a->bytes, six->sin6_addr.s6_addr, 16);
        }
    } else {
        const sockaddr_in *four = (const sockaddr_in *)from;
        port = ntohs(four->sin_port);
        a->family = 4;
        memcpy(a->bytes, &four->sin_addr, 4);
    }
    char host[INET6_ADDRSTRLEN];
    if (inet_ntop(a->family == 4 ? AF_INET : AF_INET6, a->bytes, host, sizeof host) == NULL) {
        snprintf(host, sizeof host, "?");
    }
    char text[INET6_ADDRSTRLEN + 16];
    snprintf(text, sizeof text, a->family == 4 ? "%s:%u" : "[%s]:%u", host, port);
    peer->host = host;
    peer->text = text;
}

static net_listen_failure bind_failure(void) {
#ifdef _WIN32
    int code = WSAGetLastError();
    return code == WSAEADDRINUSE      ? NET_LISTEN_PORT_IN_USE
           : code == WSAEACCES        ? NET_LISTEN_PORT_DENIED
           : code == WSAEADDRNOTAVAIL ? NET_LISTEN_NO_ADDRESS
                                      : NET_LISTEN_OTHER;
#else
    return errno == EADDRINUSE      ? NET_LISTEN_PORT_IN_USE
           : errno == EACCES        ? NET_LISTEN_PORT_DENIED
           : errno == EADDRNOTAVAIL ? NET_LISTEN_NO_ADDRESS
                                    : NET_LISTEN_OTHER;
#endif
}

// Binds and listens on one resolved address.  NET_NO_SOCKET with *error and *failure set on
// failure; with *missing set too when the system has no such address family.
static net_socket listen_on(const sockaddr *at, size_t length, std::string *error,
                            net_listen_failure *failure, bool *missing) {
    *missing = false;
    *failure = NET_LISTEN_OTHER;
    net_socket s = socket(at->sa_family, SOCK_STREAM, 0);
    if (s == NET_NO_SOCKET) {
        *missing = family_missing();
        *error = "socket: " + last_error_text();
        return NET_NO_SOCKET;
    }
#ifndef _WIN32
    // Lets a restarted server bind while the old connections sit in TIME_WAIT.  Windows allows
    // that by default, and its SO_REUSEADDR would let a second server steal the port.
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    if (at->sa_family == AF_INET6) {
        // "::" then takes IPv4 too; systems differ in the default (Windows has it on).
        int off = 0;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&off, sizeof off);
    }
    if (bind(s, at, (int)length) != 0) {
        *failure = bind_failure();
#ifdef _WIN32
        *missing = WSAGetLastError() == WSAEADDRNOTAVAIL;
#else
        *missing = errno == EADDRNOTAVAIL;
#endif
        *error = "bind: " + last_error_text();
    } else if (listen(s, SOMAXCONN) != 0) {
        *error = "listen: " + last_error_text();
    } else if (set_non_blocking(s) != 0) {
        *error = "non-blocking: " + last_error_text();
    } else {
        return s;
    }
    net_close(s);
    return NET_NO_SOCKET;
}

net_socket net_listen(const char *address, int port, std::string *shown, std::string *error,
                      net_listen_failure *failure) {
    *failure = NET_LISTEN_NO_ADDRESS;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    const char *wanted = address != NULL ? address : "::";
    addrinfo *found = NULL;
    if (getaddrinfo(wanted, service, &hints, &found) != 0 || found == NULL) {
        found = NULL;
    }
    net_socket s = NET_NO_SOCKET;
    bool missing = found == NULL;
    if (found != NULL) {
        s = listen_on(found->ai_addr, found->ai_addrlen, error, failure, &missing);
        freeaddrinfo(found);
        found = NULL;
    }
    if (s == NET_NO_SOCKET && address == NULL && missing) {
        // No IPv6 on this machine: every IPv4 address is the next best thing.
        hints.ai_family = AF_INET;
        if (getaddrinfo("0.0.0.0", service, &hints, &found) == 0 && found != NULL) {
            s = listen_on(found->ai_addr, found->ai_addrlen, error, failure, &missing);
            freeaddrinfo(found);
        }
    } else if (s == NET_NO_SOCKET && error->empty()) {
        *error = std::string("cannot resolve ") + wanted;
    }
    if (s == NET_NO_SOCKET) {
        return NET_NO_SOCKET;
    }
    sockaddr_storage bound;
    socklen_t length = sizeof bound;
    memset(&bound, 0, sizeof bound);
    getsockname(s, (sockaddr *)&bound, &length);
    // The listening address is shown as bound: "::" stays "[::]", not an IPv4 address.
    net_peer described;
    if (bound.ss_family == AF_INET6) {
        char host[INET6_ADDRSTRLEN];
        const sockaddr_in6 *six = (const sockaddr_in6 *)&bound;
        inet_ntop(AF_INET6, &six->sin6_addr, host, sizeof host);
        char text[INET6_ADDRSTRLEN + 16];
        snprintf(text, sizeof text, "[%s]:%u", host, (unsigned)ntohs(six->sin6_port));
        *shown = text;
    } else {
        describe(&bound, &described);
        *shown = described.text;
    }
    return s;
}

net_socket net_accept(net_socket listener, net_peer *from, net_accept_failure *failure) {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    net_socket s = accept(listener, (sockaddr *)&address, &length);
    if (s == NET_NO_SOCKET) {
        *failure = would_block()          ? NET_ACCEPT_NONE_WAITING
                   : out_of_descriptors() ? NET_ACCEPT_NO_DESCRIPTORS
                                          : NET_ACCEPT_FAILED;
        return NET_NO_SOCKET;
    }
    if (set_non_blocking(s) != 0) {
        net_close(s);
        *failure = NET_ACCEPT_FAILED;
        return NET_NO_SOCKET;
    }
    // Output goes out as whole frames, once a turn; when a burst is split over two turns, Nagle's
    // rule would hold the second part back until the peer's delayed acknowledgement.
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    describe(&address, from);
    return s;
}

const char *net_keep_alive(net_socket s, int seconds) {
#ifdef _WIN32
    // Windows sends ten probes before it gives up: the first after half the time, the rest
    // spread over the other half.
    tcp_keepalive values;
    values.onoff = 1;
    values.keepalivetime = (ULONG)seconds * 500;
    values.keepaliveinterval = (ULONG)seconds * 50;
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, NULL, 0, &returned, NULL, NULL) !=
        0) {
        return "SIO_KEEPALIVE_VALS";
    }
    DWORD retransmit_seconds = (DWORD)seconds;
    if (setsockopt(s, IPPROTO_TCP, TCP_MAXRT, (const char *)&retransmit_seconds,
                   sizeof retransmit_seconds) != 0) {
        return "TCP_MAXRT";
    }
#else
    // The first probe after half the time, then up to five more within the other half; the
    // user timeout ends the connection once nothing has been heard for the whole time while a
    // probe or data is unanswered.
    int on = 1;
    int idle = seconds / 2 > 0 ? seconds / 2 : 1;
    int rest = seconds - idle;
    int count = rest < 1 ? 1 : rest > 5 ? 5 : rest;
    int interval = rest / count > 0 ? rest / count : 1;
    unsigned int user_timeout_ms = (unsigned int)seconds * 1000;
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        return "SO_KEEPALIVE";
    }
    if (setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
        return "TCP_KEEPIDLE/TCP_KEEPINTVL/TCP_KEEPCNT";
    }
    if (setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms) !=
        0) {
        return "TCP_USER_TIMEOUT";
    }
#endif
    return NULL;
}

long net_raise_descriptor_limit(long wanted) {
#ifdef _WIN32
    (void)wanted;
    return -1;
#else
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < (rlim_t)wanted) {
        // Only the soft limit: the hard one is the administrator's to set.
        rlim_t raised = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > (rlim_t)wanted
                            ? (rlim_t)wanted
                            : limit.rlim_max;
        rlimit next = limit;
        next.rlim_cur = raised;
        if (setrlimit(RLIMIT_NOFILE, &next) == 0) {
            limit.rlim_cur = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? wanted : (long)limit.rlim_cur;
#endif
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
