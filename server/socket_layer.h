// The few socket calls the server makes, over POSIX sockets or Windows Sockets.
#pragma once

#include <stddef.h>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
typedef SOCKET net_socket;
typedef WSAPOLLFD net_pollfd;
const net_socket NET_NO_SOCKET = INVALID_SOCKET;
#else
#include <poll.h>
typedef int net_socket;
typedef struct pollfd net_pollfd;
const net_socket NET_NO_SOCKET = -1;
#endif

// What net_recv and net_send return besides a byte count.
const long NET_WOULD_BLOCK = -1;
const long NET_FAILED = -2;

// An IPv4 or IPv6 address as its bytes; IPv4 uses the first four.
struct net_address {
    int family; // 4 or 6
    unsigned char bytes[16];
};

// Who connected: the address as the room counts it (an IPv4-mapped IPv6 peer is its IPv4
// address), its text ("10.0.0.5", "::1") and the text the log names the connection by
// ("10.0.0.5:50000", "[::1]:50000").
struct net_peer {
    net_address address;
    std::string host;
    std::string text;
};

// Starts the socket library.  0 on success, -1 on failure.
int net_start(void);
void net_stop(void);

// True for an IPv4-mapped IPv6 address (::ffff:a.b.c.d), whose last four bytes are the IPv4 one.
bool net_is_v4_mapped(const unsigned char bytes[16]);

// Parses a numeric IPv4 or IPv6 address.  True on success.
bool net_parse_address(const char *text, net_address *address);

// Why listening failed, for an operator who reads no English error codes.
enum net_listen_failure {
    NET_LISTEN_PORT_IN_USE,
    NET_LISTEN_PORT_DENIED, // reserved by the system, or below 1024 without the right
    NET_LISTEN_NO_ADDRESS,  // the address is not this machine's, or does not resolve
    NET_LISTEN_OTHER
};

// A non-blocking listening socket on an address (or host name) and port; port 0 takes any free
// port.  A NULL address listens on every IPv6 and IPv4 address at once, or on every IPv4 address
// where the system has no IPv6.  On success *shown is the address and port in use as
// "0.0.0.0:2000" or "[::]:2000"; on failure NET_NO_SOCKET is returned, *error says why and
// *failure what kind of reason it is.
net_socket net_listen(const char *address, int port, std::string *shown, std::string *error,
                      net_listen_failure *failure);

// What net_accept returns besides a socket when none came.
enum net_accept_failure { NET_ACCEPT_NONE_WAITING, NET_ACCEPT_NO_DESCRIPTORS, NET_ACCEPT_FAILED };

// Accepts one waiting connection as a non-blocking socket without Nagle's delay and fills *from;
// NET_NO_SOCKET when none is waiting or accepting failed, and then *failure says which.
net_socket net_accept(net_socket listener, net_peer *from, net_accept_failure *failure);

// Keep-alive probes on an idle connection, and a limit on how long sent data may go
// unacknowledged, so that a peer which vanished without closing is found out within about
// seconds, and at most twice that.  NULL when every option was taken, else the name of the one
// the system refused.
const char *net_keep_alive(net_socket s, int seconds);

// Raises this process's limit on open descriptors to at least wanted where the system allows it.
// Returns the limit now in force, or -1 where there is no such limit.
long net_raise_descriptor_limit(long wanted);

// Bytes read (> 0), 0 when the peer closed, NET_WOULD_BLOCK or NET_FAILED.
long net_recv(net_socket s, char *buffer, size_t capacity);
// Bytes written (>= 0), NET_WOULD_BLOCK or NET_FAILED.  Never raises SIGPIPE.
long net_send(net_socket s, const char *bytes, size_t count);
void net_close(net_socket s);
// Closes after the queued output: sends the end of the stream, then reads away whatever the peer
// sent that was never read, because closing over unread bytes resets the connection and a reset
// can destroy the last frame before the peer has read it.
void net_close_gently(net_socket s);

// poll or WSAPoll; events are only ever POLLIN and POLLOUT, the two both accept.  Returns the
// number of ready entries, 0 on timeout, -1 when interrupted or failed.
int net_poll(net_pollfd *fds, size_t count, int timeout_ms);
