#include "tools/varolan-reg/store_view.h"

#include "platform/core/text.h"

namespace varolan::regtool {

LONG list_values(const reg::Key& key, std::vector<StoredValue>& values) {
    values.clear();
    for (DWORD i = 0;; ++i) {
        StoredValue v;
        LONG status = reg::enum_value(key, i, v.name, &v.type, &v.data);
        if (status == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        values.push_back(std::move(v));
    }
}

LONG list_subkeys(const reg::Key& key, std::vector<std::string>& names) {
    names.clear();
    for (DWORD i = 0;; ++i) {
        std::string name;
        LONG status = reg::enum_key(key, i, name, 0);
        if (status == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        names.push_back(std::move(name));
    }
}

std::string full_name(std::string_view path) {
    std::string out(ROOT_NAME);
    if (!path.empty()) {
        out += '\\';
        out += path;
    }
    return out;
}

std::string join(std::string_view parent, std::string_view child) {
    if (parent.empty()) {
        return std::string(child);
    }
    return std::string(parent) + "\\" + std::string(child);
}

std::string status_text(LONG status) {
    switch (static_cast<DWORD>(status)) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_KEY_DELETED:
            return "key was deleted";
        case ERROR_MORE_DATA:
            return "data too long";
        case ERROR_INVALID_PARAMETER:
            return "invalid name";
        case ERROR_BADDB:
        case ERROR_CANTOPEN:
        case ERROR_CANTREAD:
        case ERROR_CANTWRITE:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_SHARING_VIOLATION:
        case ERROR_NOT_ENOUGH_MEMORY: {
            std::string text = reg::last_store_error();
            return text.empty() ? "store error " + std::to_string(status) : text;
        }
        default:
            return "error " + std::to_string(status);
    }
}

bool parse_u32(std::string_view s, bool decimal_ok, std::uint32_t& out) {
    unsigned base = 16;
    if (decimal_ok) {
        base = 10;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            s.remove_prefix(2);
            base = 16;
        }
    }
    if (s.empty()) {
        return false;
    }
    std::uint64_t v = 0;
    for (char c : s) {
        int d = hex_digit_value(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) {
            return false;
        }
        v = v * base + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) {
            return false;
        }
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

LONG read_value(const reg::Key& key, std::string_view name, DWORD& type,
                std::vector<std::uint8_t>& data) {
    DWORD size = 0;
    LONG status = reg::query_value(key, name, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    data.assign(size, 0);
    status = reg::query_value(key, name, &type, data.data(), &size);
    data.resize(size);
    return status;
}

bool section_path(std::string_view name, std::string& path) {
    for (std::string_view root :
         {std::string_view("HKEY_LOCAL_MACHINE"), std::string_view("HKLM")}) {
        if (name.size() >= root.size() && equal_nocase(name.substr(0, root.size()), root) &&
            (name.size() == root.size() || name[root.size()] == '\\')) {
            std::string rest(name.substr(root.size()));
            // Normalise separators the way the store reads them.
            std::string out;
            std::size_t p = 0;
            while (p <= rest.size()) {
                std::size_t e = rest.find('\\', p);
                if (e == std::string::npos) {
                    e = rest.size();
                }
                if (e > p) {
                    if (!out.empty()) {
                        out += '\\';
                    }
                    out.append(rest, p, e - p);
                }
                p = e + 1;
            }
            path = out;
            return true;
        }
    }
    return false;
}

LONG open_for_write(const std::string& path, reg::Key& key) {
    return reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key);
}

}  // namespace varolan::regtool
