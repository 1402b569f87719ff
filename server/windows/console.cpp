// Start-up failures where nobody reads standard error: a window about to close, or a service.
#include "server/windows/console.h"

#include <stdio.h>

#include <windows.h>

#include "server/log_output.h"
#include "server/log_queue.h"

const char *console_listen_failure(net_listen_failure failure, const char *address, int port) {
    static char text[256];
    switch (failure) {
    case NET_LISTEN_PORT_IN_USE:
        snprintf(text, sizeof text, "ポート %d は別のプログラムが使っています。", port);
        break;
    case NET_LISTEN_PORT_DENIED:
        snprintf(text, sizeof text,
                 "ポート %d は Windows が使わせません（予約されたポートかもしれません）。", port);
        break;
    case NET_LISTEN_NO_ADDRESS:
        snprintf(text, sizeof text, "アドレス %s はこのパソコンのものではありません。",
                 address != NULL ? address : "?");
        break;
    default:
        snprintf(text, sizeof text, "ポート %d で接続を待ち受けられません。", port);
        break;
    }
    return text;
}

const char *console_history_in_use(const char *path) {
    static char text[512];
    snprintf(text, sizeof text,
             "履歴のファイル %s は、別の vantrel-server が使っています。サーバーごとに "
             "--history-file で別のファイルを指定してください。",
             path);
    return text;
}

// True when no other process shares the console, as when Explorer opened it for this program,
// and its input is the keyboard.  A command prompt is a second process on it.
static bool console_is_own(void) {
    DWORD processes[2];
    DWORD mode;
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode);
}

void console_start_failed(const char *line, const char *japanese) {
    if (log_queue_sink != NULL) {
        // The service ends right after: the reason must be in its file first.
        log_output_write(line);
        log_queue_flush(LOG_END_WAIT_MS);
        return;
    }
    if (!console_is_own()) {
        return;
    }
    fprintf(stderr, "%s\n何かキーを押すと閉じます。\n", japanese);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(input);
    for (;;) {
        INPUT_RECORD record;
        DWORD read = 0;
        if (!ReadConsoleInputA(input, &record, 1, &read) || read == 0) {
            return;
        }
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            return;
        }
    }
}
