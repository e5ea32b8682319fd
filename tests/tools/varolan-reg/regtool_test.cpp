// varolan-reg: the REGEDIT4 parser and writer in-process, the commands through
// the built program.

#include "tools/varolan-reg/regtool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/platform/registry/store_fixture.h"

extern char** environ;

namespace varolan::test {
namespace {

using namespace varolan::reg;
using namespace varolan::regtool;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class RegToolTest : public StoreTest {
  protected:
    // Runs the built varolan-reg with this test's store.
    Result run_tool(const std::vector<std::string>& args) {
        static const std::string program = program_path("varolan-reg").string();
        EXPECT_FALSE(program.empty()) << "varolan-reg not built";
        std::string out_path = dir_.str("stdout");
        std::string err_path = dir_.str("stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        Result r;
        int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            ADD_FAILURE() << "spawn failed";
            return r;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(out_path);
        r.err = slurp(err_path);
        return r;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void expect_failure_line(const Result& r) {
        EXPECT_NE(r.status, 0);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.err.rfind("varolan-reg: ", 0), 0u) << r.err;
    }

    struct Stored {
        std::string name;
        DWORD type;
        std::vector<std::uint8_t> data;
        bool operator==(const Stored&) const = default;
    };
    // Every key below `path` with its values, in enumeration order.
    void snapshot(const std::string& path,
                  std::vector<std::pair<std::string, std::vector<Stored>>>& out) {
        Key key;
        ASSERT_EQ(open_key(hklm(), path, KEY_READ, key), 0) << path;
        std::vector<Stored> values;
        Stored v;
        for (DWORD i = 0; enum_value(key, i, v.name, &v.type, &v.data) == 0; ++i) {
            values.push_back(v);
        }
        out.emplace_back(path, values);
        for (const std::string& sub : subkeys(key)) {
            snapshot(path + "\\" + sub, out);
        }
    }
};

TEST(RegToolParse, KeyArgumentsAreNormalised) {
    const std::pair<const char*, const char*> cases[] = {
        {"Software\\Brismoor", "Software\\Brismoor"},
        {"Software/Brismoor/", "Software\\Brismoor"},
        {"HKLM\\Software", "Software"},
        {"hklm/Software", "Software"},
        {"HKEY_LOCAL_MACHINE\\Software\\\\X", "Software\\X"},
        {"/HKEY_LOCAL_MACHINE/", ""},
        {"HKLM", ""},
        {"HKLMX\\Y", "HKLMX\\Y"},
        {"\\\\Software", "Software"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(normalize_key(in), want) << in;
    }
}

TEST(RegToolParse, SetDataArguments) {
    struct Case {
        const char* type;
        std::vector<std::string> args;
        bool ok;
        DWORD want_type;
        std::string want;
    };
    const Case cases[] = {
        {"REG_SZ", {"hello world"}, true, REG_SZ, std::string("hello world\0", 12)},
        {"REG_SZ", {}, true, REG_SZ, std::string("\0", 1)},
        {"REG_SZ", {"a", "b"}, false, 0, ""},
        {"reg_dword", {"10"}, true, REG_DWORD, std::string("\x0a\0\0\0", 4)},
        {"REG_DWORD", {"0xFFFFFFFF"}, true, REG_DWORD, "\xff\xff\xff\xff"},
        {"REG_DWORD", {"4294967296"}, false, 0, ""},
        {"REG_DWORD", {"-1"}, false, 0, ""},
        {"REG_DWORD", {"12a"}, false, 0, ""},
        {"REG_MULTI_SZ", {"AT", "ATZ"}, true, REG_MULTI_SZ, std::string("AT\0ATZ\0\0", 8)},
        {"REG_MULTI_SZ", {}, true, REG_MULTI_SZ, std::string("\0", 1)},
        {"REG_MULTI_SZ", {"a", ""}, false, 0, ""},
        {"REG_BINARY", {"01ff", "0a,0B"}, true, REG_BINARY, "\x01\xff\x0a\x0b"},
        {"REG_BINARY", {"0"}, false, 0, ""},
        {"REG_BINARY", {"zz"}, false, 0, ""},
        {"REG_QWORD", {"1"}, false, 0, ""},
    };
    for (const Case& c : cases) {
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        std::string error;
        bool ok = parse_set_data(c.type, c.args, type, data, error);
        EXPECT_EQ(ok, c.ok) << c.type << " " << error;
        if (ok && c.ok) {
            EXPECT_EQ(type, c.want_type);
            EXPECT_EQ(std::string(data.begin(), data.end()), c.want) << c.type;
        } else if (!ok) {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(RegToolParse, Regedit4Lines) {
    const std::string text =
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment\n"
        "[HKEY_LOCAL_MACHINE\\Software\\A]\n"
        "\"Quoted \\\"name\\\"\"=\"C:\\\\dir \\\"x\\\"\"\n"
        "@=\"default\"\n"
        "\"n\" = dword:0000000a\n"
        "\"m\"=hex(7):61,00,\\\n"
        "  62,00,00\n"
        "\"b\"=hex:\n"
        "\"q\"=hex(b):01,02\n"
        "\"gone\"=-\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n"
        "[hklm\\Software\\B\\]\n";
    std::vector<ImportOp> ops;
    std::string error;
    ASSERT_TRUE(parse_regedit4(text, ops, error)) << error;
    ASSERT_EQ(ops.size(), 10u);
    using K = ImportOp::Kind;
    EXPECT_EQ(ops[0].kind, K::create_key);
    EXPECT_EQ(ops[0].key, "Software\\A");
    EXPECT_EQ(ops[1].name, "Quoted \"name\"");
    EXPECT_EQ(std::string(ops[1].data.begin(), ops[1].data.end()),
              std::string("C:\\dir \"x\"\0", 11));
    EXPECT_EQ(ops[2].name, "");
    EXPECT_EQ(ops[3].type, REG_DWORD);
    EXPECT_EQ(ops[3].data, (std::vector<std::uint8_t>{10, 0, 0, 0}));
    EXPECT_EQ(ops[4].type, REG_MULTI_SZ);
    EXPECT_EQ(std::string(ops[4].data.begin(), ops[4].data.end()), std::string("a\0b\0\0", 5));
    EXPECT_EQ(ops[5].type, REG_BINARY);
    EXPECT_TRUE(ops[5].data.empty());
    EXPECT_EQ(ops[6].type, 0xbu);
    EXPECT_EQ(ops[7].kind, K::delete_value);
    EXPECT_EQ(ops[8].kind, K::delete_tree);
    EXPECT_EQ(ops[8].key, "Software\\Old");
    EXPECT_EQ(ops[9].key, "Software\\B");

    const std::pair<const char*, const char*> bad[] = {
        {"", "not a REGEDIT4"},
        {"Windows Registry Editor Version 5.00\n", "line 1"},
        {"REGEDIT4\n\"v\"=\"x\"\n", "line 2: value outside"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n", "line 2: key must be below"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", "line 2: section"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"=dword:123456789\n", "line 3: bad dword"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"=hex:1,2g\n", "line 3: bad hex"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"=hex:01,\\\n", "line 3: hex data continues"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"=\"open\n", "line 3: bad string"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"=\"a\" junk\n", "line 3: bad string"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"=qword:1\n", "line 3: unknown value data"},
        {"REGEDIT4\n[HKLM\\X]\n\"v\"\n", "line 3: = expected"},
        {"REGEDIT4\n[HKLM\\X]\nv=1\n", "line 3: cannot read"},
        {"REGEDIT4\n[HKLM\\X]\n\"a\rb\"=\"x\"\n", "line 3: value name"},
        {"REGEDIT4\n[HKLM\\a\rb]\n", "line 2: key name"},
    };
    for (const auto& [input, want] : bad) {
        std::string err;
        EXPECT_FALSE(parse_regedit4(input, ops, err)) << input;
        EXPECT_NE(err.find(want), std::string::npos) << input << " -> " << err;
    }
}

TEST(RegToolParse, ValueLinesRoundTrip) {
    struct Case {
        std::string name;
        DWORD type;
        std::string data;
        std::string line;  // expected start of the exported line
    };
    const Case cases[] = {
        {"Prompt", REG_SZ, std::string("Hi \"you\" \\o/\0", 13),
         "\"Prompt\"=\"Hi \\\"you\\\" \\\\o/\""},
        {"", REG_SZ, std::string("\0", 1), "@=\"\""},
        {"empty", REG_SZ, "", "\"empty\"=hex(1):"},
        {"noterm", REG_SZ, "abc", "\"noterm\"=hex(1):61,62,63"},
        {"esc", REG_SZ, std::string("\x1d\0", 2), "\"esc\"=hex(1):1d,00"},
        {"8bit", REG_SZ, std::string("caf\xe9\0", 5), "\"8bit\"=hex(1):63,61,66,e9,00"},
        {"nul", REG_SZ, std::string("a\0b\0", 4), "\"nul\"=hex(1):"},
        {"exp", REG_EXPAND_SZ, std::string("%x%\0", 4), "\"exp\"=hex(2):"},
        {"n", REG_DWORD, std::string("\x0a\0\0\0", 4), "\"n\"=dword:0000000a"},
        {"short", REG_DWORD, "\x01", "\"short\"=hex(4):01"},
        {"multi", REG_MULTI_SZ, std::string("\0", 1), "\"multi\"=hex(7):00"},
        {"multi0", REG_MULTI_SZ, "", "\"multi0\"=hex(7):"},
        {"bin", REG_BINARY, std::string(100, '\xab'), "\"bin\"=hex:ab,ab"},
        {"none", REG_NONE, "", "\"none\"=hex(0):"},
        {"big", 0x12345, "\x01", "\"big\"=hex(12345):01"},
        {"caf\xe9 \"q\"", REG_DWORD, std::string("\0\0\0\0", 4), "\"caf\xe9 \\\"q\\\"\"=dword:"},
    };
    for (const Case& c : cases) {
        std::string line;
        std::string error;
        std::vector<std::uint8_t> data(c.data.begin(), c.data.end());
        ASSERT_TRUE(format_regedit4_value(c.name, c.type, data, line, error)) << c.name;
        EXPECT_EQ(line.rfind(c.line, 0), 0u) << line;
        for (std::size_t start = 0; start < line.size();) {
            std::size_t end = line.find('\n', start);
            std::size_t len = (end == std::string::npos ? line.size() : end) - start;
            EXPECT_LE(len, 80u) << c.name;
            start += len + 1;
        }
        std::vector<ImportOp> ops;
        ASSERT_TRUE(parse_regedit4("REGEDIT4\n[HKLM\\K]\n" + line + "\n", ops, error)) << error;
        ASSERT_EQ(ops.size(), 2u);
        EXPECT_EQ(ops[1].name, c.name);
        EXPECT_EQ(ops[1].type, c.type) << c.name;
        EXPECT_EQ(ops[1].data, data) << c.name;
    }
    std::string line;
    std::string error;
    EXPECT_FALSE(format_regedit4_value("two\nlines", REG_SZ, {0}, line, error));
}

TEST_F(RegToolTest, SetQueryDelete) {
    const std::string key = "HKLM/Software/Brismoor/Varolan/Version 1.3";
    EXPECT_EQ(run_tool({"set", key, "Number of Ports", "REG_DWORD", "0x2"}).status, 0);
    EXPECT_EQ(run_tool({"set", key, "Prompt", "REG_SZ", "Welcome \"here\""}).status, 0);
    EXPECT_EQ(
        run_tool({"set", key + "/Serial0", "Modem Init", "REG_MULTI_SZ", "ATZ", "ATE0"}).status, 0);
    EXPECT_EQ(run_tool({"set", key + "/Serial0", "Xon Char", "REG_SZ", "\x11"}).status, 0);
    EXPECT_EQ(run_tool({"set", key + "/Serial0", "Blob", "REG_BINARY", "00ff10"}).status, 0);

    Result r = run_tool({"query", "software\\brismoor\\varolan\\version 1.3", "number of ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "REG_DWORD 2 (0x00000002)\n");
    r = run_tool({"query", key});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\Software\\Brismoor\\Varolan\\Version 1.3\n"
              "    Number of Ports = REG_DWORD 2 (0x00000002)\n"
              "    Prompt = REG_SZ \"Welcome \\\"here\\\"\"\n"
              "    Serial0\\\n");
    r = run_tool({"query", key + "\\Serial0"});
    EXPECT_NE(r.out.find("    Modem Init = REG_MULTI_SZ \"ATZ\" \"ATE0\"\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("    Xon Char = REG_SZ \"\\x11\"\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    Blob = REG_BINARY 00 ff 10\n"), std::string::npos) << r.out;

    // The store sees exactly what was set.
    Key k = create("Software\\Brismoor\\Varolan\\Version 1.3\\Serial0");
    std::vector<std::uint8_t> data;
    ASSERT_EQ(get(k, "Modem Init", nullptr, &data), 0);
    EXPECT_EQ(data, bytes(std::string_view("ATZ\0ATE0\0\0", 10)));

    EXPECT_EQ(run_tool({"delete", key + "/Serial0", "Blob"}).status, 0);
    expect_failure_line(run_tool({"delete", key + "/Serial0", "Blob"}));
    EXPECT_EQ(run_tool({"delete", "HKLM\\Software\\Brismoor"}).status, 0);  // with subkeys
    expect_failure_line(run_tool({"query", key}));
}

TEST_F(RegToolTest, FailuresAreOneLineWithNonZeroStatus) {
    write_file(dir_.str("bad.reg"), "REGEDIT4\n[HKLM\\X]\n\"v\"=dword:zz\n");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"query"},
        {"query", "Nothing\\Here"},
        {"set", "K", "v", "REG_DWORD", "ten"},
        {"set", "K", "v"},
        {"set", "HARDWARE\\DEVICEMAP\\SERIALCOMM", "v", "REG_SZ", "x"},
        {"delete", "Nothing"},
        {"export", "Nothing"},
        {"import", dir_.str("missing.reg")},
        {"import", dir_.str("bad.reg")},
        {"devicemap", "extra"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
        expect_failure_line(run_tool(args));
    }
    Result r = run_tool({"import", dir_.str("bad.reg")});
    EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
    // A file that is not a store names the file.
    write_file(dir_.str("notadb"), std::string(4096, 'j'));
    ScopedEnv env("VAROLAN_REGISTRY", dir_.str("notadb"));
    r = run_tool({"query", "Software"});
    expect_failure_line(r);
    EXPECT_NE(r.err.find(dir_.str("notadb")), std::string::npos) << r.err;
    EXPECT_EQ(run_tool({"--help"}).status, 0);
}

// An import is not one transaction: a failure half-way says how much of the
// file is already in the store.
TEST_F(RegToolTest, FailedImportSaysHowManyChangesWereApplied) {
    std::vector<ImportOp> ops;
    std::string error;
    ASSERT_TRUE(
        parse_regedit4("REGEDIT4\n\n[HKLM\\Imp]\n\"A\"=dword:00000001\n\"B\"=\"two\"\n"
                       "\"C\"=dword:00000003\n",
                       ops, error))
        << error;
    ASSERT_EQ(ops.size(), 4u);  // the key, then three values
    inject_fault(Op::set_value, "Imp", "B", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(apply_import(ops, error));
    EXPECT_EQ(error.rfind("line 5: cannot change HKEY_LOCAL_MACHINE\\Imp: ", 0), 0u) << error;
    EXPECT_NE(error.find("(2 of 4 changes were applied before it, none after)"), std::string::npos)
        << error;
    Key k;
    ASSERT_EQ(open_key(hklm(), "Imp", KEY_READ, k), 0);
    EXPECT_EQ(value_names(k), (std::vector<std::string>{"A"}));

    // The same file through the command: one line naming the file and the count.
    clear_faults();
    write_file(dir_.str("partial.reg"),
               "REGEDIT4\n[HKLM\\Imp2]\n\"A\"=dword:00000001\n[HKLM\\HARDWARE\\X]\n");
    Result r = run_tool({"import", dir_.str("partial.reg")});
    expect_failure_line(r);
    EXPECT_NE(r.err.find("partial.reg: line 4: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(2 of 3 changes were applied before it, none after)"), std::string::npos)
        << r.err;
}

TEST_F(RegToolTest, ExportThenImportRestoresAnIdenticalKey) {
    {
        Key k = create("Software\\Brismoor\\Varolan\\Version 1.3");
        ASSERT_EQ(set(k, "Number of Ports", REG_DWORD, dword(2)), 0);
        ASSERT_EQ(set(k, "Prompt", REG_SZ, bytes(std::string_view("Caf\xe9 \\ \"ok\"\0", 12))), 0);
        ASSERT_EQ(set(k, "Escape Char", REG_SZ, bytes(std::string_view("\x1d\x03\0", 3))), 0);
        ASSERT_EQ(set(k, "Terminal Type", REG_SZ, bytes(std::string_view("\0", 1))), 0);
        ASSERT_EQ(set(k, "Zero Length", REG_SZ, {}), 0);
        ASSERT_EQ(set(k, "", REG_SZ, bytes(std::string_view("default\0", 8))), 0);
        Key p = create("Software\\Brismoor\\Varolan\\Version 1.3\\Serial0");
        ASSERT_EQ(set(p, "Login Script", REG_MULTI_SZ, bytes(std::string_view("\0", 1))), 0);
        ASSERT_EQ(
            set(p, "Modem Init", REG_MULTI_SZ, bytes(std::string_view("AT&F\0\xff\x01\0\0", 9))),
            0);
        ASSERT_EQ(set(p, "Empty Multi", REG_MULTI_SZ, {}), 0);
        ASSERT_EQ(set(p, "Blob", REG_BINARY, std::vector<std::uint8_t>(300, 0x5a)), 0);
        ASSERT_EQ(set(p, "Short", REG_DWORD, {1, 2}), 0);
        create("Software\\Brismoor\\Varolan\\Version 1.3\\Serial1\\Deeper");
        create("Software\\Brismoor\\Varolan\\Version 1.3\\Empty");
    }
    const std::string base = "Software\\Brismoor";
    std::vector<std::pair<std::string, std::vector<Stored>>> before;
    snapshot(base, before);

    std::string file = dir_.str("export.reg");
    Result r = run_tool({"export", "HKLM\\" + base, file});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string text = slurp(file);
    EXPECT_EQ(text.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Brismoor]\n", 0), 0u) << text;
    EXPECT_EQ(run_tool({"export", base}).out, text);  // standard output carries the same text

    ASSERT_EQ(run_tool({"delete", base}).status, 0);
    Key gone;
    ASSERT_EQ(open_key(hklm(), base, KEY_READ, gone), (LONG)ERROR_FILE_NOT_FOUND);
    r = run_tool({"import", file});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::pair<std::string, std::vector<Stored>>> after;
    snapshot(base, after);
    EXPECT_EQ(before, after);
    EXPECT_EQ(run_tool({"export", base}).out, text);

    // Deletions in a file: a value and a whole tree.
    write_file(dir_.str("del.reg"),
               "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Brismoor\\Varolan\\Version 1.3]\n"
               "\"Prompt\"=-\n\n[-HKEY_LOCAL_MACHINE\\Software\\Brismoor\\Varolan\\Version "
               "1.3\\Serial1]\n");
    ASSERT_EQ(run_tool({"import", dir_.str("del.reg")}).status, 0);
    Key k;
    ASSERT_EQ(open_key(hklm(), "Software\\Brismoor\\Varolan\\Version 1.3", KEY_READ, k), 0);
    DWORD size = 0;
    EXPECT_EQ(query_value(k, "Prompt", nullptr, nullptr, &size), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(subkeys(k), (std::vector<std::string>{"Empty", "Serial0"}));
}

TEST_F(RegToolTest, DeviceMapListsThePorts) {
    write_file(dir_.str("devicemap"), "Serial0=ttyS0\nusb-X-if00=ttyUSB0\n");
    Result r = run_tool({"devicemap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Serial0=ttyS0\nusb-X-if00=ttyUSB0\n");
}

}  // namespace
}  // namespace varolan::test
