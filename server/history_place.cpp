// The history file's default place: the service's state folder, or the user's own.
#include "server/history_place.h"

#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#endif

static const char FILE_NAME[] = "history.sqlite3";

#ifdef _WIN32
std::string history_place_default(bool service, std::string *why) {
    // The service's account has a profile of its own, so it keeps its state where the
    // installer made room for it, beside its logs.
    char folder[MAX_PATH];
    if (SHGetFolderPathA(NULL, service ? CSIDL_COMMON_APPDATA : CSIDL_LOCAL_APPDATA, NULL,
                         SHGFP_TYPE_CURRENT, folder) != S_OK) {
        *why = service ? "Windows does not say where ProgramData is"
                       : "Windows does not say where LOCALAPPDATA is";
        return "";
    }
    return std::string(folder) + "\\Vantrel\\" + FILE_NAME;
}
#else
// A variable's value when it is an absolute path, else "".
static std::string absolute(const char *name) {
    const char *value = getenv(name);
    return value != NULL && value[0] == '/' ? value : "";
}

std::string history_place_default(bool, std::string *why) {
    // systemd gives StateDirectory= as a list separated by ':'; the unit names one.
    std::string state = absolute("STATE_DIRECTORY");
    if (!state.empty()) {
        return state.substr(0, state.find(':')) + "/" + FILE_NAME;
    }
    std::string base = absolute("XDG_STATE_HOME");
    if (base.empty() && !absolute("HOME").empty()) {
        base = absolute("HOME") + "/.local/state";
    }
    if (base.empty()) {
        *why = "neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME names a folder for it";
        return "";
    }
    return base + "/vantrel-server/" + FILE_NAME;
}
#endif
