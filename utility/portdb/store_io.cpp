#include "utility/portdb/store_io.h"

#include <array>
#include <cstring>

#include "common/dword_bytes.h"
#include "utility/portdb/port_record.h"

namespace varolan::util {

bool read_string(const reg::Key& key, std::string_view name, std::string& out) {
    std::array<std::uint8_t, STRING_READ_BUFFER> buffer{};
    DWORD size = static_cast<DWORD>(buffer.size());
    if (reg::query_value(key, name, nullptr, buffer.data(), &size) != ERROR_SUCCESS) {
        return false;
    }
    if (size > buffer.size()) {
        size = static_cast<DWORD>(buffer.size());
    }
    const auto* begin = reinterpret_cast<const char*>(buffer.data());
    const void* nul = std::memchr(begin, 0, size);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : size;
    out.assign(begin, length);
    return true;
}

bool read_dword(const reg::Key& key, std::string_view name, std::uint32_t& out) {
    std::array<std::uint8_t, 4> buffer{};
    DWORD size = static_cast<DWORD>(buffer.size());
    if (reg::query_value(key, name, nullptr, buffer.data(), &size) != ERROR_SUCCESS) {
        return false;
    }
    out = dword_from_bytes(buffer.data());
    return true;
}

bool write_string(const reg::Key& key, std::string_view name, std::string_view text) {
    std::string data(text);
    const auto size = static_cast<DWORD>(data.size() + 1);  // with the terminating NUL
    return reg::set_value(key, name, reg::REG_SZ,
                          reinterpret_cast<const std::uint8_t*>(data.c_str()),
                          size) == ERROR_SUCCESS;
}

bool write_dword(const reg::Key& key, std::string_view name, std::uint32_t value) {
    const auto data = dword_to_bytes(value);
    return reg::set_value(key, name, reg::REG_DWORD, data.data(),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool write_empty(const reg::Key& key, std::string_view name, DWORD type) {
    static const std::uint8_t nothing[1] = {0};
    return reg::set_value(key, name, type, nothing, 0) == ERROR_SUCCESS;
}

}  // namespace varolan::util
