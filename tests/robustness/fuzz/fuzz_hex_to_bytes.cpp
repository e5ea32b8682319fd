// Any edit text: hex_to_bytes either fails and leaves the target as it was, or
// yields one byte per digit pair, none of them NUL, that bytes_to_hex shows
// again as the text in lower case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "utility/portdb/port_record.h"

using varolan::util::ByteString;

namespace {

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ByteString before = "\x1d\x1b";
    ByteString target = before;
    const bool ok = varolan::util::hex_to_bytes(text, target);

    // The rule, stated independently: even length, hex digits only, no 00 pair.
    bool expected = text.size() % 2 == 0;
    for (std::size_t i = 0; expected && i < text.size(); i += 2) {
        expected =
            is_hex(text[i]) && is_hex(text[i + 1]) && !(text[i] == '0' && text[i + 1] == '0');
    }
    if (ok != expected) {
        std::abort();
    }
    if (!ok || text.empty()) {
        if (target != before) {
            std::abort();  // a failed (or empty) conversion changes nothing
        }
        return 0;
    }
    if (target.size() * 2 != text.size() || target.find('\0') != ByteString::npos) {
        std::abort();
    }
    const std::string shown = varolan::util::bytes_to_hex(target);
    const std::size_t shown_bytes = target.size() < varolan::util::HEX_DISPLAY_LIMIT
                                        ? target.size()
                                        : varolan::util::HEX_DISPLAY_LIMIT;
    if (shown.size() != 2 * shown_bytes) {
        std::abort();
    }
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] != lower(text[i])) {
            std::abort();
        }
    }
    return 0;
}
