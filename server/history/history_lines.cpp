// The history's lines: appending in the loop's transaction, reading them back, pruning the oldest.
#include "server/history/history_parts.h"

long long history_append(history *h, long long at, const std::string &name, const std::string &text,
                         long long client, long long line_id) {
    if (!history_ready(h) || !history_begin(h)) {
        return 0;
    }
    sqlite3_stmt *s = h->append;
    // Blobs: the bytes stay as they came, 0x00 and all, and SQLite never converts a blob.
    if (sqlite3_bind_int64(s, 1, at) != SQLITE_OK ||
        sqlite3_bind_blob64(s, 2, name.data(), name.size(), SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_bind_blob64(s, 3, text.data(), text.size(), SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_bind_int64(s, 4, client) != SQLITE_OK ||
        sqlite3_bind_int64(s, 5, line_id) != SQLITE_OK ||
        !history_run(h, s, "cannot store a line")) {
        history_fail(h, "cannot store a line");
        return 0;
    }
    // The bound bytes are the caller's: nothing may point at them once this returns.
    sqlite3_clear_bindings(s);
    long long seq = sqlite3_last_insert_rowid(h->db);
    h->newest_seq = seq;
    if (h->oldest_seq == 0) {
        h->oldest_seq = seq;
        h->oldest_at = at;
    }
    return seq;
}

int history_commit(history *h) {
    if (!history_ready(h)) {
        return -1;
    }
    if (!h->in_transaction) {
        return 0;
    }
    if (!history_run(h, h->commit, "cannot commit the history")) {
        return -1;
    }
    h->in_transaction = false;
    return 0;
}

static void history_column(sqlite3_stmt *s, int column, std::string *bytes) {
    const void *data = sqlite3_column_blob(s, column); // NULL for an empty blob
    size_t count = (size_t)sqlite3_column_bytes(s, column);
    bytes->assign(data != NULL ? (const char *)data : "", data != NULL ? count : 0);
}

int history_read_after(history *h, long long after, int limit, size_t max_bytes,
                       history_visit visit, void *context) {
    if (!history_ready(h)) {
        return -1;
    }
    sqlite3_stmt *s = h->read_after;
    sqlite3_bind_int64(s, 1, after);
    sqlite3_bind_int(s, 2, limit > 0 ? limit : 0);
    history_line line;
    int visited = 0;
    size_t bytes = 0;
    int result;
    while ((result = sqlite3_step(s)) == SQLITE_ROW) {
        size_t size = (size_t)sqlite3_column_bytes(s, 2) + (size_t)sqlite3_column_bytes(s, 3);
        if (visited > 0 && size > max_bytes - bytes) {
            break;
        }
        line.seq = sqlite3_column_int64(s, 0);
        line.at = sqlite3_column_int64(s, 1);
        history_column(s, 2, &line.name);
        history_column(s, 3, &line.text);
        // The first line may alone be past max_bytes: the budget is spent then.
        bytes = size > max_bytes - bytes ? max_bytes : bytes + size;
        visit(context, &line);
        visited++;
    }
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        history_fail(h, "cannot read the history");
        return -1;
    }
    sqlite3_reset(s);
    return visited;
}

long long history_before_newest(history *h, int count) {
    if (!history_ready(h)) {
        return 0;
    }
    sqlite3_stmt *s = h->before_newest;
    sqlite3_bind_int(s, 1, count > 0 ? count : 0);
    int result = sqlite3_step(s);
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        history_fail(h, "cannot read the history");
        return 0;
    }
    long long seq = result == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    return seq;
}

void history_oldest(const history *h, long long *seq, long long *at) {
    bool ready = history_ready(h);
    *seq = ready ? h->oldest_seq : 0;
    *at = ready ? h->oldest_at : 0;
}

long long history_newest(const history *h) {
    return history_ready(h) ? h->newest_seq : 0;
}

int history_prune(history *h, long long before, int max_rows) {
    if (!history_ready(h)) {
        return -1;
    }
    // Up to the first line received at or after before, so the lines kept stay one unbroken run.
    sqlite3_stmt *s = h->prune_walk;
    sqlite3_bind_int(s, 1, max_rows > 0 ? max_rows : 0);
    long long last = 0;
    int count = 0;
    int result;
    while ((result = sqlite3_step(s)) == SQLITE_ROW && sqlite3_column_int64(s, 1) < before) {
        last = sqlite3_column_int64(s, 0);
        count++;
    }
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        history_fail(h, "cannot read the history");
        return -1;
    }
    sqlite3_reset(s);
    if (count == 0) {
        return 0;
    }
    bool own;
    if (!history_write_start(h, &own) ||
        sqlite3_bind_int64(h->prune_clients, 1, last) != SQLITE_OK ||
        !history_run(h, h->prune_clients, "cannot forget old clients") ||
        sqlite3_bind_int64(h->prune_lines, 1, last) != SQLITE_OK ||
        !history_run(h, h->prune_lines, "cannot delete old lines") || !history_write_done(h, own) ||
        !history_load_oldest(h)) {
        history_fail(h, "cannot delete old lines");
        return -1;
    }
    return count;
}
