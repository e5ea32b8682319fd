// Text a test client has received but not yet consumed.
#pragma once

#include <string>

namespace varolan::test {

// When `needle` is in `pending`, moves everything up to and including its
// first occurrence into `*taken` and returns true; otherwise leaves both alone.
inline bool take_through(std::string& pending, const std::string& needle, std::string* taken) {
    const std::size_t at = pending.find(needle);
    if (at == std::string::npos) {
        return false;
    }
    *taken = pending.substr(0, at + needle.size());
    pending.erase(0, at + needle.size());
    return true;
}

}  // namespace varolan::test
