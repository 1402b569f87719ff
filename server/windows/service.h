// The Windows service VantrelServer: installing and removing it, and the room under its manager.
#pragma once

#include <stdio.h>

enum service_mode { SERVICE_NONE, SERVICE_RUN, SERVICE_INSTALL, SERVICE_UNINSTALL };

// Takes --service, --install-service or --uninstall-service out of the command line, leaving
// the room's own options for the usual parser, and says which it was.
service_mode service_take_mode(int *argc, char **argv);

// The lines --help adds on Windows.
void service_print_usage(FILE *to);

// Carries out a mode other than SERVICE_NONE.  argv holds the room's options, already checked;
// port is the one they chose.  serve listens, runs the room until a stop is requested and
// returns its exit status.  Returns the process's exit status.
int service_carry_out(service_mode mode, int argc, char **argv, int port, int (*serve)(void));

// Called by serve once it listens: as a service, the listening line goes to the log and the
// service manager hears that the service runs.  Outside a service it does nothing.
void service_listening(const char *shown);
