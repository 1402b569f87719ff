// The operator's log on standard error: local time first, and names readable on the system.
#pragma once

#include <string>

// Writes lines (each ending in "\n") to standard error, each after the local time as
// "YYYY-MM-DD HH:MM:SS ".  On Windows the bytes go out as they are, since the Japanese console
// shows Shift-JIS; elsewhere they are converted from code page 932 to UTF-8, with "?" for a byte
// that does not convert.
void log_output_write(const std::string &lines);

// Where the stamped lines go instead of standard error when set: the Windows service's daily
// file (log_file_win32.cpp), which has no console.
extern void (*log_output_sink)(const std::string &stamped);
