// vantrel-server: the chat room Vantrel clients connect to.  Options, start-up and exit status.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include "server/allow_list.h"
#include "server/event_loop.h"
#include "server/history/history.h"
#include "server/history_place.h"
#include "server/log_output.h"
#include "server/socket_layer.h"
#include "server/stop_request.h"
#ifdef _WIN32
#include "server/windows/console.h"
#include "server/windows/service.h"
#endif

// Descriptors the server needs beside one per place: the listener, standard streams and a few
// the C library may hold.
static const long SPARE_DESCRIPTORS = 16;

struct server_options {
    const char *address; // NULL: every IPv6 and IPv4 address
    int port;
    const char *history_file; // NULL: the default place
    bool service;             // run by the Windows service manager
    event_loop_settings settings;
};

static void print_usage(FILE *to) {
    fputs("usage: vantrel-server [OPTION]...\n"
          "  --listen ADDRESS         IPv4 or IPv6 address to accept connections on (default:\n"
          "                           every address, IPv6 and IPv4; 0.0.0.0 without IPv6)\n"
          "  --port N                 TCP port (default 2000; 0 takes any free port)\n"
          "  --allow ADDRESS[/N]      accept connections only from these networks, N in digits;\n"
          "                           repeatable (default: from everyone)\n"
          "  --max-connections N      connections at once, members and greeting, 1..1024\n"
          "                           (default 256)\n"
          "  --per-address N          connections at once from one address, and new ones from\n"
          "                           it in a row before one a second, 1..1024 (default 8)\n"
          "  --hello-timeout SECONDS  time from the connect to the hello, 1..3600 (default 10)\n"
          "  --keepalive SECONDS      a member that stops answering is removed within twice\n"
          "                           this, 1..3600 (default 60)\n"
          "  --line-rate N            lines a second from one connection, in bursts of up to\n"
          "                           twice that; faster ones wait; 0 for no limit, up to\n"
          "                           100000 (default 20)\n"
          "  --byte-rate KIB          KiB a second from one connection, in bursts of up to\n"
          "                           twice that; faster ones wait, as for --line-rate; 0 for\n"
          "                           no limit, up to 1048576 (default 64)\n"
          "  --max-buffered MIB       unsent output of all members together, 1..65536 MiB;\n"
          "                           past it the member with the most is dropped (default 64)\n"
          "  --history-file PATH      where the history of lines is kept (default: see below)\n"
          "  --history-days N         lines are kept this many days, 0..3650; 0 keeps none and\n"
          "                           offers no history (default 7)\n"
          "  --history-lines N        recent lines a client is sent when it first joins, 0..1000\n"
          "                           (default 100)\n"
          "  --version                print the version and exit\n"
          "  --help                   show this text and exit\n"
          "A lone CR or LF in a relayed line is sent, and kept in the history, as CR LF.\n"
          "Prints one line when listening; joins, leaves and refusals go to standard error.\n"
          "SIGINT or SIGTERM (Ctrl+C on Windows) tells every member the server is ending and\n"
          "exits 0.  Exit status 1: cannot listen, or another server holds the history file;\n"
          "2: bad command line.  A history file that cannot be used is logged, and the room\n"
          "goes on without it.\n",
          to);
#ifdef _WIN32
    fputs("The history file: %LOCALAPPDATA%\\Vantrel\\history.sqlite3, or for the service\n"
          "%ProgramData%\\Vantrel\\history.sqlite3.\n",
          to);
#else
    fputs(
        "The history file: ${XDG_STATE_HOME:-$HOME/.local/state}/vantrel-server/history.sqlite3,\n"
        "or $STATE_DIRECTORY/history.sqlite3 under systemd.\n",
        to);
#endif
#ifdef _WIN32
    service_print_usage(to);
#endif
}

static bool parse_number(const char *text, long low, long high, int *number) {
    char *end = NULL;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    *number = (int)value;
    return true;
}

// Options that take a number, their range and where the number goes.
struct number_option {
    const char *name;
    long low, high;
    int *number;
};

// 0 to run, 1 for --help, 3 for --version, -1 on a bad command line (already reported).
static int parse_options(int argc, char **argv, server_options *options) {
    options->address = NULL;
    options->port = 2000;
    options->history_file = NULL;
    event_loop_settings *settings = &options->settings;
    room_default_rules(&settings->rules);
    settings->keepalive_seconds = 60;
    settings->allow.count = 0;
    settings->history_days = 7;
    settings->history_lines = 100;
    settings->store = NULL;
    int hello_seconds = (int)(settings->rules.hello_timeout_ms / 1000);
    int buffered_mib = (int)(settings->rules.max_buffered / (1024 * 1024));
    const number_option numbers[] = {
        {"--port", 0, 65535, &options->port},
        {"--max-connections", 1, ROOM_MAX_PLACES, &settings->rules.places},
        {"--per-address", 1, ROOM_MAX_PLACES, &settings->rules.per_address},
        {"--hello-timeout", 1, 3600, &hello_seconds},
        {"--keepalive", 1, 3600, &settings->keepalive_seconds},
        {"--line-rate", 0, 100000, &settings->rules.line_rate},
        {"--byte-rate", 0, 1048576, &settings->rules.byte_rate},
        {"--max-buffered", 1, 65536, &buffered_mib},
        {"--history-days", 0, 3650, &settings->history_days},
        {"--history-lines", 0, 1000, &settings->history_lines},
    };
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0) {
            return 1;
        }
        if (strcmp(arg, "--version") == 0) {
            return 3;
        }
        const number_option *number = NULL;
        for (const number_option &candidate : numbers) {
            if (strcmp(arg, candidate.name) == 0) {
                number = &candidate;
            }
        }
        bool known = number != NULL || strcmp(arg, "--listen") == 0 ||
                     strcmp(arg, "--allow") == 0 || strcmp(arg, "--history-file") == 0;
        if (!known || i + 1 >= argc) {
            fprintf(stderr, "vantrel-server: unknown or incomplete option: %s\n", arg);
            return -1;
        }
        const char *value = argv[++i];
        if (number != NULL) {
            if (!parse_number(value, number->low, number->high, number->number)) {
                fprintf(stderr, "vantrel-server: %s takes a number from %ld to %ld, not %s\n", arg,
                        number->low, number->high, value);
                return -1;
            }
        } else if (strcmp(arg, "--listen") == 0) {
            options->address = value;
        } else if (strcmp(arg, "--history-file") == 0) {
            options->history_file = value;
        } else if (!allow_add(&settings->allow, value)) {
            fprintf(stderr,
                    "vantrel-server: --allow takes ADDRESS or ADDRESS/PREFIX, the prefix in "
                    "digits up to 32 for IPv4 or 128 for IPv6 (at most %d of them), not %s\n",
                    ALLOW_LIMIT, value);
            return -1;
        }
    }
    settings->rules.hello_timeout_ms = (long long)hello_seconds * 1000;
    settings->rules.max_buffered = (size_t)buffered_mib * 1024 * 1024;
    return 0;
}

// Enough descriptors for every place, where the system lets the soft limit rise that far.
static void raise_descriptor_limit(int places) {
    long wanted = places + SPARE_DESCRIPTORS;
    long limit = net_raise_descriptor_limit(wanted);
    if (limit >= 0 && limit < wanted) {
        char line[160];
        snprintf(line, sizeof line,
                 "warning: the open-file limit is %ld; %d places need %ld, so fewer connections "
                 "may be accepted\n",
                 limit, places, wanted);
        log_output_write(line);
    }
}

static server_options g_options;
static history g_history;

// Opens the history unless --history-days is 0.  False when another server holds the file, which
// is the one history failure that stops the start: two servers would tell clients different seqs
// for one numbering.  Any other failure is logged and the room goes on without history.
static bool open_history(void) {
    event_loop_settings *settings = &g_options.settings;
    if (settings->history_days == 0) {
        return true;
    }
    settings->own_epoch = history_random_epoch();
    settings->store = &g_history;
    std::string reason;
    std::string path = g_options.history_file != NULL
                           ? g_options.history_file
                           : history_place_default(g_options.service, &reason);
    int opened = HISTORY_FAILED;
    if (!path.empty()) {
        opened = history_open(&g_history, path.c_str(), (long long)time(NULL), &reason);
    }
    if (opened == HISTORY_IN_USE) {
        std::string line = "vantrel-server: cannot keep the history in " + path + ": " + reason +
                           "; give each server a --history-file of its own\n";
        fputs(line.c_str(), stderr);
#ifdef _WIN32
        console_start_failed(line.c_str(), console_history_in_use(path.c_str()));
#endif
        history_close(&g_history);
        return false;
    }
    std::string log = "history: ";
    if (opened == HISTORY_FAILED) {
        log += "cannot keep the history" + (path.empty() ? "" : " in " + path) + ": " + reason +
               "; going on without it\n";
    } else {
        log += reason.empty() ? "" : reason + "\nhistory: ";
        log += "kept in " + path + " for " + std::to_string(settings->history_days) +
               " days, newest seq " + std::to_string(history_newest(&g_history)) + "\n";
    }
    log_output_write(log);
    return true;
}

// Listens and runs the room until a stop is requested; the exit status.
static int serve(void) {
    const server_options &options = g_options;
    char line[512];
    if (net_start() != 0 || stop_request_install() != 0) {
        snprintf(line, sizeof line,
                 "vantrel-server: cannot start the socket library or the signal handlers\n");
        fputs(line, stderr);
#ifdef _WIN32
        console_start_failed(line, console_listen_failure(NET_LISTEN_OTHER, NULL, options.port));
#endif
        return 1;
    }
    raise_descriptor_limit(options.settings.rules.places);
    if (!open_history()) {
        net_stop();
        return 1;
    }
    std::string error;
    std::string shown;
    net_listen_failure failure;
    net_socket listener = net_listen(options.address, options.port, &shown, &error, &failure);
    if (listener == NET_NO_SOCKET) {
        snprintf(line, sizeof line, "vantrel-server: cannot listen on %s port %d: %s\n",
                 options.address != NULL ? options.address : "every address", options.port,
                 error.c_str());
        fputs(line, stderr);
#ifdef _WIN32
        console_start_failed(line, console_listen_failure(failure, options.address, options.port));
#endif
        history_close(&g_history);
        net_stop();
        return 1;
    }
    printf("vantrel-server listening on %s\n", shown.c_str());
    fflush(stdout);
#ifdef _WIN32
    service_listening(shown.c_str());
#endif
    int status = event_loop_run(listener, &options.settings);
    history_close(&g_history);
    net_close(listener);
    net_stop();
    return status;
}

int main(int argc, char **argv) {
#ifdef _WIN32
    service_mode mode = service_take_mode(&argc, argv);
#endif
    int parsed = parse_options(argc, argv, &g_options);
    if (parsed == 3) {
        printf("vantrel-server %s\n", VANTREL_VERSION);
        return 0;
    }
    if (parsed != 0) {
        print_usage(parsed > 0 ? stdout : stderr);
        return parsed > 0 ? 0 : 2;
    }
#ifdef _WIN32
    g_options.service = mode == SERVICE_RUN;
    if (mode != SERVICE_NONE) {
        return service_carry_out(mode, argc, argv, g_options.port, serve);
    }
#endif
    return serve();
}
