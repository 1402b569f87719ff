// vantrel-server: the chat room Vantrel clients connect to.  Options, start-up and exit status.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "server/event_loop.h"
#include "server/socket_layer.h"
#include "server/stop_request.h"

struct server_options {
    const char *address;
    int port;
};

static void print_usage(FILE *to) {
    fputs("usage: vantrel-server [--listen ADDRESS] [--port N] [--help]\n"
          "  --listen ADDRESS  IPv4 address to accept connections on (default 0.0.0.0)\n"
          "  --port N          TCP port (default 2000; 0 takes any free port)\n"
          "  --help            show this text and exit\n"
          "Prints one line when listening; joins, leaves and refusals go to standard error.\n"
          "Ctrl+C tells every member the server is ending and exits.\n",
          to);
}

static bool parse_port(const char *text, int *port) {
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 65535) {
        return false;
    }
    *port = (int)value;
    return true;
}

// 0 to run, 1 when --help was asked for, -1 on a bad command line (already reported).
static int parse_options(int argc, char **argv, server_options *options) {
    options->address = "0.0.0.0";
    options->port = 2000;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0) {
            return 1;
        }
        if (i + 1 >= argc || (strcmp(arg, "--listen") != 0 && strcmp(arg, "--port") != 0)) {
            fprintf(stderr, "vantrel-server: unknown or incomplete option: %s\n", arg);
            return -1;
        }
        const char *value = argv[++i];
        if (strcmp(arg, "--listen") == 0) {
            options->address = value;
        } else if (!parse_port(value, &options->port)) {
            fprintf(stderr, "vantrel-server: not a port number: %s\n", value);
            return -1;
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    server_options options;
    int parsed = parse_options(argc, argv, &options);
    if (parsed != 0) {
        print_usage(parsed > 0 ? stdout : stderr);
        return parsed > 0 ? 0 : 2;
    }
    if (net_start() != 0 || stop_request_install() != 0) {
        fputs("vantrel-server: cannot start the socket library or the signal handlers\n", stderr);
        return 1;
    }
    std::string error;
    int port = 0;
    net_socket listener = net_listen(options.address, options.port, &port, &error);
    if (listener == NET_NO_SOCKET) {
        fprintf(stderr, "vantrel-server: cannot listen on %s:%d: %s\n", options.address,
                options.port, error.c_str());
        net_stop();
        return 1;
    }
    printf("vantrel-server listening on %s:%d\n", options.address, port);
    fflush(stdout);
    int status = event_loop_run(listener);
    net_close(listener);
    net_stop();
    return status;
}
