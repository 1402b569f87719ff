// The history's dealings with the file system: parent folders, the lock file, a file moved aside.
#include "server/history/history_parts.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static std::string history_system_error(void) {
#ifdef _WIN32
    // The system's own messages come in the user's language; the log wants one English line.
    return "Windows error " + std::to_string((unsigned long)GetLastError());
#else
    return strerror(errno);
#endif
}

// Anything at all under that name, a dangling link included, takes the name.
static bool history_exists(const std::string &path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
#endif
}

static bool history_make_folder(const std::string &path) {
#ifdef _WIN32
    return CreateDirectoryA(path.c_str(), NULL) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
#else
    // The lines are the members' own words: the server's account alone reads them.
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
#endif
}

bool history_make_parent(const std::string &path, std::string *reason) {
#ifdef _WIN32
    const char *separators = "/\\";
#else
    const char *separators = "/";
#endif
    // Usually the folder is there; a path under a share (\\server\share) never has to make one.
    size_t last = path.find_last_of(separators);
    if (last == std::string::npos || last == 0 || history_exists(path.substr(0, last))) {
        return true;
    }
    // A leading separator is the root, not a folder to make, and so is one after another or after
    // a drive's colon; under a share, the folders to make begin past \\server\share.
    size_t from = 0;
#ifdef _WIN32
    if (path.find_first_of(separators) == 0 && path.find_first_of(separators, 1) == 1) {
        from = path.find_first_of(separators, path.find_first_of(separators, 2) + 1);
    }
#endif
    bool after_separator = true;
    for (size_t i = from; i < path.size(); i++) {
#ifdef _WIN32
        // A Shift-JIS second byte may be 0x5C, which is no separator there.
        if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < path.size()) {
            i++;
            after_separator = false;
            continue;
        }
#endif
        bool separator = strchr(separators, path[i]) != NULL && path[i] != '\0';
        bool root = after_separator || (i > 0 && path[i - 1] == ':');
        after_separator = separator;
        if (!separator || root) {
            continue;
        }
        std::string folder = path.substr(0, i);
        if (!history_exists(folder) && !history_make_folder(folder)) {
            *reason = "cannot make the folder " + folder + ": " + history_system_error();
            return false;
        }
    }
    return true;
}

int history_lock(const std::string &lock_path, intptr_t *lock, std::string *reason) {
    const std::string in_use = lock_path + " is held by another vantrel-server";
#ifdef _WIN32
    // No sharing at all: every other CreateFile of it fails until this handle is closed, which
    // Windows does for a process that dies.
    HANDLE file = CreateFileA(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION) {
            *reason = in_use;
            return HISTORY_IN_USE;
        }
        *reason = "cannot open the lock file " + lock_path + ": " + history_system_error();
        return HISTORY_FAILED;
    }
    *lock = (intptr_t)file;
#else
    // flock rather than fcntl: it belongs to the open file, so a second open in this same
    // process is refused too, and it is released when the holder dies.
    int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *reason = "cannot open the lock file " + lock_path + ": " + history_system_error();
        return HISTORY_FAILED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bool held = errno == EWOULDBLOCK;
        *reason = held ? in_use : "cannot lock " + lock_path + ": " + history_system_error();
        close(fd);
        return held ? HISTORY_IN_USE : HISTORY_FAILED;
    }
    *lock = fd;
#endif
    return HISTORY_OPEN;
}

// The lock file stays: removing it would let a newcomer lock a fresh file while a third server
// still waits on the old one.
void history_unlock(intptr_t *lock) {
    if (*lock == -1) {
        return;
    }
#ifdef _WIN32
    CloseHandle((HANDLE)*lock);
#else
    close((int)*lock);
#endif
    *lock = -1;
}

static bool history_rename(const std::string &from, const std::string &to, std::string *reason) {
    if (rename(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    *reason = "cannot move " + from + " aside as " + to + ": " + history_system_error();
    return false;
}

bool history_move_aside(const std::string &path, long long now, std::string *moved,
                        std::string *reason) {
    time_t seconds = (time_t)now;
    char date[48] = "0000-00-00";
#ifdef _WIN32
    tm *day = localtime(&seconds); // a buffer of the calling thread's own
#else
    tm local;
    tm *day = localtime_r(&seconds, &local);
#endif
    if (day != NULL) {
        snprintf(date, sizeof date, "%04d-%02d-%02d", day->tm_year + 1900, day->tm_mon + 1,
                 day->tm_mday);
    }
    const std::string base = path + ".corrupt-" + date;
    const char *const companions[] = {"-wal", "-shm"};
    for (int n = 1; n <= 1000; n++) {
        std::string name = n == 1 ? base : base + "-" + std::to_string(n);
        if (history_exists(name) || history_exists(name + "-wal") ||
            history_exists(name + "-shm")) {
            continue;
        }
        if (!history_rename(path, name, reason)) {
            return false;
        }
        for (const char *companion : companions) {
            if (history_exists(path + companion) &&
                !history_rename(path + companion, name + companion, reason)) {
                return false;
            }
        }
        *moved = name;
        return true;
    }
    *reason = "cannot move " + path + " aside: " + base + " to " + base + "-1000 are all taken";
    return false;
}

std::string history_sqlite_path(const std::string &path) {
#ifdef _WIN32
    // SQLite reads its file names as UTF-8 there; the lock file's CreateFileA, as the code page.
    int count = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, NULL, 0);
    if (count <= 1) {
        return path;
    }
    std::wstring wide((size_t)count, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], count);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, NULL, 0, NULL, NULL);
    if (bytes <= 1) {
        return path;
    }
    std::string utf8((size_t)bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], bytes, NULL, NULL);
    utf8.resize((size_t)bytes - 1);
    return utf8;
#else
    return path;
#endif
}
