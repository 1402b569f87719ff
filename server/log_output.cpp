// Time stamps and the Shift-JIS to UTF-8 conversion of the operator's log, handed to its queue.
#include "server/log_output.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "client/protocol.h"
#include "client/wide_text.h"
#include "server/log_queue.h"

#ifdef _WIN32
#include <windows.h>
#endif

void log_output_stamp(char *text, size_t capacity) {
#ifdef _WIN32
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(text, capacity, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
#else
    time_t seconds = time(NULL);
    tm now;
    if (localtime_r(&seconds, &now) == NULL ||
        strftime(text, capacity, "%Y-%m-%d %H:%M:%S ", &now) == 0) {
        snprintf(text, capacity, "0000-00-00 00:00:00 ");
    }
#endif
}

#ifdef _WIN32
// The Japanese console and the log files read Shift-JIS: the 51 escapes become their bytes, and
// characters it lacks stay escapes.
static std::string log_output_readable(const std::string &line) {
    return unescape_frame_text(line);
}
#else
// As the client shows them, every escape it reads as its character; what is no character is "?".
static std::string log_output_readable(const std::string &line) {
    std::u16string wide = wide_from_shift_jis(line);
    for (char16_t &c : wide) {
        c = c == 0xFFFD ? u'?' : c;
    }
    return utf8_from_wide(wide);
}
#endif

void log_output_write(const std::string &lines) {
    char stamp[32];
    log_output_stamp(stamp, sizeof stamp);
    std::string out;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        end = end == std::string::npos ? lines.size() : end + 1;
        // A name holds escapes; the operator reads the characters.
        out += stamp;
        out += log_output_readable(lines.substr(start, end - start));
        start = end;
    }
    log_queue_add(out);
}
