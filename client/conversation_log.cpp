// The conversation log: every text the transcript shows, appended to one file a day.
#include "client/conversation_log.h"

#include <stdio.h>
#include <string.h>

#include "client/entry.h"
#include "client/protocol.h"

// The file is written with the system's own calls, not stdio's: a write that fails leaves no
// bytes in a buffer of ours to come out later, after the file has been cut back.
#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "client/wide_text.h"

// The folder from memo.ini is Shift-JIS like every other value, whatever the system's ANSI code
// page: the wide calls take it as code page 932 gives it.
static std::wstring wide_path(const char *path) {
    std::u16string wide = wide_from_shift_jis(path);
    return std::wstring(wide.begin(), wide.end());
}
#define make_folder(path) _wmkdir(wide_path(path).c_str())
#define SEPARATOR_TEXT "\\"
static int open_file(const char *path) {
    return _wopen(wide_path(path).c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY,
                  _S_IREAD | _S_IWRITE);
}
static long long file_length(int fd) {
    return _lseeki64(fd, 0, SEEK_END);
}
static bool read_at(int fd, long long at, char *out, unsigned count) {
    return _lseeki64(fd, at, SEEK_SET) == at && _read(fd, out, count) == (int)count;
}
static int write_part(int fd, const char *bytes, size_t count) {
    return _write(fd, bytes, count > 0x40000000 ? 0x40000000u : (unsigned)count);
}
static void cut_file(int fd, long long length) {
    _chsize_s(fd, length);
}
#define close_file _close
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define make_folder(path) mkdir(path, 0777)
#define SEPARATOR_TEXT "/"
static int open_file(const char *path) {
    return open(path, O_RDWR | O_APPEND | O_CREAT, 0666);
}
static long long file_length(int fd) {
    return (long long)lseek(fd, 0, SEEK_END);
}
static bool read_at(int fd, long long at, char *out, unsigned count) {
    return pread(fd, out, count, (off_t)at) == (ssize_t)count;
}
static int write_part(int fd, const char *bytes, size_t count) {
    return (int)write(fd, bytes, count > 0x40000000 ? 0x40000000u : count);
}
static void cut_file(int fd, long long length) {
    if (ftruncate(fd, (off_t)length) != 0) {
        // Not a file that can be cut (a device); nothing was kept of the batch anyway.
    }
}
#define close_file close
#endif

static char log_folder[LOG_FOLDER_CAPACITY];
static char open_path[LOG_PATH_CAPACITY]; // the day's file while log_fd is open
static int log_fd = -1;
static char failed_path[LOG_PATH_CAPACITY];
static bool failure_told; // conversation_log_write has returned -1 since the start
static int unlogged;      // entries shown but not written since the last write that went whole

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
    if (log_fd >= 0) {
        close_file(log_fd);
        log_fd = -1;
    }
    open_path[0] = '\0';
}

void conversation_log_start(const char *folder) {
    close_log_file();
    failed_path[0] = '\0';
    failure_told = false;
    unlogged = 0;
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

std::string compose_unlogged_line(int count) {
    char line[96];
    snprintf(line, sizeof line,
             "MESSAGE:ログを書き込めなかったため、%d 件を記録できませんでした。\r\n", count);
    return line;
}

// The day's file open for appending, the one of an earlier day closed: past midnight the
// conversation goes on in the next day's file.
static bool open_day_file(const char *path) {
    if (log_fd >= 0 && strcmp(path, open_path) == 0) {
        return true;
    }
    close_log_file();
    make_folders(log_folder);
    // Binary: the transcript's own CR LF go to the file as they are.  Appending never truncates.
    log_fd = open_file(path);
    if (log_fd < 0) {
        return false;
    }
    snprintf(open_path, sizeof open_path, "%s", path);
    return true;
}

static bool write_all(const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        int taken = write_part(log_fd, bytes.data() + done, bytes.size() - done);
        if (taken <= 0) {
            return false;
        }
        done += (size_t)taken;
    }
    return true;
}

// Where the entry after the one at text[at] starts: at an entry's CR LF and "◆ ", or at a line of
// the client's own ("MESSAGE:") at the start of a line.  A relayed text has neither at the start
// of any line (disarm_relay_text), so these are the edges of the entries.
static size_t next_entry(const std::string &text, size_t at) {
    for (size_t i = at + 1; i < text.size(); i++) {
        if (text.compare(i, sizeof ENTRY_START - 1, ENTRY_START) == 0 ||
            (i >= 2 && text.compare(i - 2, 10, "\r\nMESSAGE:") == 0)) {
            return i;
        }
    }
    return text.size();
}

static int count_entries(const std::string &text) {
    int entries = 0;
    for (size_t at = 0; at < text.size(); at = next_entry(text, at)) {
        entries++;
    }
    return entries;
}

// After a write that did not go whole: the file is cut back to the end of its last whole entry,
// so it never ends inside an entry or a character.  What was to go at start was the lead (a line
// break, the count of entries not logged before) and then text.
static void cut_back(long long start, size_t lead, const std::string &text) {
    long long length = file_length(log_fd);
    long long on_disk = length > start ? length - start : 0;
    long long cut = on_disk >= (long long)lead ? (long long)lead : 0;
    int whole = 0;
    for (size_t at = 0; at < text.size(); at = next_entry(text, at)) {
        long long end = (long long)(lead + next_entry(text, at));
        if (end <= on_disk) {
            whole++;
            cut = end;
        }
    }
    cut_file(log_fd, start + cut);
    // The count was told if its line stayed whole.
    unlogged = (cut > 0 ? 0 : unlogged) + count_entries(text) - whole;
}

static bool ends_in_line_break(long long length) {
    char last[2];
    return length == 0 ||
           (length >= 2 && read_at(log_fd, length - 2, last, 2) && memcmp(last, "\r\n", 2) == 0);
}

int conversation_log_write(const std::string &text, const stamp_time *local) {
    if (log_folder[0] == '\0' || text.empty()) {
        return 0;
    }
    char name[LOG_NAME_CAPACITY];
    log_file_name(name, local);
    char path[LOG_PATH_CAPACITY];
    snprintf(path, sizeof path, "%s%s%s", log_folder,
             ends_in_separator(log_folder) ? "" : SEPARATOR_TEXT, name);
    long long start = open_day_file(path) ? file_length(log_fd) : -1;
    if (start >= 0) {
        // A file left without its last line break (an earlier run's last entry, or a cut) gets
        // one first, so that what follows starts on a line of its own.
        std::string block = ends_in_line_break(start) ? "" : "\r\n";
        if (unlogged > 0) {
            block += compose_unlogged_line(unlogged);
        }
        size_t lead = block.size();
        block += text;
        // Once written the bytes are the system's, and outlive the program.
        if (write_all(block)) {
            unlogged = 0;
            return 0;
        }
        cut_back(start, lead, text);
    } else {
        unlogged += count_entries(text);
    }
    // Closed, so that the next entry tries afresh: space may come back, a drive come back in.
    close_log_file();
    if (failure_told) {
        return 0;
    }
    failure_told = true;
    snprintf(failed_path, sizeof failed_path, "%s", path);
    return -1;
}

const char *conversation_log_failed_path(void) {
    return failed_path;
}
