// A private store, device map, fake serial lines and recorded messages for
// tests of the port records and the configuration database.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/store_layout.h"
#include "platform/registry/registry.h"
#include "platform/serial/fake_comm.h"
#include "tests/support/process.h"
#include "tests/support/utility_messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

inline const std::string kProduct = layout::PRODUCT_KEY_UTILITY;
inline std::string port_path(const std::string& name) {
    return kProduct + "\\" + name;
}

// A message as the user sees it.
inline std::string msg(unsigned id) {
    return load_string(id);
}
inline std::string msg(unsigned id, const std::string& arg) {
    return format_string(id, arg);
}

// The capabilities the fake devices report.
inline serial::COMMPROP device_properties() {
    serial::COMMPROP p;
    p.dwSettableBaud = 0x00000800 | 0x00002000 | 0x00020000;  // 9600, 19200, 115200
    p.wSettableData = 0x0008 | 0x0004;
    p.wSettableStopParity = 0x0001 | 0x0004 | 0x0100 | 0x0400;
    p.dwSettableParams = 0x1F;
    p.dwProvCapabilities = 0x13;
    return p;
}

class PortDbFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        reg::clear_faults();
        reg::reset_store();
        reg::Key product;
        ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                  ERROR_SUCCESS);
        store_remote("\x1d", "VT100", "");
        set_device_map({});
    }
    void TearDown() override {
        reg::set_open_observer({});
        reg::clear_faults();
        reg::reset_store();
    }

    void set_device_map(const std::vector<std::pair<std::string, std::string>>& ports) {
        std::ofstream out(dir_.str("devicemap"), std::ios::trunc);
        for (const auto& [name, tty] : ports) {
            out << name << "=" << tty << "\n";
        }
    }

    // A device that opens, with the test's properties and a line state.
    std::shared_ptr<serial::FakeLine> add_device(const std::string& com, std::uint32_t rate = 19200,
                                                 std::uint8_t byte_size = 7,
                                                 std::uint8_t parity = 2,
                                                 std::uint8_t stop_bits = 2) {
        auto line = opener_.add_line(com);
        line->set_properties(device_properties());
        serial::DCB dcb;
        dcb.BaudRate = rate;
        dcb.ByteSize = byte_size;
        dcb.Parity = parity;
        dcb.StopBits = stop_bits;
        line->set_initial_state(dcb);
        return line;
    }

    // --- raw store access (independent of the code under test) ---

    static void put_dword(const std::string& path, const char* name, std::uint32_t v) {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        const std::uint8_t data[4] = {
            static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        ASSERT_EQ(reg::set_value(key, name, reg::REG_DWORD, data, 4), ERROR_SUCCESS);
    }
    static void put_string(const std::string& path, const char* name, const std::string& s,
                           DWORD type = reg::REG_SZ) {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        ASSERT_EQ(reg::set_value(key, name, type, reinterpret_cast<const std::uint8_t*>(s.c_str()),
                                 static_cast<DWORD>(s.size() + 1)),
                  ERROR_SUCCESS);
    }
    static void drop_value(const std::string& path, const char* name) {
        reg::Key key;
        ASSERT_EQ(reg::open_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        ASSERT_EQ(reg::delete_value(key, name), ERROR_SUCCESS);
    }
    static std::optional<std::vector<std::uint8_t>> raw(const std::string& path, const char* name,
                                                        DWORD* type = nullptr) {
        reg::Key key;
        if (reg::open_key(reg::hklm(), path, reg::KEY_READ, key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> data(4096);
        DWORD size = static_cast<DWORD>(data.size());
        if (reg::query_value(key, name, type, data.data(), &size) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        data.resize(size);
        return data;
    }
    static std::optional<std::uint32_t> dword(const std::string& path, const char* name) {
        auto d = raw(path, name);
        if (!d || d->size() != 4) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>((*d)[0]) | static_cast<std::uint32_t>((*d)[1]) << 8 |
               static_cast<std::uint32_t>((*d)[2]) << 16 |
               static_cast<std::uint32_t>((*d)[3]) << 24;
    }
    // A REG_SZ value without its terminator.
    static std::optional<std::string> text(const std::string& path, const char* name) {
        auto d = raw(path, name);
        if (!d) {
            return std::nullopt;
        }
        std::string s(d->begin(), d->end());
        if (!s.empty() && s.back() == '\0') {
            s.pop_back();
        }
        return s;
    }
    static bool key_exists(const std::string& path) {
        reg::Key key;
        return reg::open_key(reg::hklm(), path, reg::KEY_READ, key) == ERROR_SUCCESS;
    }

    // A complete port key as an earlier run left it.
    static void store_port(const std::string& name, const std::string& com,
                           std::uint32_t flags = 0) {
        const std::string p = port_path(name);
        put_dword(p, layout::VALUE_CAP_BAUD_MASK, 0x00000800);
        put_dword(p, layout::VALUE_CAP_DATA_BIT_MASK, 0x0008);
        put_dword(p, layout::VALUE_CAP_STOP_PARITY_MASK, 0x0101);
        put_dword(p, layout::VALUE_CAP_SETTABLE_PARAMS, 0x1F);
        put_dword(p, layout::VALUE_CAP_PROVIDERS_CAPABILITIES, 0x10);
        put_dword(p, layout::VALUE_AUTO_OPEN, 3);
        put_string(p, layout::VALUE_AUTO_OPEN_COMPUTER_NAME, "host");
        put_string(p, layout::VALUE_LOGIN_SCRIPT, std::string("user\0", 5), reg::REG_MULTI_SZ);
        put_dword(p, layout::VALUE_LOGIN_SCRIPT_DELAY, 500);
        put_dword(p, layout::VALUE_MODEM_DELAY, 700);
        put_string(p, layout::VALUE_MODEM_INIT, std::string("ATZ\0", 4), reg::REG_MULTI_SZ);
        put_string(p, layout::VALUE_PORT_NAME, com);
        put_dword(p, layout::VALUE_BAUD_RATE, 9600);
        put_dword(p, layout::VALUE_DATA_BITS, 8);
        put_dword(p, layout::VALUE_STOP_BITS, 0);
        put_dword(p, layout::VALUE_PARITY, 0);
        put_dword(p, layout::VALUE_FLOW_CONTROL, 1);
        put_string(p, layout::VALUE_ESCAPE_CHAR, "\x1d");
        put_string(p, layout::VALUE_TERMINAL_TYPE, "VT100");
        put_string(p, layout::VALUE_XON_CHAR, "\x11");
        put_string(p, layout::VALUE_XOFF_CHAR, "\x13");
        put_dword(p, layout::VALUE_DEVICE_FLAGS, flags);
    }
    static void store_remote(const std::string& escape, const std::string& term,
                             const std::string& prompt) {
        put_string(kProduct, layout::VALUE_ESCAPE_CHAR, escape);
        put_string(kProduct, layout::VALUE_TERMINAL_TYPE, term);
        put_string(kProduct, layout::VALUE_PROMPT, prompt);
    }

    test::TempDir dir_;
    test::ScopedEnv registry_env_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    test::ScopedEnv devicemap_env_{"VAROLAN_DEVICEMAP", dir_.str("devicemap")};
    serial::FakeCommOpener opener_;
    test::RecordingMessageSink sink_;
};

}  // namespace varolan::util
