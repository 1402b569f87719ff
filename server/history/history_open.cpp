// Opening and closing the history: the file's settings, its schema, a corrupt file moved aside.
#include "server/history/history_parts.h"

// Version 1.  Lines are walked by seq, which grows with the time received except when the clock
// is set back, so neither retention nor catch-up needs an index of its own; the partial index
// answers "the highest line_id of client C" and leaves lines of clients without ids out.
// AUTOINCREMENT keeps seqs and client numbers from ever being handed out twice.
static const char SCHEMA[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
    "CREATE TABLE lines(seq INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER NOT NULL,"
    " name BLOB NOT NULL, text BLOB NOT NULL, client INTEGER NOT NULL, line_id INTEGER NOT NULL);"
    "CREATE INDEX lines_by_client ON lines(client, line_id) WHERE client != 0;"
    "CREATE TABLE clients(number INTEGER PRIMARY KEY AUTOINCREMENT, token BLOB NOT NULL UNIQUE);"
    "INSERT INTO meta VALUES('epoch', lower(hex(randomblob(8))));"
    "PRAGMA user_version = 1;";
static const int SCHEMA_VERSION = 1;
static const int EPOCH_BYTES = 8; // as randomblob(8) above

#define ROW "(?,?,?,?,?,?)"
#define ROWS4 ROW "," ROW "," ROW "," ROW
#define ROWS32 ROWS4 "," ROWS4 "," ROWS4 "," ROWS4 "," ROWS4 "," ROWS4 "," ROWS4 "," ROWS4
static_assert(HISTORY_ROWS_AT_ONCE == 32, "ROWS32 is written out for 32 rows");

struct history_statement {
    sqlite3_stmt *history::*member;
    const char *sql;
};

static const history_statement STATEMENTS[] = {
    // IMMEDIATE: a program holding the file shows at the first append, not at commit.
    {&history::begin, "BEGIN IMMEDIATE"},
    {&history::commit, "COMMIT"},
    // seq given: the store numbers lines as it takes them, before they are written.
    {&history::append, "INSERT INTO lines(seq, at, name, text, client, line_id) VALUES" ROW},
    {&history::append_many,
     "INSERT INTO lines(seq, at, name, text, client, line_id) VALUES" ROWS32},
    {&history::read_after, "SELECT seq, at, name, text FROM lines WHERE seq > ?1 ORDER BY seq"
                           " LIMIT ?2"},
    {&history::before_newest, "SELECT seq FROM lines ORDER BY seq DESC LIMIT 1 OFFSET ?1"},
    {&history::oldest, "SELECT seq, at FROM lines ORDER BY seq LIMIT 1"},
    {&history::client_find, "SELECT number FROM clients WHERE token = ?1"},
    {&history::client_add, "INSERT INTO clients(token) VALUES(?1)"},
    // "client != 0" word for word, or the partial index is not used.
    {&history::last_line_id, "SELECT line_id FROM lines WHERE client = ?1 AND client != 0"
                             " ORDER BY line_id DESC LIMIT 1"},
    {&history::prune_walk, "SELECT seq, at FROM lines ORDER BY seq LIMIT ?1"},
    // Run before the lines go: the clients of the lines up to ?1 that have no later line.
    {&history::prune_clients, "DELETE FROM clients WHERE number IN (SELECT client FROM lines"
                              " WHERE seq <= ?1 AND client != 0) AND NOT EXISTS (SELECT 1 FROM"
                              " lines WHERE client = clients.number AND client != 0 AND seq > ?1)"},
    {&history::prune_lines, "DELETE FROM lines WHERE seq <= ?1"},
};

static void history_detach(history *h) {
    history_writer_stop(h);
    history_checkpoint_stop(h);
    for (const history_statement &s : STATEMENTS) {
        sqlite3_finalize(h->*s.member);
        h->*s.member = NULL;
    }
    sqlite3_close_v2(h->db); // closing rolls back what was not committed
    h->db = NULL;
    h->in_transaction = false;
    std::string().swap(h->pending);
    h->pending_lines = 0;
    h->epoch.clear();
    h->oldest_seq = h->oldest_at = h->newest_seq = 0;
}

bool history_fail(history *h, const char *what) {
    if (!h->failed) {
        h->reason = what;
        h->reason += ": ";
        h->reason += h->db != NULL ? sqlite3_errmsg(h->db) : "the file is not open";
        h->code = h->db != NULL ? sqlite3_errcode(h->db) : SQLITE_CANTOPEN;
        h->failed = true;
    }
    history_detach(h);
    return false;
}

bool history_refuse(history *h, const std::string &reason) {
    if (!h->failed) {
        h->reason = reason;
        h->code = SQLITE_ERROR;
        h->failed = true;
    }
    history_detach(h);
    return false;
}

bool history_run(history *h, sqlite3_stmt *statement, const char *what) {
    int result = sqlite3_step(statement);
    if (result != SQLITE_DONE && result != SQLITE_ROW) {
        return history_fail(h, what);
    }
    sqlite3_reset(statement);
    return true;
}

bool history_begin(history *h) {
    if (h->in_transaction) {
        return true;
    }
    if (!history_run(h, h->begin, "cannot begin writing the history")) {
        return false;
    }
    h->in_transaction = true;
    return true;
}

bool history_write_start(history *h, bool *own) {
    *own = !h->in_transaction;
    return history_begin(h);
}

bool history_write_done(history *h, bool own) {
    return !own || history_commit(h) == 0;
}

bool history_load_oldest(history *h) {
    int result = sqlite3_step(h->oldest);
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        return history_fail(h, "cannot read the oldest line");
    }
    h->oldest_seq = result == SQLITE_ROW ? sqlite3_column_int64(h->oldest, 0) : 0;
    h->oldest_at = result == SQLITE_ROW ? sqlite3_column_int64(h->oldest, 1) : 0;
    sqlite3_reset(h->oldest);
    return true;
}

// Runs sql (one statement) and puts its first column in *number and *text when it gives a row.
static bool history_query(history *h, const char *sql, const char *what, long long *number,
                          std::string *text) {
    sqlite3_stmt *statement = NULL;
    int result = sqlite3_prepare_v2(h->db, sql, -1, &statement, NULL);
    if (result == SQLITE_OK) {
        result = sqlite3_step(statement);
    }
    if (result == SQLITE_ROW) {
        if (number != NULL) {
            *number = sqlite3_column_int64(statement, 0);
        }
        const unsigned char *value = sqlite3_column_text(statement, 0);
        if (text != NULL && value != NULL) {
            text->assign((const char *)value, (size_t)sqlite3_column_bytes(statement, 0));
        }
    }
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        history_fail(h, what); // the message before the statement goes
        sqlite3_finalize(statement);
        return false;
    }
    sqlite3_finalize(statement);
    return true;
}

static bool history_exec(history *h, const char *sql, const char *what) {
    return sqlite3_exec(h->db, sql, NULL, NULL, NULL) == SQLITE_OK || history_fail(h, what);
}

// Makes the schema of a new file, or checks that the file is one of ours.
static bool history_schema(history *h) {
    long long version = 0, tables = 0;
    if (!history_exec(h, "BEGIN IMMEDIATE", "cannot read the history's schema") ||
        !history_query(h, "PRAGMA user_version", "cannot read the history's schema", &version,
                       NULL) ||
        !history_query(h, "SELECT count(*) FROM sqlite_schema", "cannot read the history's schema",
                       &tables, NULL)) {
        return false;
    }
    if (version == 0 && tables == 0) {
        return history_exec(h, SCHEMA, "cannot make the history's tables") &&
               history_exec(h, "COMMIT", "cannot make the history's tables");
    }
    if (version > SCHEMA_VERSION) {
        return history_refuse(h, "the history was made by a newer vantrel-server (schema " +
                                     std::to_string(version) + ")");
    }
    if (version != SCHEMA_VERSION) {
        return history_refuse(h, "the history file is some other program's database");
    }
    return history_exec(h, "COMMIT", "cannot read the history's schema");
}

// One attempt at opening the file: SQLITE_OK when ready, else the primary code of the first
// failure, with the store failed and h->reason saying why.
static int history_attach(history *h, const std::string &path, bool memory) {
    h->failed = false;
    h->reason.clear();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(history_sqlite_path(path).c_str(), &h->db, flags, NULL) != SQLITE_OK) {
        int code = h->db != NULL ? sqlite3_errcode(h->db) : SQLITE_NOMEM;
        history_fail(h, "cannot open the history");
        return code & 0xff;
    }
    // A file another program holds fails the room's turn fast rather than blocking it.
    sqlite3_busy_timeout(h->db, 100);
    // Until the file proves sound, closing must not delete its WAL: a damaged file is moved
    // aside with the WAL that may hold its newest lines.
    int keep_wal = 1;
    sqlite3_file_control(h->db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep_wal);
    // The first read of the file: a file that is not a database shows here.
    std::string journal;
    bool ready =
        history_query(h, "PRAGMA journal_mode = WAL", "cannot read the history", NULL, &journal);
    // SQLite opens a file it may not write read-only without a word; the first append would fail.
    if (ready && sqlite3_db_readonly(h->db, "main") == 1) {
        ready = history_refuse(h, "the history file is read-only");
    }
    if (ready && journal != (memory ? "memory" : "wal")) {
        ready = history_refuse(h, "cannot keep the history in WAL mode (it is in " + journal +
                                      " mode)");
    }
    // NORMAL in WAL mode: a commit survives the process being killed, and only a power cut may
    // lose the last ones; the WAL is cut back after a burst.
    ready = ready &&
            history_exec(h, "PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 4194304",
                         "cannot set the history up") &&
            history_schema(h);
    for (size_t i = 0; ready && i < sizeof STATEMENTS / sizeof STATEMENTS[0]; i++) {
        // The statements compile against the schema, so a damaged schema shows here too.
        ready = sqlite3_prepare_v3(h->db, STATEMENTS[i].sql, -1, SQLITE_PREPARE_PERSISTENT,
                                   &(h->*STATEMENTS[i].member), NULL) == SQLITE_OK ||
                history_fail(h, "cannot read the history's schema");
    }
    ready = ready &&
            history_query(h, "SELECT value FROM meta WHERE key = 'epoch'",
                          "cannot read the history's epoch", NULL, &h->epoch) &&
            history_query(h, "SELECT seq FROM sqlite_sequence WHERE name = 'lines'",
                          "cannot read the newest line", &h->newest_seq, NULL) &&
            history_load_oldest(h);
    if (ready && h->epoch.size() != 2 * EPOCH_BYTES) {
        ready = history_refuse(h, "the history's epoch is missing");
    }
    keep_wal = 0;
    if (ready) {
        sqlite3_file_control(h->db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep_wal);
        if (!memory) {
            history_checkpoint_watch(h);
            history_writer_start(h);
        }
    }
    return ready ? SQLITE_OK : h->code & 0xff;
}

int history_open(history *h, const char *path, long long now, std::string *reason) {
    history_close(h);
    const std::string file = path != NULL ? path : "";
    const bool memory = file == ":memory:";
    int result = HISTORY_OPEN;
    if (file.empty()) {
        h->reason = "no history file was named";
        result = HISTORY_FAILED;
    } else if (!memory) {
        result = history_make_parent(file, &h->reason)
                     ? history_lock(file + ".lock", &h->lock, &h->reason)
                     : HISTORY_FAILED;
    }
    int code = result == HISTORY_OPEN ? history_attach(h, file, memory) : SQLITE_OK;
    if (!memory && (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)) {
        // Kept for whoever wants to look into it; the room goes on with a new history.
        std::string why = h->reason, moved;
        if (history_move_aside(file, now, &moved, &h->reason)) {
            code = history_attach(h, file, memory);
            if (code == SQLITE_OK) {
                h->reason = file + " could not be read (" + why + "): moved aside as " + moved +
                            ", and a new history was started";
            }
        } else {
            h->reason += " (" + why + ")";
            code = SQLITE_CANTOPEN;
        }
    }
    if (result == HISTORY_OPEN && code != SQLITE_OK) {
        result = HISTORY_FAILED;
    }
    if (result != HISTORY_OPEN) {
        h->failed = true;
        history_unlock(&h->lock);
    }
    if (reason != NULL) {
        *reason = h->reason;
    }
    return result;
}

void history_close(history *h) {
    if (h->in_transaction) {
        history_commit(h);
    }
    history_detach(h);
    history_unlock(&h->lock);
    h->failed = false;
    h->code = 0;
    h->reason.clear();
}

bool history_ready(const history *h) {
    return h->db != NULL && !h->failed;
}

const std::string &history_epoch(const history *h) {
    return h->epoch; // emptied whenever the store closes or fails
}

std::string history_random_epoch(void) {
    unsigned char bytes[EPOCH_BYTES];
    sqlite3_randomness((int)sizeof bytes, bytes); // seeded from the system's own source
    static const char HEX[] = "0123456789abcdef";
    std::string epoch;
    for (unsigned char b : bytes) {
        epoch += HEX[b >> 4];
        epoch += HEX[b & 15];
    }
    return epoch;
}
