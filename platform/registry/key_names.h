// Key and value names inside the store: case folding, path splitting, and the
// test hooks every key call passes through. Shared by the files of this folder
// only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/text.h"
#include "platform/registry/registry.h"

namespace varolan::reg {

inline constexpr std::size_t MAX_KEY_NAME = 255;

// Names compare with ASCII letters folded to upper case.
inline std::string fold(std::string_view s) {
    return to_upper(s);
}

// The non-empty components of a backslash path.
inline std::vector<std::string_view> split_path(std::string_view path) {
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

inline std::string join_path(const std::vector<std::string_view>& parts) {
    std::string out;
    for (std::string_view p : parts) {
        if (!out.empty()) {
            out += '\\';
        }
        out += p;
    }
    return out;
}

// The status an injected fault gives a call of `op` on `key_path`/`value_name`,
// ERROR_SUCCESS when no fault matches (faults.cpp).
LONG injected(Op op, std::string_view key_path, std::string_view value_name);
// Tells the installed open observer of a create_key or open_key call.
void observe_open(Op op, const std::string& path, DWORD access);

}  // namespace varolan::reg
