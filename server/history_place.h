// Where the history file lives when --history-file does not say.
#pragma once

#include <string>

// The default history file, in the system's code page, or "" when there is nowhere to put it
// (then *why says so):
//   Linux, under systemd with StateDirectory=   $STATE_DIRECTORY/history.sqlite3
//   Linux, started by hand                      ${XDG_STATE_HOME:-$HOME/.local/state}/
//                                               vantrel-server/history.sqlite3
//   Windows, the service (service true)         %ProgramData%\Vantrel\history.sqlite3
//   Windows, started by hand                    %LOCALAPPDATA%\Vantrel\history.sqlite3
std::string history_place_default(bool service, std::string *why);
