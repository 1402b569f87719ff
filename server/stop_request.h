// Asking the server to end: SIGINT or SIGTERM, or Ctrl+C or closing the console on Windows.
#pragma once

// Routes those requests to stop_requested.  0 on success, -1 when a handler cannot be set.
int stop_request_install(void);

// True once an end has been asked for.  Safe to call at any time from the event loop.
bool stop_requested(void);
