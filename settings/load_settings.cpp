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

int load_log_folder(char *folder) {
    FILE *file = fopen(SETTINGS_FILE_NAME, "rb");
    if (file == NULL) {
        return -1;
    }
    return read_setting(file, "log_folder", LOG_FOLDER_CAPACITY, folder);
}
