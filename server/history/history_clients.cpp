// The clients that give ids: a number for each secret token, and the last line id each stored.
#include "server/history/history_parts.h"

long long history_client(history *h, const std::string &token) {
    if (!history_ready(h) || !history_flush(h)) {
        return 0;
    }
    sqlite3_stmt *s = h->client_find;
    if (sqlite3_bind_blob64(s, 1, token.data(), token.size(), SQLITE_STATIC) != SQLITE_OK) {
        history_fail(h, "cannot look a client up");
        return 0;
    }
    int result = sqlite3_step(s);
    long long number = result == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        history_fail(h, "cannot look a client up");
        return 0;
    }
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (number > 0) {
        return number;
    }
    bool own;
    s = h->client_add;
    if (!history_write_start(h, &own) ||
        sqlite3_bind_blob64(s, 1, token.data(), token.size(), SQLITE_STATIC) != SQLITE_OK ||
        !history_run(h, s, "cannot store a client")) {
        history_fail(h, "cannot store a client");
        return 0;
    }
    sqlite3_clear_bindings(s);
    number = sqlite3_last_insert_rowid(h->db);
    return history_write_done(h, own) ? number : 0;
}

long long history_last_line_id(history *h, long long client) {
    if (!history_ready(h) || !history_flush(h)) {
        return 0;
    }
    sqlite3_bind_int64(h->last_line_id, 1, client);
    return history_query_number(h, h->last_line_id, "cannot read a client's last line");
}
