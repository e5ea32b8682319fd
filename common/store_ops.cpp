// The service's store operations: open by path with create semantics, one call,
// close (the Key goes out of scope) before returning.

#include "common/store_ops.h"

#include <cstring>

#include "common/dword_bytes.h"
#include "platform/registry/registry.h"

namespace varolan {

namespace {

// Hands `result` to the caller that asked for it; true when it is success.
bool report(LONG* status, LONG result) {
    if (status != nullptr) {
        *status = result;
    }
    return result == ERROR_SUCCESS;
}

LONG open_for(const char* key_path, DWORD access, reg::Key& key) {
    if (key_path == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return reg::create_key(reg::hklm(), key_path, access, key);
}

// Reads value `value_name` of `key_path` into `buffer` (at most `*size` bytes);
// `*size` becomes the stored length.
LONG read_value(const char* key_path, const char* value_name, void* buffer, DWORD* size) {
    if (value_name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    reg::Key key;
    LONG result = open_for(key_path, reg::KEY_READ, key);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    return reg::query_value(key, value_name, nullptr, static_cast<std::uint8_t*>(buffer), size);
}

}  // namespace

bool reg_read_dword(const char* key_path, const char* value_name, std::uint32_t* value,
                    LONG* status) {
    if (value == nullptr) {
        return report(status, ERROR_INVALID_PARAMETER);
    }
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    DWORD size = sizeof bytes;
    if (!report(status, read_value(key_path, value_name, bytes, &size))) {
        return false;
    }
    // Shorter data fills the low bytes; the rest stays zero.
    *value = dword_from_bytes(bytes);
    return true;
}

bool reg_read_string(const char* key_path, const char* value_name, char* buffer, LONG* status) {
    if (buffer == nullptr) {
        return report(status, ERROR_INVALID_PARAMETER);
    }
    buffer[0] = '\0';
    DWORD size = REG_STRING_SIZE;
    if (!report(status, read_value(key_path, value_name, buffer, &size))) {
        buffer[0] = '\0';
        return false;
    }
    // The stored bytes need not end with a terminator: always end the string
    // inside the buffer, cutting a full 256-byte string to 255.
    buffer[size < REG_STRING_SIZE ? size : REG_STRING_SIZE - 1] = '\0';
    return true;
}

bool reg_read_multi_string(const char* key_path, const char* value_name, char* buffer,
                           std::uint32_t* length, LONG* status) {
    if (buffer == nullptr || length == nullptr) {
        return report(status, ERROR_INVALID_PARAMETER);
    }
    *length = 0;
    std::memset(buffer, 0, REG_STRING_SIZE);
    DWORD size = REG_STRING_SIZE;
    if (!report(status, read_value(key_path, value_name, buffer, &size))) {
        std::memset(buffer, 0, REG_STRING_SIZE);
        return false;
    }
    *length = size;
    return true;
}

bool reg_write_dword(const char* key_path, const char* value_name, std::uint32_t value,
                     LONG* status) {
    if (value_name == nullptr) {
        return report(status, ERROR_INVALID_PARAMETER);
    }
    reg::Key key;
    if (!report(status, open_for(key_path, reg::KEY_ALL_ACCESS, key))) {
        return false;
    }
    const auto bytes = dword_to_bytes(value);
    return report(status, reg::set_value(key, value_name, reg::REG_DWORD, bytes.data(),
                                         static_cast<DWORD>(bytes.size())));
}

bool reg_enum_subkey(const char* key_path, std::uint32_t index, char* name, LONG* status) {
    if (name == nullptr) {
        return report(status, ERROR_INVALID_PARAMETER);
    }
    name[0] = '\0';
    reg::Key key;
    if (!report(status, open_for(key_path, reg::KEY_READ, key))) {
        return false;
    }
    std::string found;
    if (!report(status, reg::enum_key(key, index, found, REG_STRING_SIZE))) {
        return false;
    }
    std::memcpy(name, found.data(), found.size());
    name[found.size()] = '\0';
    return true;
}

bool reg_count_subkeys(const char* key_path, std::uint32_t* count) {
    *count = 0;
    reg::Key key;
    if (open_for(key_path, reg::KEY_READ, key) != ERROR_SUCCESS) {
        return false;
    }
    for (std::uint32_t i = 0;; ++i) {
        std::string name;
        const LONG status = reg::enum_key(key, i, name, 0);
        if (status == ERROR_NO_MORE_ITEMS) {
            *count = i;
            return true;
        }
        if (status != ERROR_SUCCESS) {
            return false;
        }
    }
}

}  // namespace varolan
