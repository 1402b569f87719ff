// The operator's log on standard error: local time first, and names readable on the system.
#pragma once

#include <stddef.h>
#include <string>

// Queues lines (each ending in "\n") for standard error (log_queue), each after the local time as
// "YYYY-MM-DD HH:MM:SS ".  On Windows the bytes go out as Shift-JIS, which the Japanese console
// shows, with the escapes of the characters whose second byte is 0x80 as those characters and
// other escapes as they came; elsewhere as UTF-8, with every escape the client shows as a
// character as that character (wide_from_shift_jis), and "?" for what is no character.
void log_output_write(const std::string &lines);

// The local time as "YYYY-MM-DD HH:MM:SS ", as each line begins.  Safe from any thread.
void log_output_stamp(char *text, size_t capacity);
