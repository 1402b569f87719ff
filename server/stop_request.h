// Asking the server to end: SIGINT or SIGTERM, or Ctrl+C or closing the console on Windows.
#pragma once

// Routes those requests to stop_requested.  0 on success, -1 when a handler cannot be set.
int stop_request_install(void);

// True once an end has been asked for.  Safe to call at any time from the event loop.
bool stop_requested(void);

#ifdef _WIN32
// The service manager's stop or the system's shutdown: the same orderly end as Ctrl+C.
void stop_request_raise(void);
// Running as a service: a user's log-off, which every service hears too, is no reason to end.
void stop_request_as_service(void);
#endif
