// Refusals in the log: the first of an address and reason in full, then a count every 10 s, so a
// flood of refused connections costs the log a few lines.
#pragma once

#include <string>

#include "server/room/address_book.h"

// How long the refusals of one address and reason are counted before the count is logged.
const long long REFUSAL_WINDOW_MS = 10000;

// A connection from peer ("10.0.0.5:50000"), whose address has the record, was refused.  Adds a
// line to *log unless the address and reason are being counted.  per_address names the cap.
void refusal_log_note(std::string *log, address_record *record, refusal_reason why,
                      const char *peer, int per_address, long long now_ms);

// Logs the count of every window that has run its 10 s and had refusals in it, and starts
// counting again; a window without any ends, so the next refusal is logged in full.
void refusal_log_summaries(std::string *log, address_book *book, int per_address, long long now_ms);
