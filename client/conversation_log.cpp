// The conversation log: every text the transcript shows, appended to one file a day.
#include "client/conversation_log.h"

#include <stdio.h>
#include <string.h>

#include "client/protocol.h"

#ifdef _WIN32
#include <direct.h>
#define make_folder(path) _mkdir(path)
#define SEPARATOR_TEXT "\\"
#else
#include <sys/stat.h>
#define make_folder(path) mkdir(path, 0777)
#define SEPARATOR_TEXT "/"
#endif

static char log_folder[LOG_FOLDER_CAPACITY];
static char open_path[LOG_PATH_CAPACITY]; // the day's file while log_file is open
static FILE *log_file;
static char failed_path[LOG_PATH_CAPACITY];

static bool is_separator(char c) {
#ifdef _WIN32
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

// Creates every missing folder along path; what already exists, or cannot be made, is left for
// opening the file to find out.  0x5C is also the second byte of many Shift-JIS characters (表 is
// 95 5c), so separators are only found by walking the characters from the start.
static void make_folders(const char *path) {
    char partial[LOG_FOLDER_CAPACITY];
    size_t length = strlen(path);
    for (size_t i = 0; i < length && i < sizeof partial - 1; i++) {
        if (is_shift_jis_lead_byte((unsigned char)path[i]) && i + 1 < length) {
            i++;
            continue;
        }
        if (is_separator(path[i]) && i > 0) {
            memcpy(partial, path, i);
            partial[i] = '\0';
            make_folder(partial);
        }
    }
    make_folder(path);
}

static bool ends_in_separator(const char *path) {
    bool separator = false;
    for (size_t i = 0; path[i] != '\0'; i++) {
        separator = is_separator(path[i]);
        if (is_shift_jis_lead_byte((unsigned char)path[i]) && path[i + 1] != '\0') {
            i++;
        }
    }
    return separator;
}

void log_file_name(char *out, const stamp_time *local) {
    snprintf(out, LOG_NAME_CAPACITY, "%04d-%02d-%02d.txt", local->year, local->month, local->day);
}

static void close_log_file(void) {
    if (log_file != NULL) {
        fclose(log_file);
        log_file = NULL;
    }
    open_path[0] = '\0';
}

void conversation_log_start(const char *folder) {
    close_log_file();
    failed_path[0] = '\0';
    log_folder[0] = '\0';
    if (folder != NULL && strcmp(folder, "NONE") != 0) {
        snprintf(log_folder, sizeof log_folder, "%s", folder);
    }
}

void conversation_log_start_from_settings(void) {
    char folder[LOG_FOLDER_CAPACITY] = "";
    load_log_folder(folder);
    conversation_log_start(folder);
}

// The day's file open for appending, the one of an earlier day closed: past midnight the
// conversation goes on in the next day's file.
static bool open_day_file(const char *path) {
    if (log_file != NULL && strcmp(path, open_path) == 0) {
        return true;
    }
    close_log_file();
    make_folders(log_folder);
    // Binary: the transcript's own CR LF go to the file as they are.  Appending never truncates.
    log_file = fopen(path, "ab");
    if (log_file == NULL) {
        return false;
    }
    snprintf(open_path, sizeof open_path, "%s", path);
    return true;
}

int conversation_log_write(const std::string &text, const stamp_time *local) {
    if (log_folder[0] == '\0') {
        return 0;
    }
    char name[LOG_NAME_CAPACITY];
    log_file_name(name, local);
    char path[LOG_PATH_CAPACITY];
    snprintf(path, sizeof path, "%s%s%s", log_folder,
             ends_in_separator(log_folder) ? "" : SEPARATOR_TEXT, name);
    // fflush hands the bytes to the system, where they outlive the program.
    if (open_day_file(path) && fwrite(text.data(), 1, text.size(), log_file) == text.size() &&
        fflush(log_file) == 0) {
        return 0;
    }
    close_log_file();
    log_folder[0] = '\0';
    snprintf(failed_path, sizeof failed_path, "%s", path);
    return -1;
}

const char *conversation_log_failed_path(void) {
    return failed_path;
}
