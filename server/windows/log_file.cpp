// Daily log files for the service, written straight through so that a crash loses no line.
#include "server/windows/log_file.h"

#include <string.h>

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

// SYSTEM and Administrators: full control; LocalService: modify; Users: read.  Protected, so the
// write access ProgramData gives every user is not inherited.
static const char LOG_FOLDER_SDDL[] =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;LS)(A;OICI;FR;;;BU)";
// %ProgramData%\Vantrel, where the service keeps its history beside the logs folder: the same,
// except that users may only look into the folder itself.  The history, its WAL and lock file
// are the members' own words, for the service's account and administrators alone.
static const char STATE_FOLDER_SDDL[] =
    "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;LS)(A;;FR;;;BU)";

// Makes the folder with the rights sddl gives, or gives them to the one already there.
static bool make_secured(const std::string &folder, const char *sddl) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, NULL, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, NULL)) {
        return false;
    }
    bool made = CreateDirectoryA(folder.c_str(), &attributes) != 0;
    if (!made && GetLastError() == ERROR_ALREADY_EXISTS) {
        // Made earlier, perhaps by a service that found it missing: the same rights as new.
        made = SetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION,
                                attributes.lpSecurityDescriptor) != 0;
    }
    LocalFree(attributes.lpSecurityDescriptor);
    return made;
}

static HANDLE g_file = INVALID_HANDLE_VALUE;
static char g_day[11]; // YYYY-MM-DD of the open file

std::string log_file_folder(void) {
    char data[MAX_PATH];
    if (SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, data) != S_OK) {
        return "";
    }
    return std::string(data) + "\\Vantrel\\logs";
}

bool log_file_make_folder(bool for_service_account) {
    std::string folder = log_file_folder();
    if (folder.empty()) {
        return false;
    }
    std::string parent = folder.substr(0, folder.rfind('\\'));
    if (!for_service_account) {
        CreateDirectoryA(parent.c_str(), NULL);
        return CreateDirectoryA(folder.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
    }
    // The parent first: the logs folder's rights are its own, whatever the parent's.
    return make_secured(parent, STATE_FOLDER_SDDL) && make_secured(folder, LOG_FOLDER_SDDL);
}

// One stamped line.
static void write_line(const char *stamped, size_t count) {
    if (count < sizeof g_day - 1) {
        return;
    }
    if (g_file == INVALID_HANDLE_VALUE || memcmp(g_day, stamped, sizeof g_day - 1) != 0) {
        if (g_file != INVALID_HANDLE_VALUE) {
            CloseHandle(g_file);
        }
        memcpy(g_day, stamped, sizeof g_day - 1);
        g_day[sizeof g_day - 1] = '\0';
        std::string path = log_file_folder() + "\\server-" + g_day + ".log";
        // Others may read, and delete old days, while the service writes.
        g_file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    }
    if (g_file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(g_file, stamped, (DWORD)count, &written, NULL);
    }
}

void log_file_write(const char *stamped, size_t count) {
    const char *end = stamped + count;
    while (stamped < end) {
        const char *line_end = (const char *)memchr(stamped, '\n', (size_t)(end - stamped));
        line_end = line_end != NULL ? line_end + 1 : end;
        write_line(stamped, (size_t)(line_end - stamped));
        stamped = line_end;
    }
}
