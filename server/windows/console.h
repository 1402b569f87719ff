// A console window of the program's own: start-up failures in Japanese, held until a key.
#pragma once

#include "server/socket_layer.h"

// The Japanese for a failure to listen, as shown to an operator who double-clicked the program:
// "ポート 2000 は別のプログラムが使っています。" and the like.  Valid until the next call.
const char *console_listen_failure(net_listen_failure failure, const char *address, int port);

// The Japanese for a history file that another vantrel-server holds.  Valid until the next call.
const char *console_history_in_use(const char *path);

// After a failed start whose English line has gone to standard error: a service, which has no
// console, writes that line to its log; a console that belongs to this program alone (opened by
// a double-click from Explorer) shows the Japanese too and waits for a key before its window
// closes.  Started from a command prompt, nothing more happens.
void console_start_failed(const char *line, const char *japanese);
