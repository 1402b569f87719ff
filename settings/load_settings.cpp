// The start-up values from memo.ini: display name, font face and height, server host.
#include "settings/settings.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

static const char ANONYMOUS_NAME[] = "名無しさん";
static const char RESERVED_NAME[] = "SYSTEM";
static_assert(sizeof ANONYMOUS_NAME <= NAME_CAPACITY, "the stand-in name must fit");

FILE *open_settings_file(void) {
    FILE *file = fopen(SETTINGS_FILE_NAME, "rb");
    if (file == NULL) {
        report_missing_settings_file();
    }
    return file;
}

// Every lookup opens the file afresh, so a missing file is reported once per lookup and leaves
// that destination as it was.
static void look_up(const char *key, size_t capacity, char *destination) {
    FILE *file = open_settings_file();
    if (file != NULL) {
        read_setting(file, key, capacity, destination);
    }
}

// Twice the number atoi reads; a size so large that doubling it would overflow is held at the
// nearest int instead, since no font can be that tall anyway.
static int font_height_from(const char *size) {
    int value = atoi(size);
    if (value > INT_MAX / 2) {
        return INT_MAX;
    }
    if (value < INT_MIN / 2) {
        return INT_MIN;
    }
    return value * 2;
}

int load_settings(char *name, char *server, char *font_face, int *font_height) {
    look_up("name", NAME_CAPACITY, name);
    if (name[0] == '\0' || strcmp(name, RESERVED_NAME) == 0) {
        memcpy(name, ANONYMOUS_NAME, sizeof ANONYMOUS_NAME);
    }

    look_up("font_name", FONT_NAME_CAPACITY, font_face);

    char size[FONT_SIZE_CAPACITY] = "";
    look_up("font_size", FONT_SIZE_CAPACITY, size);
    *font_height = font_height_from(size);

    look_up("server", SERVER_CAPACITY, server);
    return 0;
}

// A lookup that tells nobody when memo.ini is missing: destination stays as it was.
static int look_up_quietly(const char *key, size_t capacity, char *destination) {
    FILE *file = fopen(SETTINGS_FILE_NAME, "rb");
    if (file == NULL) {
        return -1;
    }
    return read_setting(file, key, capacity, destination);
}

int load_log_folder(char *folder) {
    return look_up_quietly("log_folder", LOG_FOLDER_CAPACITY, folder);
}

int setting_number(const char *value, int low, int high, int fallback) {
    long long number = 0;
    size_t i = 0;
    for (; value[i] >= '0' && value[i] <= '9'; i++) {
        number = number * 10 + (value[i] - '0');
        // Past the range already: more digits can only go further.
        if (number > high) {
            return fallback;
        }
    }
    return i == 0 || value[i] != '\0' || number < low ? fallback : (int)number;
}

void load_connection_target(char *server, int *port) {
    look_up_quietly("server", SERVER_CAPACITY, server);
    char number[NUMBER_CAPACITY] = "";
    if (look_up_quietly("port", NUMBER_CAPACITY, number) == 0) {
        *port = setting_number(number, 1, 65535, DEFAULT_PORT);
    }
}

int load_keepalive_seconds(void) {
    char number[NUMBER_CAPACITY] = "";
    look_up_quietly("keepalive", NUMBER_CAPACITY, number);
    return setting_number(number, 1, 3600, DEFAULT_KEEPALIVE_SECONDS);
}

size_t scrollback_bytes(const char *value) {
    return (size_t)setting_number(value, 1, SCROLLBACK_MB_LIMIT, DEFAULT_SCROLLBACK_MB) << 20;
}

size_t load_scrollback_bytes(void) {
    char number[NUMBER_CAPACITY] = "";
    look_up_quietly("scrollback", NUMBER_CAPACITY, number);
    return scrollback_bytes(number);
}
