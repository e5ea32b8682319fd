// The key calls of the store: handles with their access rights, the volatile
// HARDWARE tree, and the registry's semantics over the tables of store_db.cpp.

#include "platform/registry/registry.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/registry/key_names.h"
#include "platform/registry/store_db.h"

namespace varolan::reg {

namespace {

enum class Kind { root, db, hardware, devicemap, serialcomm };

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
    status = db_walk(start, parts, false, &id, &created);
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
        status = db_walk(start, parts, true, &id, &created);
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
        status = db_read_value(key.state()->id, name, &found, &stored_type, &stored);
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
    return db_write_value(id, name, type, data, size);
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
    return db_delete_value(id, name);
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
        status = db_child_names(id, names);
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
        status = db_value_at(id, index, &found, &found_name, &found_type, &found_data);
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
    return db_delete_key(start, parts);
}

}  // namespace varolan::reg
