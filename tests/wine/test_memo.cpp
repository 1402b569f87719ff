// memo.ini in a temporary folder of its own, for the Wine tests.
#include "tests/wine/test_support.h"

#include <stdio.h>

std::string make_memo_folder(const std::string &memo_ini) {
    static unsigned serial = 0;
    char temp[MAX_PATH];
    DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length >= sizeof temp) {
        return std::string();
    }
    // Pid, time and a serial number keep folders of parallel runs and of earlier runs apart.
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[64];
        snprintf(name, sizeof name, "vantrel-%lu-%lu-%u", GetCurrentProcessId(), GetTickCount(),
                 serial++);
        std::string folder = std::string(temp) + name;
        if (CreateDirectoryA(folder.c_str(), NULL)) {
            if (!write_memo_ini(folder, memo_ini)) {
                RemoveDirectoryA(folder.c_str());
                return std::string();
            }
            return folder;
        }
    }
    return std::string();
}

bool write_memo_ini(const std::string &folder, const std::string &memo_ini) {
    std::string path = folder + "\\memo.ini";
    // Binary: the bytes land in the file exactly as the test wrote them, CR LF or not.
    FILE *file = fopen(path.c_str(), "wb");
    if (file == NULL) {
        return false;
    }
    bool written = fwrite(memo_ini.data(), 1, memo_ini.size(), file) == memo_ini.size();
    return fclose(file) == 0 && written;
}

void remove_memo_folder(const std::string &folder) {
    if (folder.empty()) {
        return;
    }
    // What the program wrote there too: its log folder and day files.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string path = folder + "\\" + found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DeleteFileA(path.c_str());
            } else if (found.cFileName[0] != '.') {
                remove_memo_folder(path);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(folder.c_str());
}
