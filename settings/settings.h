// memo.ini lookups and the values the client starts with.  Portable: no window or socket here.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <string>

#include "client/protocol.h"

// Capacities count the terminating NUL; each is also the size of the line buffer for its key.
enum {
    NAME_CAPACITY = NAME_LIMIT + 1, // the longest name the hello carries

    FONT_NAME_CAPACITY = 260,
    FONT_SIZE_CAPACITY = 256,
    SERVER_CAPACITY = 1024,
    LOG_FOLDER_CAPACITY = 260,
    NUMBER_CAPACITY = 32 // port, keepalive, scrollback
};

// The port and keep-alive time when memo.ini gives none, or no plain number in range.
enum { DEFAULT_PORT = 2000, DEFAULT_KEEPALIVE_SECONDS = 30 };
// How much text the transcript box keeps, in megabytes of 1,048,576 bytes: memo.ini's
// scrollback, from 1 to SCROLLBACK_MB_LIMIT.
enum { DEFAULT_SCROLLBACK_MB = 16, SCROLLBACK_MB_LIMIT = 256 };

#define SETTINGS_FILE_NAME "memo.ini"

// Looks key up in file (rewound first, closed before returning) and stores its value, or "NONE"
// when no line matches, into destination.  The file is read raw and its text taken as
// memo_text_from_bytes gives it.  Returns 0, or -1 when there is no memory for the line buffer or
// the text (destination untouched).  Never reads past a line nor writes more than capacity bytes.
int read_setting(FILE *file, const char *key, size_t capacity, char *destination);

// memo.ini's raw bytes as the Shift-JIS text a lookup reads.  A byte-order mark decides UTF-8 or
// UTF-16 (either byte order); without one, bytes that are all valid UTF-8 with at least one
// sequence of three bytes or more are UTF-8; anything else is already Shift-JIS and kept byte for
// byte.  UTF-8 and UTF-16 become Shift-JIS as shift_jis_from_wide gives it: a character it lacks
// as its escape, so that the name carries it and the font name comes back whole.  Then, as text
// mode read the file before, a CR right before an LF is dropped and the byte 0x1A ends the text.
std::string memo_text_from_bytes(const std::string &bytes);

// Opens memo.ini from the working folder for one lookup, raw (binary mode).  When it cannot be
// opened the user is told (report_missing_settings_file) and NULL comes back.
FILE *open_settings_file(void);

// The four start-up lookups, each from a fresh open of memo.ini.  name and server receive
// NAME_CAPACITY and SERVER_CAPACITY bytes at most, font_face FONT_NAME_CAPACITY.
int load_settings(char *name, char *server, char *font_face, int *font_height);

// The log_folder lookup, from a fresh open of memo.ini, read once at start-up.  A missing file
// leaves folder as it was and, unlike the other lookups, shows nothing: the other lookups have
// told the user already.
int load_log_folder(char *folder);

// The server and port for one connection attempt, each from a fresh open of memo.ini.  A missing
// file leaves both as they were and shows nothing: attempts run on their own, and a box for each
// would pile up while the user is away.  server receives SERVER_CAPACITY bytes at most.
void load_connection_target(char *server, int *port);

// The keepalive lookup, read once at start-up and quietly like the log folder.
int load_keepalive_seconds(void);

// scrollback's value in bytes: its megabytes when they are plain digits in range, else the
// default's.
size_t scrollback_bytes(const char *value);
// The scrollback lookup, read once at start-up and quietly like keepalive.
size_t load_scrollback_bytes(void);

// value as a number from low to high when it is nothing but decimal digits, else fallback.
int setting_number(const char *value, int low, int high, int fallback);

// Supplied by the platform layer: tells the user memo.ini is missing.
void report_missing_settings_file(void);
