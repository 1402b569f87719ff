// Throw-away folders for tests that need real files, on Linux and under Wine alike.
#include "tests/native/scratch_folder.h"

#include <stdio.h>
#include <time.h>

#ifdef _WIN32
#include <direct.h>
#include <process.h>
#define make_folder(p) _mkdir(p)
#define remove_folder(p) _rmdir(p)
#define change_folder(p) _chdir(p)
#define current_folder(b, n) _getcwd(b, n)
#define process_id() _getpid()
#else
#include <sys/stat.h>
#include <unistd.h>
#define make_folder(p) mkdir(p, 0700)
#define remove_folder(p) rmdir(p)
#define change_folder(p) chdir(p)
#define current_folder(b, n) getcwd(b, n)
#define process_id() getpid()
#endif

bool make_scratch_folder(std::string *path) {
    static int made = 0;
    // The process id keeps concurrent runs apart; the counter, folders of one run.
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[64];
        snprintf(name, sizeof name, "scratch-%d-%ld-%d", (int)process_id(), (long)time(NULL),
                 made++);
        if (make_folder(name) == 0) {
            *path = name;
            return true;
        }
    }
    return false;
}

bool remove_scratch_folder(const std::string &path) {
    remove((path + "/memo.ini").c_str());
    return remove_folder(path.c_str()) == 0;
}

bool write_file(const std::string &path, const std::string &bytes) {
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL) {
        return false;
    }
    size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
    return fclose(file) == 0 && written == bytes.size();
}

bool enter_folder(const std::string &path, std::string *previous) {
    char here[4096];
    if (current_folder(here, sizeof here) == NULL) {
        return false;
    }
    *previous = here;
    return change_folder(path.c_str()) == 0;
}

bool leave_folder(const std::string &previous) {
    return change_folder(previous.c_str()) == 0;
}
