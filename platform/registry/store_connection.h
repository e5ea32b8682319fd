// The store's one SQLite connection and what every operation on its tables
// uses: the prepared-statement cache, the translation of SQLite's codes into
// store statuses, and transactions. Shared by the files of this folder only.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/winerror.h"

namespace varolan::reg {

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

// The process's connection. Never destroyed: detached session threads may
// still call the store while the process exits.
Store& store();

// Opens (or reopens: after fork, a damaged file or a new path) the store file
// and makes it ready; the caller holds `s.mu`.
LONG open_store(Store& s);

// The store status for SQLite's `rc`, with `s.last_error` saying why; a
// damaged or foreign file makes the next call reopen it.
LONG fail(Store& s, int rc, bool write);

int exec(Store& s, const char* sql);

// Runs one statement through the statement cache: SQLITE_OK when it ran to its
// end, else SQLite's code. For the statements every call runs (beginning and
// ending its transaction), whose parsing would otherwise cost more than the
// read they guard.
int run_cached(Store& s, const char* sql);

// This process's id, without a system call on every store call (a child of
// fork() learns its own).
pid_t current_pid();

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

// One transaction; rolled back unless committed.
class Txn {
  public:
    explicit Txn(Store& s) : s_(s) {}
    ~Txn() {
        if (active_ && s_.db) {
            run_cached(s_, "ROLLBACK");
        }
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    LONG begin(bool write) {
        write_ = write;
        int rc = run_cached(s_, write ? "BEGIN IMMEDIATE" : "BEGIN");
        if (rc != SQLITE_OK) {
            return fail(s_, rc, write);
        }
        active_ = true;
        return ERROR_SUCCESS;
    }
    LONG commit() {
        int rc = run_cached(s_, "COMMIT");
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

}  // namespace varolan::reg
