// Blocking-with-deadline POSIX sockets and fork/exec, so a broken server fails a test, never hangs.
#include "tests/server/test_peer.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

long long now_ms(void) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Waits for events on fd until deadline; true when they came.
static bool wait_for(int fd, short events, long long deadline) {
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            return false;
        }
        pollfd entry = {fd, events, 0};
        int ready = poll(&entry, 1, (int)left);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool server_under_wine(void) {
    return getenv("VANTREL_SERVER_EXE") != NULL && getenv("VANTREL_WINE_PREFIX") != NULL;
}

bool server_start(server_process *sp, const char *address) {
    const char *options[] = {"--listen", address, NULL};
    return server_start_with(sp, options);
}

bool server_start_with(server_process *sp, const char *const *options, int descriptors,
                       bool stuck_log) {
    const char *argv[32];
    size_t argc = 0;
    if (server_under_wine()) {
        argv[argc++] = VANTREL_WINE_RUN;
        argv[argc++] = getenv("VANTREL_WINE_PREFIX");
        argv[argc++] = getenv("VANTREL_SERVER_EXE");
    } else {
        const char *path = getenv("VANTREL_SERVER_PATH");
        argv[argc++] = path != NULL ? path : VANTREL_SERVER_PATH;
    }
    argv[argc++] = "--port";
    argv[argc++] = "0";
    bool history_named = false;
    for (size_t i = 0; options != NULL && options[i] != NULL; i++) {
        if (argc + 3 >= sizeof argv / sizeof argv[0]) {
            fprintf(stderr, "too many server options\n");
            return false;
        }
        history_named = history_named || strncmp(options[i], "--history-", 10) == 0;
        argv[argc++] = options[i];
    }
    char folder[] = "/tmp/vantrel-history-XXXXXX";
    std::string file;
    sp->history_folder.clear();
    if (!history_named && mkdtemp(folder) != NULL) {
        sp->history_folder = folder;
        file = server_path(sp->history_folder + "/history.sqlite3");
        argv[argc++] = "--history-file";
        argv[argc++] = file.c_str();
    }
    argv[argc] = NULL;
    char log_path[] = "/tmp/vantrel-server-log-XXXXXX";
    int log_fd = mkstemp(log_path), stuck[2];
    if (log_fd < 0 || (stuck_log && pipe(stuck) != 0)) {
        return false;
    }
    unlink(log_path);
    if (stuck_log) {
        fcntl(stuck[1], F_SETPIPE_SZ, 4096);
        dup2(stuck[1], log_fd); // the read end stays open in this process, and unread
        close(stuck[1]);
    }
    // O_APPEND keeps the child's writes at the end while the parent reads with pread.
    fcntl(log_fd, F_SETFL, O_APPEND);
    int out[2];
    if (pipe(out) != 0) {
        close(log_fd);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (descriptors > 0) {
            rlimit limit = {(rlim_t)descriptors, (rlim_t)descriptors};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        dup2(out[1], 1);
        dup2(log_fd, 2);
        closefrom(3); // earlier servers' logs stay open here, and would count against descriptors

        execv(argv[0], (char *const *)argv);
        _exit(127);
    }
    close(out[1]);
    sp->pid = pid;
    sp->stdout_fd = out[0];
    sp->log_fd = log_fd;
    sp->port = 0;
    if (pid < 0) {
        return false;
    }
    std::string line;
    long long deadline = now_ms() + (server_under_wine() ? 30000 : 5000);
    while (line.find('\n') == std::string::npos && wait_for(out[0], POLLIN, deadline)) {
        char chunk[256];
        ssize_t got = read(out[0], chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        line.append(chunk, (size_t)got);
    }
    size_t colon = line.rfind(':');
    if (line.find("listening on ") == std::string::npos || colon == std::string::npos) {
        fprintf(stderr, "no listening line from the server; got \"%s\"\n", line.c_str());
        server_stop(sp, SIGKILL, 1000);
        return false;
    }
    sp->port = atoi(line.c_str() + colon + 1);
    return sp->port > 0;
}

int server_stop(server_process *sp, int signal_number, int timeout_ms) {
    if (sp->pid <= 0) {
        return -1;
    }
    // Wine turns SIGINT into the console's Ctrl+C, which the server handles like SIGTERM at
    // home; SIGTERM would end a Windows program on the spot.
    if (server_under_wine() && signal_number == SIGTERM) {
        signal_number = SIGINT;
    }
    kill(sp->pid, signal_number);
    long long deadline = now_ms() + timeout_ms;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(sp->pid, &status, WNOHANG)) == 0 && now_ms() < deadline) {
        usleep(10000);
    }
    if (done == 0) {
        kill(sp->pid, SIGKILL);
        waitpid(sp->pid, &status, 0);
        status = -1;
    } else {
        status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    sp->pid = 0;
    close(sp->stdout_fd);
    if (!sp->history_folder.empty() && system(("rm -rf " + sp->history_folder).c_str()) == 0) {
        sp->history_folder.clear(); // a name of mkdtemp's, which needs no quoting
    }
    return status;
}

std::string server_path(const std::string &path) {
    return server_under_wine() ? "Z:" + path : path;
}

std::string server_log(const server_process *sp) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = pread(sp->log_fd, chunk, sizeof chunk, (off_t)text.size())) > 0) {
        text.append(chunk, (size_t)got);
    }
    return text;
}

// Fills *to with an IPv4 or IPv6 address and port; returns its length, 0 when not an address.
static socklen_t socket_address(sockaddr_storage *to, const char *address, int port) {
    memset(to, 0, sizeof *to);
    addrinfo hints = {}, *found = NULL;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (getaddrinfo(address, std::to_string(port).c_str(), &hints, &found) != 0) {
        return 0;
    }
    socklen_t length = found->ai_addrlen;
    memcpy(to, found->ai_addr, length);
    freeaddrinfo(found);
    return length;
}

bool peer_connect(peer *p, const server_process *sp, const char *address, int receive_buffer,
                  const char *from) {
    p->received.clear();
    p->offer.clear();
    p->read_one = false;
    sockaddr_storage to, local;
    socklen_t to_length = socket_address(&to, address, sp->port);
    socklen_t local_length = from != NULL ? socket_address(&local, from, 0) : 0;
    p->fd = socket(to.ss_family, SOCK_STREAM, 0);
    if (p->fd < 0 || to_length == 0) {
        peer_close(p);
        return false;
    }
    if (receive_buffer > 0) {
        setsockopt(p->fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    if ((from != NULL && bind(p->fd, (sockaddr *)&local, local_length) != 0) ||
        connect(p->fd, (sockaddr *)&to, to_length) != 0) {
        peer_close(p);
        return false;
    }
    fcntl(p->fd, F_SETFL, fcntl(p->fd, F_GETFL, 0) | O_NONBLOCK);
    return true;
}

bool peer_send(peer *p, const std::string &bytes) {
    size_t done = 0;
    long long deadline = now_ms() + 5000;
    while (done < bytes.size()) {
        ssize_t sent = send(p->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent > 0) {
            done += (size_t)sent;
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (!wait_for(p->fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

bool peer_send_frame(peer *p, const std::string &payload) {
    return peer_send(p, payload + '\x80');
}

bool peer_hello(peer *p, const std::string &name) {
    return peer_send_frame(p, "vantrel002;" + name);
}

int peer_read_frame(peer *p, std::string *payload, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        size_t end = p->received.find('\x80');
        if (end != std::string::npos) {
            payload->assign(p->received, 0, end);
            p->received.erase(0, end + 1);
            bool offer = !p->read_one && payload->compare(0, 3, "o1;") == 0;
            p->read_one = true;
            if (!offer) {
                return PEER_FRAME;
            }
            p->offer = *payload;
            continue;
        }
        char chunk[65536];
        ssize_t got = recv(p->fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            p->received.append(chunk, (size_t)got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            return PEER_CLOSED;
        } else if (!wait_for(p->fd, POLLIN, deadline)) {
            return PEER_TIMEOUT;
        }
    }
}

bool peer_wait_closed(peer *p, int timeout_ms) {
    long long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        char chunk[65536];
        ssize_t got = recv(p->fd, chunk, sizeof chunk, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return true;
        }
        if (got < 0 && !wait_for(p->fd, POLLIN, deadline)) {
            return false;
        }
    }
    return false;
}

void peer_close(peer *p) {
    if (p->fd >= 0) {
        close(p->fd);
    }
    p->fd = -1;
}

std::string printable(const std::string &bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); i++) {
        unsigned char c = (unsigned char)bytes[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += (char)c;
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}
