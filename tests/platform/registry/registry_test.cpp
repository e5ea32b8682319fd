// Keys, values, access rights and the store file.

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <tuple>

#include "tests/platform/registry/store_fixture.h"

// In sanitizer builds freed memory is overwritten, so that a statement used
// after SQLite freed it (SQLite itself is not instrumented) crashes instead of
// quietly reading memory that still looks intact.
extern "C" const char* __asan_default_options() {
    return "max_free_fill_size=1048576";
}

namespace varolan::test {
namespace {

using namespace varolan::reg;

class KeyTest : public StoreTest {};

TEST_F(KeyTest, CreateThenOpenIgnoresCaseAndReportsDisposition) {
    Key key;
    DWORD disp = 0;
    ASSERT_EQ(create_key(hklm(), "Software\\Brismoor\\Varolan", KEY_ALL_ACCESS, key, &disp), 0);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    EXPECT_EQ(key.path(), "Software\\Brismoor\\Varolan");
    Key again;
    ASSERT_EQ(create_key(hklm(), "SOFTWARE\\brismoor\\VAROLAN", KEY_READ, again, &disp), 0);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(again.access(), KEY_READ);
    Key opened;
    EXPECT_EQ(open_key(hklm(), "software\\BRISMOOR", KEY_READ, opened), 0);
    EXPECT_EQ(open_key(hklm(), "Software\\Other", KEY_READ, opened), (LONG)ERROR_FILE_NOT_FOUND);
    // Stored names keep the spelling of their creation.
    EXPECT_EQ(subkeys(create("software")), std::vector<std::string>{"Brismoor"});
}

TEST_F(KeyTest, SeparatorsAreForgiving) {
    create("A\\B\\C");
    for (const char* path :
         {"A\\B\\C", "\\A\\B\\C", "A\\B\\C\\", "A\\\\B\\\\\\C", "\\\\a\\b\\c\\\\"}) {
        Key key;
        EXPECT_EQ(open_key(hklm(), path, KEY_READ, key), 0) << path;
    }
    // A relative open from an open parent reaches the same key.
    Key parent = create("A");
    Key child;
    ASSERT_EQ(open_key(parent, "b\\c\\", KEY_READ, child), 0);
    EXPECT_EQ(child.path(), "A\\b\\c");
    // An empty subkey opens the parent again.
    Key self;
    ASSERT_EQ(open_key(parent, "", KEY_READ, self), 0);
    EXPECT_EQ(subkeys(self), std::vector<std::string>{"B"});
}

TEST_F(KeyTest, SubkeysEnumerateInCaseInsensitiveNameOrder) {
    Key root = create("Order");
    for (const char* name : {"b", "A", "c", "a_b", "AAB", "Serial10", "Serial2"}) {
        Key k;
        ASSERT_EQ(create_key(root, name, KEY_ALL_ACCESS, k), 0);
    }
    // Names compare upper-cased: '_' sorts after the letters.
    EXPECT_EQ(subkeys(root),
              (std::vector<std::string>{"A", "AAB", "a_b", "b", "c", "Serial10", "Serial2"}));
    std::string name;
    EXPECT_EQ(enum_key(root, 7, name), (LONG)ERROR_NO_MORE_ITEMS);
    // The capacity counts the terminator.
    EXPECT_EQ(enum_key(root, 5, name, 8), (LONG)ERROR_MORE_DATA);
    EXPECT_EQ(enum_key(root, 5, name, 9), 0);
    EXPECT_EQ(name, "Serial10");
}

TEST_F(KeyTest, ValuesEnumerateInCreationOrderAndKeepTheirPlace) {
    Key key = create("Values");
    ASSERT_EQ(set(key, "zeta", REG_DWORD, dword(1)), 0);
    ASSERT_EQ(set(key, "Alpha", REG_DWORD, dword(2)), 0);
    ASSERT_EQ(set(key, "Mid", REG_DWORD, dword(3)), 0);
    ASSERT_EQ(set(key, "ALPHA", REG_SZ, bytes(std::string_view("x\0", 2))), 0);
    EXPECT_EQ(value_names(key), (std::vector<std::string>{"zeta", "Alpha", "Mid"}));
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_EQ(get(key, "alpha", &type, &data), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, bytes(std::string_view("x\0", 2)));
    ASSERT_EQ(delete_value(key, "ZETA"), 0);
    EXPECT_EQ(delete_value(key, "zeta"), (LONG)ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(set(key, "zeta", REG_DWORD, dword(4)), 0);
    EXPECT_EQ(value_names(key), (std::vector<std::string>{"Alpha", "Mid", "zeta"}));
    // enum_value returns type and data, and honours its capacities.
    std::string name;
    std::vector<std::uint8_t> got;
    ASSERT_EQ(enum_value(key, 1, name, &type, &got), 0);
    EXPECT_EQ(name, "Mid");
    EXPECT_EQ(got, dword(3));
    EXPECT_EQ(enum_value(key, 1, name, &type, &got, 3), (LONG)ERROR_MORE_DATA);
    EXPECT_EQ(enum_value(key, 1, name, &type, &got, 0, 3), (LONG)ERROR_MORE_DATA);
    EXPECT_EQ(enum_value(key, 3, name, &type, &got), (LONG)ERROR_NO_MORE_ITEMS);
}

TEST_F(KeyTest, AccessRightsAreCheckedOnEveryCall) {
    create("Acc\\Existing");
    {
        Key key = create("Acc");
        ASSERT_EQ(set(key, "v", REG_DWORD, dword(7)), 0);
    }
    struct Case {
        DWORD access;
        bool query, set, enum_keys, create_new;
    };
    const Case cases[] = {
        {KEY_READ, true, false, true, false},
        {KEY_WRITE, false, true, false, true},
        {KEY_QUERY_VALUE, true, false, false, false},
        {KEY_SET_VALUE, false, true, false, false},
        {KEY_ENUMERATE_SUB_KEYS, false, false, true, false},
        {KEY_CREATE_SUB_KEY, false, false, false, true},
        {KEY_ALL_ACCESS, true, true, true, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.access);
        Key key;
        ASSERT_EQ(open_key(hklm(), "Acc", c.access, key), 0);
        auto expect = [](bool ok) { return ok ? 0 : (LONG)ERROR_ACCESS_DENIED; };
        DWORD size = 4;
        std::uint8_t buf[4];
        EXPECT_EQ(query_value(key, "v", nullptr, buf, &size), expect(c.query));
        std::string name;
        EXPECT_EQ(enum_value(key, 0, name, nullptr, nullptr), expect(c.query));
        EXPECT_EQ(set(key, "v", REG_DWORD, dword(7)), expect(c.set));
        EXPECT_EQ(delete_value(key, "missing"),
                  c.set ? (LONG)ERROR_FILE_NOT_FOUND : (LONG)ERROR_ACCESS_DENIED);
        EXPECT_EQ(enum_key(key, 0, name), expect(c.enum_keys));
        Key sub;
        EXPECT_EQ(create_key(key, "New" + std::to_string(n++), KEY_READ, sub),
                  expect(c.create_new));
        // Opening an existing subkey needs no right on the parent.
        EXPECT_EQ(create_key(key, "Existing", KEY_READ, sub), 0);
    }
}

TEST_F(KeyTest, ObserverSeesEveryOpenWithItsPathAndRights) {
    std::vector<std::tuple<Op, std::string, DWORD>> seen;
    set_open_observer([&seen](Op op, const std::string& path, DWORD access) {
        seen.emplace_back(op, path, access);
    });
    Key parent = create("Obs\\Parent");
    Key child;
    EXPECT_EQ(open_key(parent, "Missing", KEY_READ, child), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(create_key(parent, "\\Child\\", KEY_WRITE, child), 0);
    EXPECT_EQ(open_key(hklm(), "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, child), 0);
    set_open_observer({});
    EXPECT_EQ(open_key(hklm(), "Obs", KEY_READ, child), 0);  // no longer observed
    EXPECT_EQ(seen, (std::vector<std::tuple<Op, std::string, DWORD>>{
                        {Op::create_key, "Obs\\Parent", KEY_ALL_ACCESS},
                        {Op::open_key, "Obs\\Parent\\Missing", KEY_READ},
                        {Op::create_key, "Obs\\Parent\\Child", KEY_WRITE},
                        {Op::open_key, "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ},
                    }));
}

TEST_F(KeyTest, DeleteRefusesKeysWithSubkeysAndInvalidatesHandles) {
    Key self = create("Del\\Child");
    Key held = create("Del\\Child");
    ASSERT_EQ(set(held, "v", REG_DWORD, dword(1)), 0);
    EXPECT_EQ(delete_key(hklm(), "Del"), (LONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(delete_key(hklm(), "Del\\Nothing"), (LONG)ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(delete_key(hklm(), "del\\CHILD"), 0);

    DWORD size = 0;
    std::string name;
    Key sub;
    EXPECT_EQ(query_value(held, "v", nullptr, nullptr, &size), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(set(held, "v", REG_DWORD, dword(2)), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(delete_value(held, "v"), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(enum_key(held, 0, name), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(enum_value(held, 0, name, nullptr, nullptr), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(create_key(held, "Below", KEY_READ, sub), (LONG)ERROR_KEY_DELETED);
    // A new key of the same name is another key: the old handle stays dead, and
    // the deleted key's values are gone.
    Key fresh = create("Del\\Child");
    EXPECT_EQ(query_value(held, "v", nullptr, nullptr, &size), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(query_value(fresh, "v", nullptr, nullptr, &size), (LONG)ERROR_FILE_NOT_FOUND);
    // The parent may go once its child has gone.
    ASSERT_EQ(delete_key(hklm(), "Del\\Child"), 0);
    EXPECT_EQ(delete_key(self, ""), (LONG)ERROR_KEY_DELETED);
    EXPECT_EQ(delete_key(hklm(), "Del"), 0);
    EXPECT_EQ(delete_key(hklm(), ""), (LONG)ERROR_ACCESS_DENIED);
}

class ValueTest : public StoreTest {};

TEST_F(ValueTest, DataIsKeptAsRawBytesWithItsType) {
    Key key = create("Raw");
    struct Case {
        const char* name;
        DWORD type;
        std::vector<std::uint8_t> data;
    };
    const Case cases[] = {
        {"sz", REG_SZ, bytes(std::string_view("text\0", 5))},
        {"sz-unterminated", REG_SZ, bytes("abc")},
        {"sz-8bit", REG_SZ, {0xe9, 0x1d, 0x00, 0xff, 0x00}},
        {"multi", REG_MULTI_SZ, bytes(std::string_view("one\0two\0\0", 9))},
        {"dword", REG_DWORD, dword(0xdeadbeef)},
        {"binary", REG_BINARY, {0x00, 0x01, 0x00, 0xfe}},
        {"empty", REG_SZ, {}},
        {"", REG_SZ, bytes(std::string_view("default\0", 8))},
        {"odd-type", 0x1234, {1, 2, 3}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(set(key, c.name, c.type, c.data), 0) << c.name;
    }
    reset_store();  // read back through a new connection
    for (const Case& c : cases) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        ASSERT_EQ(get(key, c.name, &type, &data), 0) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
    }
}

TEST_F(ValueTest, QueryTakesAMaximumSize) {
    Key key = create("Sizes");
    ASSERT_EQ(set(key, "long", REG_DWORD, bytes("12345678")), 0);
    ASSERT_EQ(set(key, "four", REG_SZ, bytes("abcd")), 0);
    std::uint8_t buf[4] = {0, 0, 0, 0};
    DWORD size = sizeof buf;
    DWORD type = 0;
    // Longer data fails and reports what is needed; the buffer is left alone.
    EXPECT_EQ(query_value(key, "long", &type, buf, &size), (LONG)ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buf[0], 0);
    // The stored type is reported, never checked.
    size = sizeof buf;
    EXPECT_EQ(query_value(key, "four", &type, buf, &size), 0);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(buf, "abcd", 4), 0);
    // Size only, type only, and a buffer without a size.
    size = 0;
    EXPECT_EQ(query_value(key, "long", nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(query_value(key, "long", &type, nullptr, nullptr), 0);
    EXPECT_EQ(query_value(key, "long", nullptr, buf, nullptr), (LONG)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(query_value(key, "absent", nullptr, nullptr, &size), (LONG)ERROR_FILE_NOT_FOUND);
}

class StoreFileTest : public StoreTest {};

TEST_F(StoreFileTest, MissingFileAndDirectoryAreCreated) {
    std::string path = dir_.str("deep/er/registry.db");
    ScopedEnv env("VAROLAN_REGISTRY", path);
    EXPECT_EQ(store_path(), path);
    Key key = create("Made");
    EXPECT_TRUE(std::filesystem::exists(path));
    ASSERT_EQ(set(key, "v", REG_DWORD, dword(5)), 0);
    reset_store();
    Key again;
    ASSERT_EQ(open_key(hklm(), "made", KEY_READ, again), 0);
    std::vector<std::uint8_t> data;
    ASSERT_EQ(get(again, "v", nullptr, &data), 0);
    EXPECT_EQ(data, dword(5));
}

TEST_F(StoreFileTest, DefaultPathWithoutEnvironment) {
    ScopedEnv env("VAROLAN_REGISTRY", std::nullopt);
    EXPECT_EQ(store_path(), "/var/lib/varolan/registry.db");
}

TEST_F(StoreFileTest, BadFilesFailWithAMessageNamingTheFile) {
    std::string garbage = dir_.str("garbage.db");
    write_file(garbage, std::string(8192, 'x'));
    std::string blocker = dir_.str("plainfile");
    write_file(blocker, "x");
    struct Case {
        std::string path;
        LONG status;
    };
    const Case cases[] = {
        {garbage, (LONG)ERROR_BADDB},
        {blocker + "/registry.db", (LONG)ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        ScopedEnv env("VAROLAN_REGISTRY", c.path);
        Key key;
        EXPECT_EQ(create_key(hklm(), "Any", KEY_ALL_ACCESS, key), c.status) << c.path;
        EXPECT_NE(last_store_error().find(c.path), std::string::npos) << last_store_error();
        // Every later call fails the same way, without a crash.
        EXPECT_EQ(open_key(hklm(), "Any", KEY_READ, key), c.status);
    }
    // The garbage file was not touched.
    EXPECT_EQ(std::filesystem::file_size(garbage), 8192u);
}

// A store whose table pages were overwritten after it was written: every call
// that reads them reports the damaged file, and none may touch a statement the
// failure released. Once the file is sound again, calls work again.
TEST_F(StoreFileTest, DamagedPagesFailEveryCallWithoutACrash) {
    std::string path = dir_.str("registry.db");
    Key key = create("Software\\Damaged");
    for (int i = 0; i < 40; ++i) {
        Key sub = create("Software\\Damaged\\Port" + std::to_string(i));
        ASSERT_EQ(set(sub, "Text", REG_SZ, bytes(std::string(300, 'a' + i % 26))), 0);
        ASSERT_EQ(set(key, "Value" + std::to_string(i), REG_DWORD, dword(i)), 0);
    }
    reset_store();  // closes the file: the log is folded into it
    std::vector<char> original;
    {
        std::ifstream in(path, std::ios::binary);
        original.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::size_t page = 4096;
    ASSERT_GE(original.size(), 6 * page);
    {
        // Page 1 (the schema and the marks) stays; the table pages do not.
        std::fstream io(path, std::ios::in | std::ios::out | std::ios::binary);
        const std::string junk(page, '\x5a');
        for (std::size_t off = page; off + page <= original.size(); off += page) {
            io.seekp(static_cast<std::streamoff>(off));
            io.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        }
    }

    std::uint8_t buf[16];
    struct Case {
        const char* what;
        std::function<LONG()> call;
    };
    const Case cases[] = {
        {"open",
         [&] {
             Key k;
             return open_key(hklm(), "Software\\Damaged", KEY_READ, k);
         }},
        {"create",
         [&] {
             Key k;
             return create_key(key, "New", KEY_ALL_ACCESS, k);
         }},
        {"query",
         [&] {
             DWORD size = sizeof buf;
             return query_value(key, "Value1", nullptr, buf, &size);
         }},
        {"set", [&] { return set(key, "Value2", REG_DWORD, dword(7)); }},
        {"delete value", [&] { return delete_value(key, "Value3"); }},
        {"enum keys",
         [&] {
             std::string name;
             return enum_key(key, 0, name);
         }},
        {"enum values",
         [&] {
             std::string name;
             return enum_value(key, 0, name, nullptr, nullptr);
         }},
        {"delete key", [&] { return delete_key(key, "Port1"); }},
    };
    for (int round = 0; round < 2; ++round) {  // the second round reopens the file
        for (const Case& c : cases) {
            EXPECT_EQ(c.call(), (LONG)ERROR_BADDB) << c.what;
            EXPECT_NE(last_store_error().find(path), std::string::npos)
                << c.what << ": " << last_store_error();
        }
    }

    // The file is put right behind the store's back: the next call reopens it.
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(original.data(), static_cast<std::streamsize>(original.size()));
    }
    DWORD size = sizeof buf;
    EXPECT_EQ(query_value(key, "Value1", nullptr, buf, &size), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + size), dword(1));
}

}  // namespace
}  // namespace varolan::test
