// Scripted chat peers and a real vantrel-server child process for the loopback tests.
#pragma once

#include <sys/types.h>

#include <string>

struct server_process {
    pid_t pid;
    int port;
    int stdout_fd; // the listening line is read from here
    int log_fd;    // the server's standard error, appended to an unlinked file
    // Made for this server's history alone and removed when it stops, or "".
    std::string history_folder;
};

// Starts the server with a free port and the given options (a NULL-ended list, or NULL), waits
// for its listening line (at most five seconds, thirty under Wine) and fills *sp.  The child is
// killed should this test program die first.  descriptors > 0 sets its open-file limit.
// stuck_log makes its standard error a pipe of one page that nobody reads.  With
// VANTREL_SERVER_EXE and VANTREL_WINE_PREFIX in the environment, the server started is that
// Windows program, under Wine.  Unless the options name a history file or --history-days, the
// server keeps its history in a folder of its own under /tmp, never in the user's.
bool server_start_with(server_process *sp, const char *const *options, int descriptors = 0,
                       bool stuck_log = false);
// With "--listen address".
bool server_start(server_process *sp, const char *address);
// True when the server under test is the Windows program.
bool server_under_wine(void);
// Sends signal_number and waits up to timeout_ms.  Returns the exit status, or -1 when the
// server had to be killed or died from a signal.
int server_stop(server_process *sp, int signal_number, int timeout_ms);
// A path as the server under test takes it: under Wine, on the drive that maps the whole system.
std::string server_path(const std::string &path);
// Everything the server has written to standard error so far.
std::string server_log(const server_process *sp);

struct peer {
    int fd;
    std::string received; // bytes read after the last complete frame
    // The history's offer when it was the connection's first frame, as a base client ignores it;
    // peer_read_frame never returns it.
    std::string offer;
    bool read_one; // a frame has come
};

// Connects to the server at an IPv4 or IPv6 address, from the local address from when given (one
// of the many 127.x addresses, say); receive_buffer > 0 sets a small SO_RCVBUF first.
bool peer_connect(peer *p, const server_process *sp, const char *address, int receive_buffer,
                  const char *from = NULL);
// Writes every byte, waiting at most five seconds for the socket to take them.
bool peer_send(peer *p, const std::string &bytes);
// Sends payload + 0x80.
bool peer_send_frame(peer *p, const std::string &payload);
bool peer_hello(peer *p, const std::string &name);

enum { PEER_FRAME = 1, PEER_CLOSED = 0, PEER_TIMEOUT = -1 };
// Reads the next frame's payload.  PEER_CLOSED on end of stream or reset.
int peer_read_frame(peer *p, std::string *payload, int timeout_ms);
// Reads and throws away bytes until the server closes.  True when it did within timeout_ms.
bool peer_wait_closed(peer *p, int timeout_ms);
void peer_close(peer *p);

// A monotonic clock, in milliseconds.
long long now_ms(void);
// Payload text with every byte outside printable ASCII as \xNN, for failure messages.
std::string printable(const std::string &bytes);
