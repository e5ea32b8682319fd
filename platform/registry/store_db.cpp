// The store's database on SQLite.
//
// Tables: `keys` (id, parent, name, folded name) and `vals` (id, key, name,
// folded name, type, data). Key 0 is HKEY_LOCAL_MACHINE itself and has no row.
// Ids are never reused (AUTOINCREMENT), so a handle whose key was deleted and
// created again still refers to the deleted key and fails. Value ids give the
// creation order; re-setting a value updates its row and keeps its place.
//
// One connection per process, guarded by a mutex: the gateway calls the store
// from many threads, every call is short, and a single writer per process keeps
// SQLite's locking simple. Other processes share the file through WAL with a
// generous busy timeout. A connection inherited over fork() is abandoned (never
// used or closed by the child) and a new one is opened.

#include "platform/registry/store_db.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/core/clock.h"
#include "platform/registry/key_names.h"
#include "platform/registry/registry.h"
#include "platform/registry/store_file.h"

namespace varolan::reg {

namespace {

constexpr int BUSY_TIMEOUT_MS = 10000;
// Marks the file as this system's store ("VRLG").
constexpr int APPLICATION_ID = 0x56524C47;

// --- the store connection ----------------------------------------------------------

struct Store {
    std::mutex mu;
    sqlite3* db = nullptr;
    pid_t pid = 0;
    std::string path;
    std::map<const char*, sqlite3_stmt*> stmts;
    std::string last_error;
    // Set when SQLite reported the file as damaged or foreign. The connection
    // stays open until the call that saw it has finished (statements of that
    // call are still in use); the next call closes it and opens the file anew.
    bool broken = false;
};

// Never destroyed: detached session threads may still call the store while the
// process exits.
Store& store() {
    static Store* s = new Store;
    return *s;
}

void close_store(Store& s) {
    if (s.db == nullptr) {
        return;
    }
    if (s.pid == getpid()) {
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

// A cached prepared statement, reset when the holder goes out of scope.
class Stmt {
  public:
    Stmt(Store& s, const char* sql) {
        auto it = s.stmts.find(sql);
        if (it != s.stmts.end()) {
            st_ = it->second;
            return;
        }
        rc_ = sqlite3_prepare_v3(s.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &st_, nullptr);
        if (rc_ == SQLITE_OK) {
            s.stmts.emplace(sql, st_);
        } else {
            st_ = nullptr;
        }
    }
    ~Stmt() {
        if (st_) {
            sqlite3_reset(st_);
            sqlite3_clear_bindings(st_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    int prepare_rc() const { return rc_; }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(st_, i, v); }
    void bind(int i, std::string_view v) {
        static const char empty = 0;
        sqlite3_bind_blob(st_, i, v.empty() ? &empty : v.data(), static_cast<int>(v.size()),
                          SQLITE_TRANSIENT);
    }
    void bind(int i, const std::uint8_t* data, std::size_t n) {
        static const std::uint8_t empty = 0;
        sqlite3_bind_blob(st_, i, n == 0 ? &empty : data, static_cast<int>(n), SQLITE_TRANSIENT);
    }
    int step() { return st_ ? sqlite3_step(st_) : rc_; }
    std::int64_t int_col(int i) { return sqlite3_column_int64(st_, i); }
    std::string text_col(int i) {
        const void* p = sqlite3_column_blob(st_, i);
        int n = sqlite3_column_bytes(st_, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
                 : std::string();
    }
    std::vector<std::uint8_t> blob_col(int i) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(st_, i));
        int n = sqlite3_column_bytes(st_, i);
        return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
    }

  private:
    sqlite3_stmt* st_ = nullptr;
    int rc_ = SQLITE_OK;
};

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

LONG open_store(Store& s) {
    std::string path = store_path();
    if (s.db != nullptr && (s.broken || s.pid != getpid() || s.path != path)) {
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
    s.pid = getpid();
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

// One transaction; rolled back unless committed.
class Txn {
  public:
    explicit Txn(Store& s) : s_(s) {}
    ~Txn() {
        if (active_ && s_.db) {
            exec(s_, "ROLLBACK");
        }
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    LONG begin(bool write) {
        write_ = write;
        int rc = exec(s_, write ? "BEGIN IMMEDIATE" : "BEGIN");
        if (rc != SQLITE_OK) {
            return fail(s_, rc, write);
        }
        active_ = true;
        return ERROR_SUCCESS;
    }
    LONG commit() {
        int rc = exec(s_, "COMMIT");
        if (rc != SQLITE_OK) {
            return fail(s_, rc, write_);
        }
        active_ = false;
        return ERROR_SUCCESS;
    }

  private:
    Store& s_;
    bool active_ = false;
    bool write_ = false;
};

// Runs `body` inside one transaction with the store lock held. A successful
// body is committed; any failure rolls back.
template <typename F>
LONG transact(bool write, F&& body) {
    Store& s = store();
    std::lock_guard lock(s.mu);
    LONG status = open_store(s);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    Txn txn(s);
    status = txn.begin(write);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = body(s);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return txn.commit();
}

// --- table operations (inside a transaction) -------------------------------------

// ERROR_SUCCESS when key `id` exists, ERROR_KEY_DELETED when it is gone.
LONG check_alive(Store& s, std::int64_t id) {
    if (id == 0) {
        return ERROR_SUCCESS;
    }
    Stmt st(s, "SELECT 1 FROM keys WHERE id=?1");
    st.bind(1, id);
    int rc = st.step();
    if (rc == SQLITE_ROW) {
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : fail(s, rc, false);
}

// A transaction on key `id` (0: the root), which must still exist.
template <typename F>
LONG transact_on(bool write, std::int64_t id, F&& body) {
    return transact(write, [&](Store& s) -> LONG {
        LONG st = check_alive(s, id);
        return st != ERROR_SUCCESS ? st : body(s);
    });
}

// Finds child `name` of `parent`: *id = 0 when absent.
LONG find_child(Store& s, std::int64_t parent, std::string_view name, std::int64_t* id) {
    Stmt st(s, "SELECT id FROM keys WHERE parent=?1 AND fold=?2");
    st.bind(1, parent);
    st.bind(2, fold(name));
    int rc = st.step();
    *id = 0;
    if (rc == SQLITE_ROW) {
        *id = st.int_col(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, false);
}

LONG insert_child(Store& s, std::int64_t parent, std::string_view name, std::int64_t* id) {
    Stmt st(s, "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
    st.bind(1, parent);
    st.bind(2, name);
    st.bind(3, fold(name));
    int rc = st.step();
    if (rc != SQLITE_DONE) {
        return fail(s, rc, true);
    }
    *id = sqlite3_last_insert_rowid(s.db);
    return ERROR_SUCCESS;
}

// Walks `parts` below `start`. *id = 0 (and *missing = first absent index) when
// a component does not exist and `create` is false.
LONG walk(Store& s, std::int64_t start, const std::vector<std::string_view>& parts, bool create,
          std::int64_t* id, bool* created) {
    std::int64_t cur = start;
    *created = false;
    for (std::string_view part : parts) {
        std::int64_t next = 0;
        LONG status = find_child(s, cur, part, &next);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (next == 0) {
            if (!create) {
                *id = 0;
                return ERROR_SUCCESS;
            }
            status = insert_child(s, cur, part, &next);
            if (status != ERROR_SUCCESS) {
                return status;
            }
            *created = true;
        } else {
            *created = false;
        }
        cur = next;
    }
    *id = cur;
    return ERROR_SUCCESS;
}

LONG child_names(Store& s, std::int64_t parent, std::vector<std::string>& names) {
    Stmt st(s, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold");
    st.bind(1, parent);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        names.push_back(st.text_col(0));
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, false);
}

}  // namespace

LONG db_walk(std::int64_t start, const std::vector<std::string_view>& parts, bool create,
             std::int64_t* id, bool* created) {
    return transact_on(create, start, [&](Store& s) -> LONG {
        return walk(s, start, parts, create, id, created);
    });
}

LONG db_child_names(std::int64_t parent, std::vector<std::string>& names) {
    return transact_on(false, parent,
                       [&](Store& s) -> LONG { return child_names(s, parent, names); });
}

LONG db_read_value(std::int64_t id, std::string_view name, bool* found, DWORD* type,
                   std::vector<std::uint8_t>* data) {
    *found = false;
    return transact_on(false, id, [&](Store& s) -> LONG {
        Stmt q(s, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
        q.bind(1, id);
        q.bind(2, fold(name));
        int rc = q.step();
        if (rc == SQLITE_ROW) {
            *found = true;
            *type = static_cast<DWORD>(q.int_col(0));
            *data = q.blob_col(1);
            return ERROR_SUCCESS;
        }
        return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, false);
    });
}

LONG db_write_value(std::int64_t id, std::string_view name, DWORD type, const std::uint8_t* data,
                    DWORD size) {
    return transact_on(true, id, [&](Store& s) -> LONG {
        {
            Stmt up(s, "UPDATE vals SET type=?1, data=?2 WHERE key=?3 AND fold=?4");
            up.bind(1, static_cast<std::int64_t>(type));
            up.bind(2, data, size);
            up.bind(3, id);
            up.bind(4, fold(name));
            int rc = up.step();
            if (rc != SQLITE_DONE) {
                return fail(s, rc, true);
            }
            if (sqlite3_changes(s.db) > 0) {
                return ERROR_SUCCESS;
            }
        }
        Stmt ins(s, "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)");
        ins.bind(1, id);
        ins.bind(2, name);
        ins.bind(3, fold(name));
        ins.bind(4, static_cast<std::int64_t>(type));
        ins.bind(5, data, size);
        int rc = ins.step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, true);
    });
}

LONG db_delete_value(std::int64_t id, std::string_view name) {
    return transact_on(true, id, [&](Store& s) -> LONG {
        Stmt del(s, "DELETE FROM vals WHERE key=?1 AND fold=?2");
        del.bind(1, id);
        del.bind(2, fold(name));
        int rc = del.step();
        if (rc != SQLITE_DONE) {
            return fail(s, rc, true);
        }
        return sqlite3_changes(s.db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG db_value_at(std::int64_t id, DWORD index, bool* found, std::string* name, DWORD* type,
                 std::vector<std::uint8_t>* data) {
    *found = false;
    return transact_on(false, id, [&](Store& s) -> LONG {
        Stmt q(s, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2");
        q.bind(1, id);
        q.bind(2, static_cast<std::int64_t>(index));
        int rc = q.step();
        if (rc == SQLITE_ROW) {
            *found = true;
            *name = q.text_col(0);
            *type = static_cast<DWORD>(q.int_col(1));
            *data = q.blob_col(2);
            return ERROR_SUCCESS;
        }
        return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, false);
    });
}

LONG db_delete_key(std::int64_t start, const std::vector<std::string_view>& parts) {
    return transact_on(true, start, [&](Store& s) -> LONG {
        std::int64_t id = 0;
        bool created = false;
        LONG st = walk(s, start, parts, false, &id, &created);
        if (st != ERROR_SUCCESS) {
            return st;
        }
        if (id == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        {
            Stmt kids(s, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
            kids.bind(1, id);
            int rc = kids.step();
            if (rc == SQLITE_ROW) {
                return ERROR_ACCESS_DENIED;
            }
            if (rc != SQLITE_DONE) {
                return fail(s, rc, false);
            }
        }
        Stmt dv(s, "DELETE FROM vals WHERE key=?1");
        dv.bind(1, id);
        int rc = dv.step();
        if (rc != SQLITE_DONE) {
            return fail(s, rc, true);
        }
        Stmt dk(s, "DELETE FROM keys WHERE id=?1");
        dk.bind(1, id);
        rc = dk.step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, true);
    });
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
