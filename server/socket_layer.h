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

// Starts the socket library.  0 on success, -1 on failure.
int net_start(void);
void net_stop(void);

// A non-blocking listening socket on an IPv4 address (or host name) and port; port 0 takes any
// free port.  On success *bound_port is the port in use; on failure NET_NO_SOCKET is returned and
// *error says why.
net_socket net_listen(const char *address, int port, int *bound_port, std::string *error);

// Accepts one waiting connection as a non-blocking socket and writes its "a.b.c.d:port" into
// *peer; NET_NO_SOCKET when none is waiting or accepting failed.
net_socket net_accept(net_socket listener, std::string *peer);

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
