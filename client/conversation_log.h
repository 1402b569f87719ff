// The conversation log: every text the transcript shows, appended to one file a day.  Portable:
// standard files only, no window here.
#pragma once

#include <string>

#include "client/entry.h"
#include "settings/settings.h"

// "YYYY-MM-DD.txt" and the folder with its separator: the longest path the log writes to.
enum { LOG_NAME_CAPACITY = 32, LOG_PATH_CAPACITY = LOG_FOLDER_CAPACITY + LOG_NAME_CAPACITY };

// The day's file name, "2026-12-07.txt", from the local date.
void log_file_name(char *out, const stamp_time *local);

// Logs into folder from now on; "", "NONE" or NULL: no log.  Closes any file of an earlier start
// and forgets an earlier failure.
void conversation_log_start(const char *folder);

// Reads log_folder from memo.ini and starts the log with it.
void conversation_log_start_from_settings(void);

// Appends text to the file of local's day, creating the folder when it is missing, and hands it
// to the system before returning, so a killed program loses nothing already written.  The text
// holds one or more entries (an entry's lines, or a line of the client's own), each whole in the
// file or not at all: a write that does not go whole (a full disk) is cut back to the end of the
// last whole entry, and the rest counts as not logged.  Each later write tries again; the first
// that goes is led by compose_unlogged_line of that count.  A file that does not end in CR LF
// gets one before anything else.  0 when written, when there is no log, or when the failure was
// told already; -1 at the first failure since the start, and conversation_log_failed_path then
// names the file.
int conversation_log_write(const std::string &text, const stamp_time *local);

// The file that could not be written; "" while nothing has failed.
const char *conversation_log_failed_path(void);

// "MESSAGE:ログを書き込めなかったため、N 件を記録できませんでした。\r\n", in the log only.
std::string compose_unlogged_line(int count);
