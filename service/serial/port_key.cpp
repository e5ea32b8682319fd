#include "service/serial/port_key.h"

#include <algorithm>
#include <cstdio>

#include "common/store_layout.h"
#include "platform/core/clock.h"
#include "platform/core/log.h"
#include "service/session/globals.h"

namespace varolan::service {

namespace {

// Makes `call` (a store call that reports its status) until the store is not
// locked by another process; returns the call's own result then. `what` names
// the wait in the log.
template <typename Call>
bool unless_locked(const char* what, Call call) {
    std::uint32_t pause = STORE_RETRY_FIRST_MS;
    bool waited = false;
    for (;;) {
        LONG status = ERROR_SUCCESS;
        const bool ok = call(&status);
        if (status != ERROR_SHARING_VIOLATION) {
            if (waited) {
                log_notice("the store is free again: %s goes on", what);
            }
            return ok;
        }
        if (!waited) {
            log_warning("the store is locked by another process: %s waits for it", what);
            waited = true;
        }
        sleep_ms(pause);
        gate_pass();
        pause = std::min(pause * 2, STORE_RETRY_MAX_MS);
    }
}

// "port NAME, "VALUE"" for the log.
struct ValueName {
    char text[2 * REG_STRING_SIZE];
    ValueName(const char* port, const char* value) {
        std::snprintf(text, sizeof text, "port %s, \"%s\"", port, value);
    }
};

}  // namespace

bool PortKey::find(std::uint32_t index) {
    char subkey[REG_STRING_SIZE] = {};
    const bool found = unless_locked("the list of port keys", [&](LONG* status) {
        return reg_enum_subkey(layout::PRODUCT_KEY, index, subkey, status);
    });
    if (!found) {
        return false;
    }
    std::snprintf(name_, sizeof name_, "%s", subkey);
    std::snprintf(path_, sizeof path_, "%s\\%s", layout::PRODUCT_KEY, subkey);
    return true;
}

bool PortKey::read_dword(const char* value, std::uint32_t* out) {
    return unless_locked(ValueName(name_, value).text,
                         [&](LONG* status) { return reg_read_dword(path_, value, out, status); });
}

bool PortKey::read_string(const char* value, char* buffer) {
    return unless_locked(ValueName(name_, value).text, [&](LONG* status) {
        return reg_read_string(path_, value, buffer, status);
    });
}

void PortKey::read_multi_string(const char* value, MultiString* out) {
    out->length = 0;
    const bool read = unless_locked(ValueName(name_, value).text, [&](LONG* status) {
        return reg_read_multi_string(path_, value, out->data, &out->length, status);
    });
    if (!read) {
        out->length = 0;
    }
    if (out->length > REG_STRING_SIZE) {
        out->length = REG_STRING_SIZE;
    }
}

std::uint32_t PortKey::read_delay(const char* value, std::uint32_t fallback) {
    std::uint32_t ms = 0;
    if (!read_dword(value, &ms) || ms == 0) {
        ms = fallback;
    }
    return ms;
}

bool PortKey::write_flags(std::uint32_t flags) {
    return unless_locked(ValueName(name_, layout::VALUE_DEVICE_FLAGS).text, [&](LONG* status) {
        return reg_write_dword(path_, layout::VALUE_DEVICE_FLAGS, flags, status);
    });
}

}  // namespace varolan::service
