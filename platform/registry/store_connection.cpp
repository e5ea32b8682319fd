// The store's connection on SQLite: opening the file, checking that it is
// this system's store, making its tables, and SQLite's codes as store statuses.
//
// One connection per process, guarded by a mutex: the gateway calls the store
// from many threads, every call is short, and a single writer per process keeps
// SQLite's locking simple. Other processes share the file through WAL with a
// generous busy timeout. A connection inherited over fork() is abandoned (never
// used or closed by the child) and a new one is opened.

#include "platform/registry/store_connection.h"

#include <pthread.h>

#include <atomic>

#include "platform/core/clock.h"
#include "platform/registry/registry.h"
#include "platform/registry/store_file.h"

namespace varolan::reg {

namespace {

constexpr int BUSY_TIMEOUT_MS = 10000;
// Marks the file as this system's store ("VRLG").
constexpr int APPLICATION_ID = 0x56524C47;

void close_store(Store& s) {
    if (s.db == nullptr) {
        return;
    }
    if (s.pid == current_pid()) {
        for (auto& [sql, st] : s.stmts) {
            sqlite3_finalize(st);
        }
        sqlite3_close_v2(s.db);
    }
    // A connection inherited over fork belongs to the parent: leave it alone.
    s.stmts.clear();
    s.db = nullptr;
    s.broken = false;
}

LONG create_schema(Store& s, int* failed_rc) {
    int rc = exec(s, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        *failed_rc = rc;
        return fail(s, rc, true);
    }
    rc = exec(s,
              "CREATE TABLE IF NOT EXISTS keys("
              " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
              " name BLOB NOT NULL, fold BLOB NOT NULL, UNIQUE(parent, fold));"
              "CREATE TABLE IF NOT EXISTS vals("
              " id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
              " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL,"
              " data BLOB NOT NULL, UNIQUE(key, fold));"
              "PRAGMA application_id = 1448234055;");
    if (rc == SQLITE_OK) {
        rc = exec(s, "COMMIT");
    }
    if (rc != SQLITE_OK) {
        *failed_rc = rc;
        exec(s, "ROLLBACK");
        return fail(s, rc, true);
    }
    return ERROR_SUCCESS;
}

// Checks that the file is this system's store (or empty), switches it to WAL
// and makes the tables. On an SQLite failure, *failed_rc holds its code.
LONG initialise(Store& s, int* failed_rc) {
    // The first statement that reads the file tells a foreign file apart. One
    // statement reads both marks, so another process making the tables cannot
    // be seen half-way.
    std::int64_t app_id = 0;
    std::int64_t tables = 0;
    int rc;
    {
        Stmt st(s,
                "SELECT (SELECT application_id FROM pragma_application_id()),"
                " (SELECT count(*) FROM sqlite_master WHERE type='table')");
        rc = st.step();
        if (rc == SQLITE_ROW) {
            app_id = st.int_col(0);
            tables = st.int_col(1);
            rc = SQLITE_OK;
        }
    }
    if (rc != SQLITE_OK) {
        *failed_rc = rc;
        return fail(s, rc, false);
    }
    if (app_id != APPLICATION_ID && (app_id != 0 || tables != 0)) {
        s.last_error = "store file '" + s.path + "' is a database of another program";
        return ERROR_BADDB;
    }
    // WAL lets readers go on while another process writes; FULL sync makes
    // every committed call durable. A killed writer leaves the last commit.
    rc = exec(s, "PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) {
        rc = exec(s, "PRAGMA synchronous=FULL");
    }
    if (rc != SQLITE_OK) {
        *failed_rc = rc;
        return fail(s, rc, true);
    }
    if (app_id != APPLICATION_ID) {
        return create_schema(s, failed_rc);
    }
    return ERROR_SUCCESS;
}

}  // namespace

LONG open_store(Store& s) {
    std::string path = store_path();
    if (s.db != nullptr && (s.broken || s.pid != current_pid() || s.path != path)) {
        close_store(s);
    }
    if (s.db != nullptr) {
        return ERROR_SUCCESS;
    }
    s.path = path;
    if (LONG status = prepare_store_file(path, s.last_error); status != ERROR_SUCCESS) {
        return status;
    }
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        s.last_error = "cannot open store file '" + path +
                       "': " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return ERROR_CANTOPEN;
    }
    s.db = db;
    s.pid = current_pid();
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);

    // Another process may be creating the same file this moment (switching
    // it to WAL or making the tables): such steps can report "busy" without
    // waiting, so the set-up is retried until the busy timeout has passed.
    std::uint64_t deadline = monotonic_ms() + BUSY_TIMEOUT_MS;
    while (true) {
        int failed_rc = SQLITE_OK;
        LONG status = initialise(s, &failed_rc);
        int primary = failed_rc & 0xff;
        if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || monotonic_ms() >= deadline) {
            if (status != ERROR_SUCCESS) {
                close_store(s);
            }
            return status;
        }
        SystemClock().sleep_ms(5);  // a back-off of the store itself, not a product delay
    }
}

Store& store() {
    static Store* s = new Store;
    return *s;
}

LONG fail(Store& s, int rc, bool write) {
    std::string msg = s.db ? sqlite3_errmsg(s.db) : sqlite3_errstr(rc);
    int primary = rc & 0xff;
    LONG status;
    switch (primary) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            s.last_error = "store file '" + s.path + "' is not a valid database (" + msg + ")";
            status = ERROR_BADDB;
            break;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            s.last_error = "store file '" + s.path + "' is read-only (" + msg + ")";
            status = ERROR_ACCESS_DENIED;
            break;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            s.last_error = "store file '" + s.path + "' stayed locked by another process";
            status = ERROR_SHARING_VIOLATION;
            break;
        case SQLITE_NOMEM:
            s.last_error = "out of memory in the store";
            status = ERROR_NOT_ENOUGH_MEMORY;
            break;
        case SQLITE_CANTOPEN:
            s.last_error = "cannot open store file '" + s.path + "' (" + msg + ")";
            status = ERROR_CANTOPEN;
            break;
        default:
            s.last_error = "store file '" + s.path + "': " + msg;
            status = write ? ERROR_CANTWRITE : ERROR_CANTREAD;
            break;
    }
    if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
        // Reopen at the next call (the file may be replaced). Not closed here:
        // the caller's statements are still in scope and are reset when they go.
        s.broken = true;
    }
    return status;
}

int exec(Store& s, const char* sql) {
    return sqlite3_exec(s.db, sql, nullptr, nullptr, nullptr);
}

int run_cached(Store& s, const char* sql) {
    Stmt st(s, sql);
    const int rc = st.step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

namespace {

std::atomic<pid_t> cached_pid{0};

void note_child_pid() {
    cached_pid.store(::getpid(), std::memory_order_relaxed);
}

}  // namespace

pid_t current_pid() {
    static std::once_flag once;
    std::call_once(once, [] {
        note_child_pid();
        ::pthread_atfork(nullptr, nullptr, note_child_pid);
    });
    return cached_pid.load(std::memory_order_relaxed);
}

LONG verify_store() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    const std::string path = store_path();
    if (LONG status = check_store_present(path, s.last_error); status != ERROR_SUCCESS) {
        return status;
    }
    if (LONG status = open_store(s); status != ERROR_SUCCESS) {
        return status;
    }
    // The first problem found in the pages, or "ok".
    Stmt check(s, "PRAGMA quick_check(1)");
    int rc = check.step();
    if (rc != SQLITE_ROW) {
        return fail(s, rc, false);
    }
    const std::string verdict = check.text_col(0);
    if (verdict != "ok") {
        s.last_error = "store file '" + path + "' is damaged (" + verdict + ")";
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

std::string last_store_error() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    return s.last_error;
}

void reset_store() {
    Store& s = store();
    std::lock_guard lock(s.mu);
    close_store(s);
    s.last_error.clear();
}

}  // namespace varolan::reg
