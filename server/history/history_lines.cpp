// The history's lines: appending in the loop's transaction, reading them back, pruning the oldest.
#include "server/history/history_parts.h"

#include <string.h>

// A line as it waits in h->pending: its numbers, then its name and text.
struct history_row {
    long long seq, at, client, line_id;
    size_t name_size, text_size;
};

long long history_append(history *h, long long at, const std::string &name, const std::string &text,
                         long long client, long long line_id) {
    // The transaction opens now: a program holding the file shows at the first append.
    if (!history_ready(h) || !history_begin(h)) {
        return 0;
    }
    history_row row = {h->newest_seq + 1, at, client, line_id, name.size(), text.size()};
    h->pending.append((const char *)&row, sizeof row);
    h->pending += name;
    h->pending += text;
    if (++h->pending_lines >= HISTORY_ROWS_AT_ONCE && h->writer != NULL) {
        history_writer_hand(h);
    }
    h->newest_seq = row.seq;
    if (h->oldest_seq == 0) {
        h->oldest_seq = row.seq;
        h->oldest_at = at;
    }
    return row.seq;
}

// Binds the row at *at as the statement's first..first+5th parameters and moves *at past it.
// The bytes stay where they are until the statement has run.
static bool history_bind_row(sqlite3_stmt *s, int first, const char *rows, size_t *at) {
    history_row row;
    memcpy(&row, rows + *at, sizeof row);
    const char *name = rows + *at + sizeof row;
    *at += sizeof row + row.name_size + row.text_size;
    // Blobs: the bytes stay as they came, 0x00 and all, and SQLite never converts a blob.
    return sqlite3_bind_int64(s, first, row.seq) == SQLITE_OK &&
           sqlite3_bind_int64(s, first + 1, row.at) == SQLITE_OK &&
           sqlite3_bind_blob64(s, first + 2, name, row.name_size, SQLITE_STATIC) == SQLITE_OK &&
           sqlite3_bind_blob64(s, first + 3, name + row.name_size, row.text_size, SQLITE_STATIC) ==
               SQLITE_OK &&
           sqlite3_bind_int64(s, first + 4, row.client) == SQLITE_OK &&
           sqlite3_bind_int64(s, first + 5, row.line_id) == SQLITE_OK;
}

bool history_insert_rows(history *h, const char *rows, size_t size, int lines) {
    size_t at = 0;
    bool written = true;
    for (int left = lines; left > 0 && written && at < size;) {
        int count = left >= HISTORY_ROWS_AT_ONCE ? HISTORY_ROWS_AT_ONCE : 1;
        sqlite3_stmt *s = count > 1 ? h->append_many : h->append;
        for (int i = 0; i < count && written; i++) {
            written = history_bind_row(s, 6 * i + 1, rows, &at);
        }
        written = written && sqlite3_step(s) == SQLITE_DONE;
        sqlite3_reset(s);
        left -= count;
    }
    // The bound bytes go now: nothing may point at them after.
    sqlite3_clear_bindings(h->append);
    sqlite3_clear_bindings(h->append_many);
    return written;
}

bool history_flush(history *h) {
    // What the writer was given first; the few lines left are written here, as waking the writer
    // for them would cost a quiet room's turn more than writing them.
    if (h->writer != NULL && !history_writer_settle(h)) {
        return history_fail(h, "cannot store a line");
    }
    bool written = history_insert_rows(h, h->pending.data(), h->pending.size(), h->pending_lines);
    h->pending.clear();
    h->pending_lines = 0;
    return written || history_fail(h, "cannot store a line");
}

int history_commit(history *h) {
    if (!history_ready(h)) {
        return -1;
    }
    if (!h->in_transaction) {
        return 0;
    }
    if (!history_flush(h) || !history_run(h, h->commit, "cannot commit the history")) {
        return -1;
    }
    h->in_transaction = false;
    if (h->checkpoint_due) {
        history_checkpoint(h);
    }
    return 0;
}

static void history_column(sqlite3_stmt *s, int column, std::string *bytes) {
    const void *data = sqlite3_column_blob(s, column); // NULL for an empty blob
    size_t count = (size_t)sqlite3_column_bytes(s, column);
    bytes->assign(data != NULL ? (const char *)data : "", data != NULL ? count : 0);
}

int history_read_after(history *h, long long after, int limit, size_t max_bytes,
                       history_visit visit, void *context) {
    if (!history_ready(h) || !history_flush(h)) {
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

long long history_query_number(history *h, sqlite3_stmt *s, const char *what) {
    int result = sqlite3_step(s);
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        history_fail(h, what);
        return 0;
    }
    long long number = result == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    return number;
}

long long history_before_newest(history *h, int count) {
    if (!history_ready(h) || !history_flush(h)) {
        return 0;
    }
    sqlite3_bind_int(h->before_newest, 1, count > 0 ? count : 0);
    return history_query_number(h, h->before_newest, "cannot read the history");
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
    if (!history_ready(h) || !history_flush(h)) {
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
