// A fresh store file in a temporary directory for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/process.h"

namespace varolan::test {

class StoreTest : public ::testing::Test {
  protected:
    StoreTest()
        : env_("VAROLAN_REGISTRY", dir_.str("registry.db")),
          map_env_("VAROLAN_DEVICEMAP", dir_.str("devicemap")) {
        reg::reset_store();
        reg::clear_faults();
    }
    ~StoreTest() override {
        reg::set_open_observer({});
        reg::clear_faults();
        reg::reset_store();
    }

    static std::vector<std::uint8_t> bytes(std::string_view s) {
        return std::vector<std::uint8_t>(s.begin(), s.end());
    }
    static std::vector<std::uint8_t> dword(std::uint32_t v) {
        return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    }

    reg::Key create(std::string_view path, DWORD access = reg::KEY_ALL_ACCESS) {
        reg::Key key;
        EXPECT_EQ(reg::create_key(reg::hklm(), path, access, key), 0) << path;
        return key;
    }
    LONG set(const reg::Key& key, std::string_view name, DWORD type,
             const std::vector<std::uint8_t>& data) {
        return reg::set_value(key, name, type, data.data(), static_cast<DWORD>(data.size()));
    }
    // Whole value through the size query; empty optional-like result via status.
    LONG get(const reg::Key& key, std::string_view name, DWORD* type,
             std::vector<std::uint8_t>* data) {
        DWORD size = 0;
        LONG status = reg::query_value(key, name, type, nullptr, &size);
        if (status != 0) {
            return status;
        }
        data->assign(size, 0);
        return reg::query_value(key, name, type, data->data(), &size);
    }
    std::vector<std::string> subkeys(const reg::Key& key) {
        std::vector<std::string> names;
        std::string name;
        for (DWORD i = 0; reg::enum_key(key, i, name) == 0; ++i) {
            names.push_back(name);
        }
        return names;
    }
    std::vector<std::string> value_names(const reg::Key& key) {
        std::vector<std::string> names;
        std::string name;
        for (DWORD i = 0; reg::enum_value(key, i, name, nullptr, nullptr) == 0; ++i) {
            names.push_back(name);
        }
        return names;
    }
    void write_file(const std::string& path, std::string_view text) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }

    TempDir dir_;
    ScopedEnv env_;
    ScopedEnv map_env_;
};

}  // namespace varolan::test
