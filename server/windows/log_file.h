// The Windows service's log: one file a local day,
// %ProgramData%\Vantrel\logs\server-YYYY-MM-DD.log.
#pragma once

#include <stddef.h>

#include <string>

// %ProgramData%\Vantrel\logs, or "" where Windows does not say where ProgramData is.
std::string log_file_folder(void);

// Makes the folder if missing.  With for_service_account, as the installer does, its files are
// left to administrators and the system, writable by NT AUTHORITY\LocalService and readable by
// every user of the machine; and its parent, %ProgramData%\Vantrel, where the service keeps its
// history, is writable by LocalService too, and its files readable by nobody else but
// administrators and the system.  True when the folders exist afterwards.
bool log_file_make_folder(bool for_service_account);

// Appends stamped lines, as log_output_write makes them, each to the file of the day its stamp
// names, so that a line stamped before midnight never lands in the next day's file.  A file that
// cannot be opened costs its lines and is tried again with the next ones.
void log_file_write(const char *stamped, size_t count);
