// The store's database on SQLite.
//
// Tables: `keys` (id, parent, name, folded name) and `vals` (id, key, name,
// folded name, type, data). Key 0 is HKEY_LOCAL_MACHINE itself and has no row.
// Ids are never reused (AUTOINCREMENT), so a handle whose key was deleted and
// created again still refers to the deleted key and fails. Value ids give the
// creation order; re-setting a value updates its row and keeps its place.

#include "platform/registry/store_db.h"

#include "platform/registry/key_names.h"
#include "platform/registry/store_connection.h"

namespace varolan::reg {

namespace {

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

}  // namespace varolan::reg
