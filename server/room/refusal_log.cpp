// One line per refusal while they are rare, a count every 10 s while they are not.
#include "server/room/refusal_log.h"

#include <stdio.h>

static void add_reason(std::string *log, refusal_reason why, int per_address) {
    static const char *const TEXTS[REFUSAL_REASONS] = {"address not allowed", NULL,
                                                       "over the connection rate", "room full"};
    if (why == REFUSED_OVER_CAP) {
        char text[64];
        snprintf(text, sizeof text, "over %d connections from one address", per_address);
        *log += text;
    } else {
        *log += TEXTS[why];
    }
}

void refusal_log_note(std::string *log, address_record *record, refusal_reason why,
                      const char *peer, int per_address, long long now_ms) {
    if (record->window_ms[why] >= 0) {
        record->refused[why]++;
        return;
    }
    record->window_ms[why] = now_ms;
    record->refused[why] = 0;
    *log += peer;
    *log += " refused: ";
    add_reason(log, why, per_address);
    *log += '\n';
}

void refusal_log_summaries(std::string *log, address_book *book, int per_address,
                           long long now_ms) {
    for (int at = 0; at < book->size; at++) {
        address_record *record = &book->records[at];
        for (int why = 0; record->generation == book->generation && why < REFUSAL_REASONS; why++) {
            if (record->window_ms[why] < 0 || now_ms - record->window_ms[why] < REFUSAL_WINDOW_MS) {
                continue;
            }
            if (record->refused[why] == 0) {
                record->window_ms[why] = -1;
                continue;
            }
            char count[64];
            snprintf(count, sizeof count, " (%d more in the last %lld s)\n", record->refused[why],
                     REFUSAL_WINDOW_MS / 1000);
            *log += record->address;
            *log += " refused: ";
            add_reason(log, (refusal_reason)why, per_address);
            *log += count;
            record->window_ms[why] = now_ms;
            record->refused[why] = 0;
        }
    }
}
