// The service's store operations over a temporary store.

#include "common/store_ops.h"

#include "common/store_layout.h"
#include "tests/platform/registry/store_fixture.h"

namespace varolan::test {
namespace {

using namespace varolan::reg;
using namespace varolan::layout;

class StoreOpsTest : public StoreTest {
  protected:
    void put(const char* path, const char* name, DWORD type, std::string_view data) {
        Key key = create(path);
        ASSERT_EQ(set(key, name, type, bytes(data)), 0);
    }
};

TEST_F(StoreOpsTest, ReadsOpenWithCreateSemantics) {
    std::uint32_t v = 77;
    char buf[REG_STRING_SIZE];
    EXPECT_FALSE(reg_read_dword("Software\\Absent\\A", "x", &v));
    EXPECT_EQ(v, 77u);  // a failed read yields nothing
    EXPECT_FALSE(reg_read_string("Software\\Absent\\B", "x", buf));
    EXPECT_FALSE(reg_enum_subkey("Software\\Absent\\C", 0, buf));
    Key key;
    for (const char* path : {"Software\\Absent\\A", "Software\\Absent\\B", "Software\\Absent\\C"}) {
        EXPECT_EQ(open_key(hklm(), path, KEY_READ, key), 0) << path << " was not created";
    }
}

TEST_F(StoreOpsTest, DwordReadTakesAtMostFourBytesOfAnyType) {
    put(PRODUCT_KEY, "exact", REG_DWORD, std::string_view("\x78\x56\x34\x12", 4));
    put(PRODUCT_KEY, "longer", REG_DWORD, std::string_view("\x01\0\0\0\0", 5));
    put(PRODUCT_KEY, "short", REG_DWORD, std::string_view("\x34\x12", 2));
    put(PRODUCT_KEY, "empty", REG_DWORD, "");
    put(PRODUCT_KEY, "text", REG_SZ, std::string_view("ab\0", 3));
    struct Case {
        const char* name;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"exact", true, 0x12345678}, {"longer", false, 0xAAAAAAAA}, {"short", true, 0x1234},
        {"empty", true, 0},          {"text", true, 0x006261},      {"missing", false, 0xAAAAAAAA},
    };
    for (const Case& c : cases) {
        std::uint32_t v = 0xAAAAAAAA;
        // The utility's spelling of the product key is the same key.
        EXPECT_EQ(reg_read_dword(PRODUCT_KEY_UTILITY, c.name, &v), c.ok) << c.name;
        EXPECT_EQ(v, c.value) << c.name;
    }
}

TEST_F(StoreOpsTest, StringReadIsAlwaysTerminatedWithinTheBuffer) {
    const std::string full(256, 'x');
    put(PRODUCT_KEY, "prompt", REG_SZ, std::string_view("Welcome\0", 8));
    put(PRODUCT_KEY, "zero", REG_SZ, "");
    put(PRODUCT_KEY, "unterminated", REG_SZ, "hello");
    put(PRODUCT_KEY, "full", REG_SZ, full);
    put(PRODUCT_KEY, "full-terminated", REG_SZ, std::string(255, 'y') + '\0');
    put(PRODUCT_KEY, "too-long", REG_SZ, std::string(257, 'z'));
    put(PRODUCT_KEY, "escape", REG_SZ, std::string_view("\x1d\x03\0", 3));
    struct Case {
        const char* name;
        bool ok;
        std::string text;
    };
    const Case cases[] = {
        {"prompt", true, "Welcome"},
        {"zero", true, ""},
        {"unterminated", true, "hello"},
        {"full", true, std::string(255, 'x')},
        {"full-terminated", true, std::string(255, 'y')},
        {"too-long", false, ""},
        {"escape", true, "\x1d\x03"},
        {"missing", false, ""},
    };
    for (const Case& c : cases) {
        // Guard bytes after the service's 256-byte buffer must stay untouched.
        char area[REG_STRING_SIZE + 16];
        std::memset(area, '#', sizeof area);
        EXPECT_EQ(reg_read_string(PRODUCT_KEY, c.name, area), c.ok) << c.name;
        EXPECT_EQ(std::string(area), c.text) << c.name;
        EXPECT_EQ(std::string(area + REG_STRING_SIZE, 16), std::string(16, '#')) << c.name;
    }
}

TEST_F(StoreOpsTest, MultiStringReadIsRawAndBounded) {
    const std::string_view script("login\0secret\0\0", 14);
    put(PRODUCT_KEY, "Login Script", REG_MULTI_SZ, script);
    put(PRODUCT_KEY, "big", REG_MULTI_SZ, std::string(300, 'a'));
    char buf[REG_STRING_SIZE];
    std::uint32_t len = 99;
    ASSERT_TRUE(reg_read_multi_string(PRODUCT_KEY, VALUE_LOGIN_SCRIPT, buf, &len));
    EXPECT_EQ(std::string_view(buf, len), script);
    EXPECT_EQ(buf[len], 0);  // the rest of the buffer is cleared
    EXPECT_FALSE(reg_read_multi_string(PRODUCT_KEY, "big", buf, &len));
    EXPECT_EQ(len, 0u);
    EXPECT_FALSE(reg_read_multi_string(PRODUCT_KEY, VALUE_MODEM_INIT, buf, &len));
}

TEST_F(StoreOpsTest, WriteDwordStoresFourBytes) {
    const std::string port = std::string(PRODUCT_KEY) + "\\Serial0";
    ASSERT_TRUE(
        reg_write_dword(port.c_str(), VALUE_DEVICE_FLAGS, DEVICE_BAUD_ERROR | DEVICE_FLOW_ERROR));
    Key key = create(port);
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_EQ(get(key, VALUE_DEVICE_FLAGS, &type, &data), 0);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, dword(0x88));
    std::uint32_t v = 0;
    ASSERT_TRUE(reg_read_dword(port.c_str(), "DEVICE FLAGS", &v));
    EXPECT_EQ(v, 0x88u);

    inject_fault(Op::set_value, port, VALUE_DEVICE_FLAGS, ERROR_CANTWRITE);
    EXPECT_FALSE(reg_write_dword(port.c_str(), VALUE_DEVICE_FLAGS, 0));
    inject_fault(Op::create_key, port, "", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(reg_write_dword(port.c_str(), VALUE_DEVICE_FLAGS, 0));
    EXPECT_TRUE(reg_write_dword(port.c_str(), VALUE_DEVICE_FLAGS, 0));
    // The device map is read-only.
    EXPECT_FALSE(reg_write_dword(SERIALCOMM_KEY, "x", 1));
}

TEST_F(StoreOpsTest, EnumSubkeyWalksPortKeysInNameOrder) {
    const std::string base = PRODUCT_KEY;
    const std::string long_name(255, 'L');
    for (const std::string& name : {std::string("Serial1"), std::string("serial0"), long_name}) {
        create(base + "\\" + name);
    }
    std::vector<std::string> got;
    char name[REG_STRING_SIZE];
    for (std::uint32_t i = 0; reg_enum_subkey(PRODUCT_KEY_UTILITY, i, name); ++i) {
        got.emplace_back(name);
    }
    EXPECT_EQ(got, (std::vector<std::string>{long_name, "serial0", "Serial1"}));
    EXPECT_FALSE(reg_enum_subkey(PRODUCT_KEY, 3, name));
    EXPECT_STREQ(name, "");
}

// Both programs read and write these numbers: each bit is its stored value.
TEST(StoreLayout, DeviceFlagBitsHaveTheirStoredValues) {
    const std::pair<std::uint32_t, std::uint32_t> bits[] = {
        {DEVICE_OPEN_FAILED, 0x001},    {DEVICE_ACCESS_DENIED, 0x002},
        {DEVICE_SETUP_ERROR, 0x004},    {DEVICE_BAUD_ERROR, 0x008},
        {DEVICE_DATABITS_ERROR, 0x010}, {DEVICE_STOPBITS_ERROR, 0x020},
        {DEVICE_PARITY_ERROR, 0x040},   {DEVICE_FLOW_ERROR, 0x080},
        {DEVICE_NOT_MANAGED, 0x100},    {DEVICE_NO_CAPS, 0x200},
    };
    for (const auto& [bit, value] : bits) {
        EXPECT_EQ(bit, value);
    }
}

// Every operation opens with create semantics; reads ask for KEY_READ, the
// write for all access.
TEST_F(StoreOpsTest, EachOperationOpensWithItsRights) {
    std::vector<std::pair<std::string, DWORD>> opened;
    set_open_observer([&opened](Op op, const std::string& path, DWORD access) {
        EXPECT_EQ(op, Op::create_key) << path;
        opened.emplace_back(path, access);
    });
    std::uint32_t v = 0;
    char buf[REG_STRING_SIZE];
    std::uint32_t length = 0;
    reg_read_dword("K\\D", "v", &v);
    reg_read_string("K\\S", "v", buf);
    reg_read_multi_string("K\\M", "v", buf, &length);
    reg_write_dword("K\\W", "v", 1);
    reg_enum_subkey("K\\E", 0, buf);
    set_open_observer({});
    EXPECT_EQ(opened, (std::vector<std::pair<std::string, DWORD>>{{"K\\D", KEY_READ},
                                                                  {"K\\S", KEY_READ},
                                                                  {"K\\M", KEY_READ},
                                                                  {"K\\W", KEY_ALL_ACCESS},
                                                                  {"K\\E", KEY_READ}}));
}

}  // namespace
}  // namespace varolan::test
