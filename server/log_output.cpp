// Time stamps and the Shift-JIS to UTF-8 conversion of the operator's log.
#include "server/log_output.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#endif

void (*log_output_sink)(const std::string &stamped) = NULL;

static void local_time_stamp(char *text, size_t capacity) {
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
static std::string log_output_readable(const char *bytes, size_t count) {
    return std::string(bytes, count);
}
#else
// CP932 rather than SHIFT_JIS: the latter turns 0x5C into the yen sign and lacks the NEC and
// IBM extensions Windows users type.
static iconv_t g_converter = (iconv_t)-1;

static std::string log_output_readable(const char *bytes, size_t count) {
    if (g_converter == (iconv_t)-1) {
        g_converter = iconv_open("UTF-8", "CP932");
        if (g_converter == (iconv_t)-1) {
            return std::string(bytes, count);
        }
    }
    std::string text;
    char *in = (char *)bytes;
    size_t in_left = count;
    while (in_left > 0) {
        char out[1024];
        char *to = out;
        size_t out_left = sizeof out;
        size_t done = iconv(g_converter, &in, &in_left, &to, &out_left);
        text.append(out, (size_t)(to - out));
        if (done == (size_t)-1 && errno != E2BIG) {
            // An undecodable byte, or a lead byte cut off at the end: one "?" for that byte,
            // and the next may start a character again.
            text += '?';
            in++;
            in_left--;
            iconv(g_converter, NULL, NULL, NULL, NULL);
        }
    }
    return text;
}
#endif

void log_output_write(const std::string &lines) {
    char stamp[32];
    local_time_stamp(stamp, sizeof stamp);
    std::string out;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        end = end == std::string::npos ? lines.size() : end + 1;
        out += stamp;
        out += log_output_readable(lines.data() + start, end - start);
        start = end;
    }
    if (log_output_sink != NULL) {
        log_output_sink(out);
        return;
    }
    fwrite(out.data(), 1, out.size(), stderr);
    fflush(stderr);
}
