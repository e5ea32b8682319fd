// The configuration store on SQLite.
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

#include "platform/registry/registry.h"

#include "platform/core/clock.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

namespace varolan::reg {

namespace {

constexpr const char* DEFAULT_STORE = "/var/lib/varolan/registry.db";
constexpr int BUSY_TIMEOUT_MS = 10000;
constexpr std::size_t MAX_KEY_NAME = 255;
// Marks the file as this system's store ("VRLG").
constexpr int APPLICATION_ID = 0x56524C47;

enum class Kind { root, db, hardware, devicemap, serialcomm };

std::string fold(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > pos) {
            parts.push_back(path.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return parts;
}

std::string join_path(const std::vector<std::string_view>& parts) {
    std::string out;
    for (std::string_view p : parts) {
        if (!out.empty()) {
            out += '\\';
        }
        out += p;
    }
    return out;
}

std::string child_path(const std::string& parent, const std::vector<std::string_view>& parts) {
    std::string rest = join_path(parts);
    if (parent.empty()) {
        return rest;
    }
    if (rest.empty()) {
        return parent;
    }
    return parent + "\\" + rest;
}

// Natural order of tty names: ttyS2 before ttyS10.
bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = a[i] >= '0' && a[i] <= '9';
        bool db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && a[ie] >= '0' && a[ie] <= '9') {
                ++ie;
            }
            while (je < b.size() && b[je] >= '0' && b[je] <= '9') {
                ++je;
            }
            std::string_view na = std::string_view(a).substr(i, ie - i);
            std::string_view nb = std::string_view(b).substr(j, je - j);
            while (na.size() > 1 && na.front() == '0') {
                na.remove_prefix(1);
            }
            while (nb.size() > 1 && nb.front() == '0') {
                nb.remove_prefix(1);
            }
            if (na.size() != nb.size()) {
                return na.size() < nb.size();
            }
            if (na != nb) {
                return na < nb;
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

// --- handles -------------------------------------------------------------------

class KeyState {
  public:
    Kind kind = Kind::db;
    std::int64_t id = 0;
    std::string path;
    DWORD access = 0;
    std::vector<SerialPort> ports;  // SERIALCOMM: the snapshot made at open
};

Key::Key() = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
Key::Key(std::unique_ptr<KeyState> state) : state_(std::move(state)) {}

void Key::close() {
    state_.reset();
}

std::string Key::path() const {
    return state_ ? state_->path : std::string();
}

DWORD Key::access() const {
    return state_ ? state_->access : KEY_ALL_ACCESS;
}

namespace {

Kind kind_of(const Key& k) {
    return k.state() ? k.state()->kind : Kind::root;
}
std::int64_t id_of(const Key& k) {
    return k.state() ? k.state()->id : 0;
}

// --- fault injection -------------------------------------------------------------

struct Fault {
    Op op;
    std::string key;    // folded, normalised; empty = any
    std::string value;  // folded; empty = any
    LONG status;
    unsigned count;  // 0 = every call
};

std::mutex& faults_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::vector<Fault>& faults() {
    static std::vector<Fault>* f = new std::vector<Fault>;
    return *f;
}

LONG injected(Op op, std::string_view key_path, std::string_view value_name) {
    std::lock_guard lock(faults_mutex());
    auto& list = faults();
    if (list.empty()) {
        return ERROR_SUCCESS;
    }
    std::string key = fold(join_path(split_path(key_path)));
    std::string value = fold(value_name);
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->op != op || (!it->key.empty() && it->key != key) ||
            (!it->value.empty() && it->value != value)) {
            continue;
        }
        LONG status = it->status;
        if (it->count > 0 && --it->count == 0) {
            list.erase(it);
        }
        return status;
    }
    return ERROR_SUCCESS;
}

// --- observation -------------------------------------------------------------------

std::atomic<bool> g_observing{false};
std::mutex& observer_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
OpenObserver& observer() {
    static OpenObserver* o = new OpenObserver;
    return *o;
}

void observe_open(Op op, const std::string& path, DWORD access) {
    if (!g_observing.load(std::memory_order_acquire)) {
        return;
    }
    OpenObserver copy;
    {
        std::lock_guard lock(observer_mutex());
        copy = observer();
    }
    // Called without the lock, so the observer may use the store itself.
    if (copy) {
        copy(op, path, access);
    }
}

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
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            s.last_error =
                "cannot create the directory of store file '" + path + "': " + ec.message();
            return ERROR_PATH_NOT_FOUND;
        }
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

// --- the volatile HARDWARE tree ----------------------------------------------------

// Kind of the virtual key at the full path `parts` (first component HARDWARE),
// or nullopt when no such key exists.
std::optional<Kind> hardware_kind(const std::vector<std::string_view>& parts) {
    static const char* const names[] = {"HARDWARE", "DEVICEMAP", "SERIALCOMM"};
    static const Kind kinds[] = {Kind::hardware, Kind::devicemap, Kind::serialcomm};
    if (parts.empty() || parts.size() > 3) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (fold(parts[i]) != names[i]) {
            return std::nullopt;
        }
    }
    return kinds[parts.size() - 1];
}

bool is_virtual(Kind k) {
    return k == Kind::hardware || k == Kind::devicemap || k == Kind::serialcomm;
}

bool valid_names(const std::vector<std::string_view>& parts) {
    for (std::string_view p : parts) {
        if (p.size() > MAX_KEY_NAME || p.find('\0') != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::unique_ptr<KeyState> make_state(Kind kind, std::int64_t id, std::string path, DWORD access) {
    auto st = std::make_unique<KeyState>();
    st->kind = kind;
    st->id = id;
    st->path = std::move(path);
    st->access = access;
    if (kind == Kind::serialcomm) {
        st->ports = current_device_map();
    }
    return st;
}

// Shared by create_key and open_key.
LONG open_or_create(const Key& parent, std::string_view subkey, DWORD access, Key& out,
                    DWORD* disposition, bool create) {
    std::vector<std::string_view> parts = split_path(subkey);
    std::string full = child_path(parent.path(), parts);
    observe_open(create ? Op::create_key : Op::open_key, full, access);
    LONG status = injected(create ? Op::create_key : Op::open_key, full, "");
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!valid_names(parts)) {
        return ERROR_INVALID_PARAMETER;
    }
    Kind pkind = kind_of(parent);
    if (pkind != Kind::db) {
        std::vector<std::string_view> all = split_path(full);
        if (all.empty()) {
            out = Key(make_state(Kind::root, 0, std::string(), access));
            if (disposition) {
                *disposition = REG_OPENED_EXISTING_KEY;
            }
            return ERROR_SUCCESS;
        }
        if (fold(all[0]) == "HARDWARE") {
            std::optional<Kind> k = hardware_kind(all);
            if (!k) {
                return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
            }
            out = Key(make_state(*k, 0, full, access));
            if (disposition) {
                *disposition = REG_OPENED_EXISTING_KEY;
            }
            return ERROR_SUCCESS;
        }
    }
    std::int64_t start = id_of(parent);
    std::int64_t id = 0;
    bool created = false;
    // Most opens find the key: look first in a read transaction so readers do
    // not queue for the write lock.
    status = transact_on(false, start, [&](Store& s) -> LONG {
        return walk(s, start, parts, false, &id, &created);
    });
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (id == 0) {
        if (!create) {
            return ERROR_FILE_NOT_FOUND;
        }
        if ((parent.access() & KEY_CREATE_SUB_KEY) != KEY_CREATE_SUB_KEY) {
            return ERROR_ACCESS_DENIED;
        }
        status = transact_on(true, start, [&](Store& s) -> LONG {
            return walk(s, start, parts, true, &id, &created);
        });
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    out = Key(make_state(id == 0 ? Kind::root : Kind::db, id, full, access));
    if (disposition) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
}

bool has_access(const Key& key, DWORD needed) {
    return (key.access() & needed) == needed;
}

}  // namespace

// --- public calls ------------------------------------------------------------------

LONG create_key(const Key& parent, std::string_view subkey, DWORD access, Key& out,
                DWORD* disposition) {
    return open_or_create(parent, subkey, access, out, disposition, true);
}

LONG open_key(const Key& parent, std::string_view subkey, DWORD access, Key& out) {
    return open_or_create(parent, subkey, access, out, nullptr, false);
}

LONG query_value(const Key& key, std::string_view name, DWORD* type, std::uint8_t* data,
                 DWORD* size) {
    LONG status = injected(Op::query_value, key.path(), name);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (data != nullptr && size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!has_access(key, KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    DWORD stored_type = REG_NONE;
    std::vector<std::uint8_t> stored;
    Kind kind = kind_of(key);
    if (kind == Kind::serialcomm) {
        std::string f = fold(name);
        auto it = std::find_if(key.state()->ports.begin(), key.state()->ports.end(),
                               [&](const SerialPort& p) { return fold(p.name) == f; });
        if (it == key.state()->ports.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        stored_type = REG_SZ;
        stored.assign(it->tty.begin(), it->tty.end());
        stored.push_back(0);
    } else if (kind != Kind::db) {
        return ERROR_FILE_NOT_FOUND;
    } else {
        bool found = false;
        status = transact_on(false, key.state()->id, [&](Store& s) -> LONG {
            Stmt q(s, "SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
            q.bind(1, key.state()->id);
            q.bind(2, fold(name));
            int rc = q.step();
            if (rc == SQLITE_ROW) {
                found = true;
                stored_type = static_cast<DWORD>(q.int_col(0));
                stored = q.blob_col(1);
                return ERROR_SUCCESS;
            }
            return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, false);
        });
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (!found) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    if (type) {
        *type = stored_type;
    }
    DWORD needed = static_cast<DWORD>(stored.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed > 0) {
            std::memcpy(data, stored.data(), needed);
        }
    }
    if (size) {
        *size = needed;
    }
    return ERROR_SUCCESS;
}

LONG set_value(const Key& key, std::string_view name, DWORD type, const std::uint8_t* data,
               DWORD size) {
    LONG status = injected(Op::set_value, key.path(), name);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (data == nullptr && size > 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!has_access(key, KEY_SET_VALUE) || kind_of(key) != Kind::db) {
        return ERROR_ACCESS_DENIED;
    }
    std::int64_t id = key.state()->id;
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

LONG delete_value(const Key& key, std::string_view name) {
    LONG status = injected(Op::delete_value, key.path(), name);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!has_access(key, KEY_SET_VALUE) || kind_of(key) != Kind::db) {
        return ERROR_ACCESS_DENIED;
    }
    std::int64_t id = key.state()->id;
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

LONG enum_key(const Key& key, DWORD index, std::string& name, DWORD name_capacity) {
    name.clear();
    LONG status = injected(Op::enum_key, key.path(), "");
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!has_access(key, KEY_ENUMERATE_SUB_KEYS)) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<std::string> names;
    Kind kind = kind_of(key);
    if (kind == Kind::hardware) {
        names.push_back("DEVICEMAP");
    } else if (kind == Kind::devicemap) {
        names.push_back("SERIALCOMM");
    } else if (kind == Kind::root || kind == Kind::db) {
        std::int64_t id = id_of(key);
        status =
            transact_on(false, id, [&](Store& s) -> LONG { return child_names(s, id, names); });
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (kind == Kind::root) {
            names.push_back("HARDWARE");
            std::stable_sort(
                names.begin(), names.end(),
                [](const std::string& a, const std::string& b) { return fold(a) < fold(b); });
        }
    }
    if (index >= names.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (name_capacity != 0 && names[index].size() + 1 > name_capacity) {
        return ERROR_MORE_DATA;
    }
    name = names[index];
    return ERROR_SUCCESS;
}

LONG enum_value(const Key& key, DWORD index, std::string& name, DWORD* type,
                std::vector<std::uint8_t>* data, DWORD name_capacity, DWORD data_capacity) {
    name.clear();
    if (data) {
        data->clear();
    }
    LONG status = injected(Op::enum_value, key.path(), "");
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!has_access(key, KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    std::string found_name;
    DWORD found_type = REG_NONE;
    std::vector<std::uint8_t> found_data;
    bool found = false;
    Kind kind = kind_of(key);
    if (kind == Kind::serialcomm) {
        const auto& ports = key.state()->ports;
        if (index < ports.size()) {
            found = true;
            found_name = ports[index].name;
            found_type = REG_SZ;
            found_data.assign(ports[index].tty.begin(), ports[index].tty.end());
            found_data.push_back(0);
        }
    } else if (kind == Kind::db) {
        std::int64_t id = key.state()->id;
        status = transact_on(false, id, [&](Store& s) -> LONG {
            Stmt q(s,
                   "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2");
            q.bind(1, id);
            q.bind(2, static_cast<std::int64_t>(index));
            int rc = q.step();
            if (rc == SQLITE_ROW) {
                found = true;
                found_name = q.text_col(0);
                found_type = static_cast<DWORD>(q.int_col(1));
                found_data = q.blob_col(2);
                return ERROR_SUCCESS;
            }
            return rc == SQLITE_DONE ? ERROR_SUCCESS : fail(s, rc, false);
        });
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    if (!found) {
        return ERROR_NO_MORE_ITEMS;
    }
    if (name_capacity != 0 && found_name.size() + 1 > name_capacity) {
        return ERROR_MORE_DATA;
    }
    name = std::move(found_name);
    if (type) {
        *type = found_type;
    }
    if (data_capacity != 0 && found_data.size() > data_capacity) {
        return ERROR_MORE_DATA;
    }
    if (data) {
        *data = std::move(found_data);
    }
    return ERROR_SUCCESS;
}

LONG delete_key(const Key& parent, std::string_view subkey) {
    std::vector<std::string_view> parts = split_path(subkey);
    std::string full = child_path(parent.path(), parts);
    LONG status = injected(Op::delete_key, full, "");
    if (status != ERROR_SUCCESS) {
        return status;
    }
    Kind pkind = kind_of(parent);
    if (is_virtual(pkind)) {
        return ERROR_ACCESS_DENIED;
    }
    if (pkind == Kind::root) {
        std::vector<std::string_view> all = split_path(full);
        if (all.empty() || fold(all[0]) == "HARDWARE") {
            return ERROR_ACCESS_DENIED;
        }
    }
    std::int64_t start = id_of(parent);
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

std::string store_path() {
    const char* env = std::getenv("VAROLAN_REGISTRY");
    return env && *env ? std::string(env) : std::string(DEFAULT_STORE);
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

void inject_fault(Op op, std::string_view key_path, std::string_view value_name, LONG status,
                  unsigned count) {
    std::lock_guard lock(faults_mutex());
    faults().push_back(
        Fault{op, fold(join_path(split_path(key_path))), fold(value_name), status, count});
}

void clear_faults() {
    std::lock_guard lock(faults_mutex());
    faults().clear();
}

void set_open_observer(OpenObserver o) {
    std::lock_guard lock(observer_mutex());
    g_observing.store(static_cast<bool>(o), std::memory_order_release);
    observer() = std::move(o);
}

// --- device map ------------------------------------------------------------------

namespace {

std::string trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

bool read_text(const std::filesystem::path& p, std::string& out) {
    FILE* f = std::fopen(p.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    out.clear();
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.append(buf, n);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// tty name -> udev link name, from one /dev/serial/<dir> folder (first link in
// name order wins).
std::map<std::string, std::string> udev_links(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::vector<std::string> links;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        links.push_back(it->path().filename().string());
    }
    std::sort(links.begin(), links.end());
    std::map<std::string, std::string> out;
    for (const std::string& link : links) {
        std::error_code lec;
        fs::path target = fs::read_symlink(dir / link, lec);
        if (lec) {
            continue;
        }
        out.emplace(target.filename().string(), link);
    }
    return out;
}

// The utility names a port key after the port's value name, so a name must be
// one key name: not empty, no separator (it would make nested keys), within
// the key name limit.
bool usable_port_name(std::string_view name) {
    return !name.empty() && name.size() <= MAX_KEY_NAME &&
           name.find_first_of(std::string_view("\\\0", 2)) == std::string_view::npos;
}

}  // namespace

std::vector<SerialPort> scan_serial_ports(const std::string& sysfs_root,
                                          const std::string& dev_root) {
    namespace fs = std::filesystem;
    std::vector<std::string> ttys;
    std::error_code ec;
    fs::path cls = fs::path(sysfs_root) / "class" / "tty";
    for (fs::directory_iterator it(cls, ec), end; !ec && it != end; it.increment(ec)) {
        fs::path entry = it->path();
        std::error_code xec;
        if (!fs::exists(entry / "device" / "driver", xec)) {
            continue;  // virtual consoles, ptys and the like
        }
        std::string type;
        if (read_text(entry / "type", type) && trim(type) == "0") {
            continue;  // a serial placeholder without a UART behind it
        }
        ttys.push_back(entry.filename().string());
    }
    std::sort(ttys.begin(), ttys.end(), natural_less);
    auto by_id = udev_links(fs::path(dev_root) / "serial" / "by-id");
    auto by_path = udev_links(fs::path(dev_root) / "serial" / "by-path");
    std::vector<SerialPort> ports;
    for (const std::string& tty : ttys) {
        SerialPort port{tty, tty};
        if (tty.rfind("ttyUSB", 0) == 0 || tty.rfind("ttyACM", 0) == 0) {
            auto it = by_id.find(tty);
            auto pt = by_path.find(tty);
            if (it != by_id.end() && usable_port_name(it->second)) {
                port.name = it->second;
            } else if (pt != by_path.end() && usable_port_name(pt->second)) {
                port.name = pt->second;
            }
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

bool read_device_map_file(const std::string& path, std::vector<SerialPort>& out) {
    out.clear();
    std::string text;
    if (!read_text(path, text)) {
        return false;
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        SerialPort port{trim(std::string_view(line).substr(0, eq)),
                        trim(std::string_view(line).substr(eq + 1))};
        // A key holds one value per name: a repeated name keeps its first line.
        bool seen = std::any_of(out.begin(), out.end(), [&](const SerialPort& p) {
            return fold(p.name) == fold(port.name);
        });
        if (usable_port_name(port.name) && !port.tty.empty() && !seen) {
            out.push_back(std::move(port));
        }
    }
    return true;
}

std::vector<SerialPort> current_device_map() {
    const char* file = std::getenv("VAROLAN_DEVICEMAP");
    std::vector<SerialPort> ports;
    if (file && *file) {
        read_device_map_file(file, ports);
        return ports;
    }
    return scan_serial_ports("/sys", "/dev");
}

}  // namespace varolan::reg
