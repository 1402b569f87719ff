// memo.ini lookups and the values the client starts with.  Portable: no window or socket here.
#pragma once

#include <stddef.h>
#include <stdio.h>

// Capacities count the terminating NUL; each is also the size of the line buffer for its key.
enum {
    NAME_CAPACITY = 32,
    FONT_NAME_CAPACITY = 260,
    FONT_SIZE_CAPACITY = 256,
    SERVER_CAPACITY = 1024
};

#define SETTINGS_FILE_NAME "memo.ini"

// Looks key up in file (rewound first, closed before returning) and stores its value, or "NONE"
// when no line matches, into destination.  Returns 0, or -1 when the line buffer cannot be had
// (destination untouched).  Never reads past a line nor writes more than capacity bytes.
int read_setting(FILE *file, const char *key, size_t capacity, char *destination);

// Opens memo.ini from the working folder for one lookup.  When it cannot be opened the user is
// told (report_missing_settings_file) and NULL comes back.
FILE *open_settings_file(void);

// The four start-up lookups, each from a fresh open of memo.ini.  name and server receive
// NAME_CAPACITY and SERVER_CAPACITY bytes at most, font_face FONT_NAME_CAPACITY.
int load_settings(char *name, char *server, char *font_face, int *font_height);

// Supplied by the platform layer: tells the user memo.ini is missing.
void report_missing_settings_file(void);
