// Hostile store contents: the values the service and the utility read, of
// every interesting length up to 64 KiB, of the wrong type, with embedded NULs
// and multi-strings without their terminator. The service reads no byte past
// its buffers (this suite runs under ASan) and serves on; the utility reports
// a value it cannot read and goes on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/registry/registry.h"
#include "service/lifecycle/lifecycle.h"
#include "service/pipe/pipe_session.h"
#include "service/session/globals.h"
#include "service/session/session.h"
#include "tests/service/serial/port_session_fixture.h"
#include "tests/support/utility_messages.h"
#include "utility/portdb/port_record.h"
#include "utility/strings/strings.h"

namespace varolan::robust {
namespace {

// One stored value: its type and bytes.
struct Stored {
    std::string what;
    DWORD type;
    std::string bytes;
};

// Text of `length` printable bytes that tells positions apart.
std::string text_of(std::size_t length) {
    std::string s(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        s[i] = static_cast<char>('A' + i % 26);
    }
    return s;
}

// Every shape a string value is tried in.
std::vector<Stored> hostile_strings() {
    std::vector<Stored> out;
    for (std::size_t n : {0u, 1u, 11u, 12u, 15u, 16u, 255u, 256u, 257u, 4096u, 65536u}) {
        const std::string t = text_of(n);
        out.push_back({"REG_SZ " + std::to_string(n), reg::REG_SZ, t + std::string(1, '\0')});
        out.push_back({"unterminated " + std::to_string(n), reg::REG_SZ, t});
        out.push_back({"REG_BINARY " + std::to_string(n), reg::REG_BINARY, t});
        out.push_back(
            {"REG_MULTI_SZ " + std::to_string(n), reg::REG_MULTI_SZ, t + std::string(2, '\0')});
    }
    out.push_back({"REG_DWORD", reg::REG_DWORD, std::string("\x01\x02\x03\x04", 4)});
    out.push_back({"embedded NULs", reg::REG_SZ, std::string("ab\0cd\0\0ef", 9)});
    out.push_back({"NUL first", reg::REG_SZ, std::string("\0abc", 4)});
    out.push_back({"high bytes", reg::REG_SZ, std::string("\xff\xfe\x80\x1d", 4)});
    return out;
}

// What the service's 256-byte string read yields.
std::string service_string(const std::string& bytes) {
    if (bytes.size() > REG_STRING_SIZE) {
        return "";
    }
    std::string s = bytes.substr(0, bytes.find('\0'));
    return s.substr(0, REG_STRING_SIZE - 1);
}

// The strings of a multi-string as the service takes them: at most 256 bytes
// read (a longer value is not read at all), strings up to the first empty one
// or the end of the data.
std::vector<std::string> service_multi(const std::string& bytes) {
    std::vector<std::string> out;
    if (bytes.size() > REG_STRING_SIZE) {
        return out;
    }
    std::size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] != '\0') {
        std::size_t end = bytes.find('\0', pos);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        out.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

void store(const std::string& key_path, const char* name, const Stored& v) {
    reg::Key key;
    ASSERT_EQ(reg::create_key(reg::hklm(), key_path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
    ASSERT_EQ(
        reg::set_value(key, name, v.type, reinterpret_cast<const std::uint8_t*>(v.bytes.data()),
                       static_cast<DWORD>(v.bytes.size())),
        ERROR_SUCCESS);
}

// --- the service's global values ---------------------------------------------------

class HostileGlobals : public ::testing::Test {
  protected:
    HostileGlobals() { reg::reset_store(); }
    ~HostileGlobals() override {
        service::reset_globals();
        service::reset_lifecycle();
        reg::reset_store();
    }
    test::TempDir dir;
    test::ScopedEnv env{"VAROLAN_REGISTRY", dir.str("registry.db")};
};

TEST_F(HostileGlobals, PromptAndEscapeCharStayInsideTheirBuffers) {
    for (const Stored& v : hostile_strings()) {
        SCOPED_TRACE(v.what);
        store(layout::PRODUCT_KEY, layout::VALUE_PROMPT, v);
        store(layout::PRODUCT_KEY, layout::VALUE_ESCAPE_CHAR, v);
        service::reset_globals();
        service::set_session_entries(nullptr, nullptr);  // no sessions: globals only
        service::start_sessions();

        const std::string read = service_string(v.bytes);
        ASSERT_LT(strnlen(service::global_prompt, service::PROMPT_SIZE), service::PROMPT_SIZE);
        ASSERT_LT(strnlen(service::escape_set, service::ESCAPE_SET_SIZE), service::ESCAPE_SET_SIZE);
        EXPECT_EQ(std::string(service::global_prompt), read.substr(0, service::PROMPT_SIZE - 1));
        EXPECT_EQ(std::string(service::escape_set), read.substr(0, service::ESCAPE_SET_SIZE - 1));

        // The prompt built from it still ends as a prompt and fits.
        char prompt[service::PROMPT_SIZE];
        std::memset(prompt, 0x55, sizeof prompt);
        service::format_session_prompt(prompt, service::PIPE_NAME);
        const std::size_t length = strnlen(prompt, sizeof prompt);
        ASSERT_LT(length, sizeof prompt);
        EXPECT_EQ(std::string(prompt).substr(length - 10), "\r\nTelnet >");
    }
}

TEST_F(HostileGlobals, TerminalTypeIsCutToFifteenCharacters) {
    for (const Stored& v : hostile_strings()) {
        SCOPED_TRACE(v.what);
        store(layout::PRODUCT_KEY, layout::VALUE_TERMINAL_TYPE, v);
        char buffer[REG_STRING_SIZE];
        reg_read_string(layout::PRODUCT_KEY, layout::VALUE_TERMINAL_TYPE, buffer);
        service::SessionRecord record;
        std::memset(record.terminal_type, 0x55, sizeof record.terminal_type);
        service::set_terminal_type(record, buffer);
        ASSERT_LT(strnlen(record.terminal_type, service::TERMINAL_TYPE_SIZE),
                  service::TERMINAL_TYPE_SIZE);
        EXPECT_EQ(std::string(record.terminal_type), service_string(v.bytes).substr(0, 15));
    }
}

// --- the port session ----------------------------------------------------------------

class HostilePortKey : public test::PortSessionTest {
  protected:
    void store_value(const char* name, const Stored& v) { store(key_path_, name, v); }
};

TEST_F(HostilePortKey, ModemInitOfEveryShapeIsSentWithinWhatWasRead) {
    std::vector<Stored> cases = hostile_strings();
    cases.push_back({"two lines", reg::REG_MULTI_SZ, std::string("ATZ\0ATS0=1\0\0", 12)});
    cases.push_back({"no terminator", reg::REG_MULTI_SZ, std::string("ATZ\0ATS0=1", 10)});
    cases.push_back({"empty first", reg::REG_MULTI_SZ, std::string("\0ATZ\0\0", 6)});
    cases.push_back({"256 bytes of lines", reg::REG_MULTI_SZ,
                     text_of(100) + std::string(1, '\0') + text_of(155)});
    for (const Stored& v : cases) {
        SCOPED_TRACE(v.what);
        store_value(layout::VALUE_MODEM_INIT, v);
        const std::size_t before = line_->output().size();
        start();
        ASSERT_TRUE(wait_prompt(before));
        std::string expected;
        for (const std::string& s : service_multi(v.bytes)) {
            expected += s + "\r";
        }
        const std::string output = line_->output().substr(before);
        EXPECT_EQ(output.substr(0, expected.size()), expected);
        EXPECT_NE(output.find("Telnet >", expected.size()), std::string::npos);
        stop();
        line_->reconnect();  // the line stop() hung up serves the next case
    }
}

TEST_F(HostilePortKey, LoginScriptOfEveryShapeIsSentWithinWhatWasRead) {
    std::vector<Stored> cases = hostile_strings();
    cases.push_back({"two lines", reg::REG_MULTI_SZ, std::string("user\0secret\0\0", 13)});
    cases.push_back({"no terminator", reg::REG_MULTI_SZ, std::string("user\0secret", 11)});
    int connections = 0;
    set_escape("\x1d");
    start();
    ASSERT_TRUE(wait_prompt());
    for (const Stored& v : cases) {
        SCOPED_TRACE(v.what);
        store_value(layout::VALUE_LOGIN_SCRIPT, v);
        ASSERT_TRUE(open_host(connections));
        ++connections;
        // The script goes out once the host has sent something.
        ASSERT_TRUE(host_.send("login: "));
        ASSERT_TRUE(line_->wait_for_output("login: "));
        // Each line with its CR; a data byte 255 goes as IAC IAC.
        std::string expected;
        for (const std::string& s : service_multi(v.bytes)) {
            for (char c : s + "\r") {
                expected +=
                    static_cast<unsigned char>(c) == 0xff ? std::string(2, c) : std::string(1, c);
            }
        }
        if (!expected.empty()) {
            EXPECT_TRUE(host_.wait_for_received(expected.size()));
        }
        // Escape: the next user gets a fresh port, which reads the script anew.
        line_->take_output();
        line_->push_input("\x1d");
        EXPECT_TRUE(host_.wait_for_peer_close());
        EXPECT_EQ(host_.received(), expected);
        ASSERT_TRUE(wait_prompt());
    }
}

TEST_F(HostilePortKey, TerminalTypeAnswerHoldsAtMostFifteenCharacters) {
    int connections = 0;
    for (const Stored& v : hostile_strings()) {
        SCOPED_TRACE(v.what);
        store_value(layout::VALUE_TERMINAL_TYPE, v);
        start();
        ASSERT_TRUE(wait_prompt());
        ASSERT_TRUE(open_host(connections));
        ++connections;
        ASSERT_TRUE(host_.send(std::string("\xff\xfa\x18\x01\xff\xf0", 6)));
        std::string name = service_string(v.bytes).substr(0, 15);
        if (name.empty()) {
            name = "UNKNOWN";
        }
        const std::string answer = std::string("\xff\xfa\x18\x00", 4) + name + "\xff\xf0";
        EXPECT_TRUE(host_.wait_for_received(answer.size()));
        EXPECT_EQ(host_.received(), answer);
        stop();
        line_->reconnect();  // the line stop() hung up serves the next case
    }
}

TEST_F(HostilePortKey, PortNameOfEveryShapeIsServedOrGivenUpAsDesigned) {
    for (const Stored& v : hostile_strings()) {
        SCOPED_TRACE(v.what);
        store_value(layout::VALUE_PORT_NAME, v);
        const std::string name = service_string(v.bytes);
        std::string path = name.empty() ? "" : ("/dev/" + name).substr(0, 63);
        if (path.empty()) {
            // Nothing to open: the port is given up as not openable.
            EXPECT_TRUE(run_to_end());
            EXPECT_EQ(device_flags(), layout::DEVICE_OPEN_FAILED);
            continue;
        }
        device_name_ = path;
        line_ = opener_.add_line(path);
        start();
        EXPECT_TRUE(wait_prompt()) << "the port is served under its cut name";
        stop();
    }
}

// --- the utility ----------------------------------------------------------------------

class HostileUtility : public ::testing::Test {
  protected:
    HostileUtility() { reg::reset_store(); }
    ~HostileUtility() override { reg::reset_store(); }
    test::TempDir dir;
    test::ScopedEnv env{"VAROLAN_REGISTRY", dir.str("registry.db")};
    test::RecordingMessageSink sink;
};

TEST_F(HostileUtility, ReadSettingsReportsWhatItCannotReadAndNothingElse) {
    const std::string key_path = std::string(layout::PRODUCT_KEY_UTILITY) + "\\Serial0";
    // A complete port key as the utility writes it.
    {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), key_path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        util::PortSettings fresh;
        fresh.port_name = "ttyS0";
        ASSERT_TRUE(fresh.WriteSettings(key));
    }
    struct Field {
        const char* name;
        unsigned message;  // string-table number of its read failure
    };
    const Field fields[] = {{layout::VALUE_PORT_NAME, util::IDS_ERR_GET_SETTING_FIRST},
                            {layout::VALUE_ESCAPE_CHAR, util::IDS_ERR_GET_SETTING_FIRST + 6},
                            {layout::VALUE_TERMINAL_TYPE, util::IDS_ERR_GET_SETTING_FIRST + 7},
                            {layout::VALUE_XON_CHAR, util::IDS_ERR_GET_SETTING_FIRST + 8},
                            {layout::VALUE_XOFF_CHAR, util::IDS_ERR_GET_SETTING_FIRST + 9}};
    for (const Field& f : fields) {
        for (const Stored& v : hostile_strings()) {
            SCOPED_TRACE(std::string(f.name) + ": " + v.what);
            store(key_path, f.name, v);
            reg::Key key;
            ASSERT_EQ(reg::open_key(reg::hklm(), key_path, util::KEY_READ_WRITE, key),
                      ERROR_SUCCESS);
            sink.clear();
            util::PortSettings s;
            const bool ok = s.ReadSettings(key);
            // 512 bytes is the utility's buffer: longer values are reported.
            const bool readable = v.bytes.size() <= util::STRING_READ_BUFFER;
            EXPECT_EQ(ok, readable);
            if (readable) {
                EXPECT_TRUE(sink.shown.empty());
            } else {
                ASSERT_EQ(sink.shown.size(), 1u);
                EXPECT_EQ(sink.shown[0].text, util::load_string(f.message));
            }
            EXPECT_LE(s.port_name.size(), util::STRING_READ_BUFFER);
            EXPECT_EQ(s.port_name.find('\0'), std::string::npos);
            EXPECT_LE(util::bytes_to_hex(s.escape).size(), 2 * util::HEX_DISPLAY_LIMIT);
        }
        // Back to a readable value for the next field.
        store(key_path, f.name, {"", reg::REG_SZ, std::string("\x11", 2)});
    }
}

}  // namespace
}  // namespace varolan::robust
