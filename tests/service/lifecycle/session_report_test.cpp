// `tarnix sessions` output: the listing read strictly, shown as an aligned
// table and as JSON.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "service/lifecycle/session_report.h"

namespace varolan::service {
namespace {

// 2026-12-08 06:30:00 UTC and 06:31:40.
const std::string LISTING =
    "pipe\talice\tconnected\ttelnet\tbuild-host\t2323\t12\t4096\t1796711400\t1796711500\n"
    "serial\t/dev/ttyS0\tprompt\t-\t-\t0\t0\t0\t1796711400\t0\n"
    "pipe\tj\\xc3\\xbcrgen\\x20\\xff\\x22\theld\ttelnet\th\\x5c\t23\t7\t0\t1796711400\t"
    "1796711400\n"
    "serial\t/dev/ttyUSB0\tconnected\tssh\t2001:db8::7\t22\t3\t9\t1796711400\t1796711500\n";

class SessionReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_tz_ = tz != nullptr ? tz : "";
        had_tz_ = tz != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (had_tz_) {
            ::setenv("TZ", saved_tz_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    std::vector<SessionRow> parse(const std::string& text) {
        std::vector<SessionRow> rows;
        std::string error;
        EXPECT_TRUE(parse_session_listing(text, &rows, &error)) << error;
        return rows;
    }

  private:
    std::string saved_tz_;
    bool had_tz_ = false;
};

TEST_F(SessionReportTest, TableForPeople) {
    const std::string expected[] = {
        "KIND    PLACE                      STATE      VIA     DESTINATION       TO HOST  TO USER  "
        "SINCE",
        "pipe    alice                      connected  telnet  build-host:2323        12     4096  "
        "2026-12-08 06:30:00",
        "serial  /dev/ttyS0                 prompt     -       -                       0        0  "
        "2026-12-08 06:30:00",
        "pipe    j\\xc3\\xbcrgen\\x20\\xff\\x22  held       telnet  h\\x5c:23                7     "
        "   0  "
        "2026-12-08 06:30:00",
        "serial  /dev/ttyUSB0               connected  ssh     [2001:db8::7]:22        3        9  "
        "2026-12-08 06:30:00",
    };
    std::string table;
    for (const std::string& line : expected) {
        table += line + "\n";
    }
    EXPECT_EQ(sessions_as_text(parse(LISTING)), table);
    EXPECT_EQ(sessions_as_text(parse("")), "no sessions\n");
}

TEST_F(SessionReportTest, JsonForScripts) {
    // UTF-8 stays as it is, a stray byte becomes its code point, quotes and
    // backslashes are escaped, no destination is null.
    EXPECT_EQ(
        sessions_as_json(parse(LISTING)),
        "{\"sessions\":["
        "{\"kind\":\"pipe\",\"place\":\"alice\",\"state\":\"connected\","
        "\"destination\":{\"protocol\":\"telnet\",\"host\":\"build-host\",\"port\":2323,"
        "\"since\":\"2026-12-08T06:31:40Z\"},"
        "\"bytes_to_host\":12,\"bytes_to_user\":4096,\"since\":\"2026-12-08T06:30:00Z\"},"
        "{\"kind\":\"serial\",\"place\":\"/dev/ttyS0\",\"state\":\"prompt\",\"destination\":null,"
        "\"bytes_to_host\":0,\"bytes_to_user\":0,\"since\":\"2026-12-08T06:30:00Z\"},"
        "{\"kind\":\"pipe\",\"place\":\"j\xc3\xbcrgen \\u00ff\\\"\",\"state\":\"held\","
        "\"destination\":{\"protocol\":\"telnet\",\"host\":\"h\\\\\",\"port\":23,"
        "\"since\":\"2026-12-08T06:30:00Z\"},"
        "\"bytes_to_host\":7,\"bytes_to_user\":0,\"since\":\"2026-12-08T06:30:00Z\"},"
        "{\"kind\":\"serial\",\"place\":\"/dev/ttyUSB0\",\"state\":\"connected\","
        "\"destination\":{\"protocol\":\"ssh\",\"host\":\"2001:db8::7\",\"port\":22,"
        "\"since\":\"2026-12-08T06:31:40Z\"},"
        "\"bytes_to_host\":3,\"bytes_to_user\":9,\"since\":\"2026-12-08T06:30:00Z\"}"
        "]}\n");
    EXPECT_EQ(sessions_as_json(parse("")), "{\"sessions\":[]}\n");
}

TEST_F(SessionReportTest, LinesTheServiceDoesNotWriteAreRefused) {
    const char* bad[] = {
        "pipe\talice\tprompt\t-\t-\t0\t0\t0\t1\n",                        // a field missing
        "pipe\talice\tprompt\t-\t-\t0\t0\t0\t1\t0",                       // no line end
        "modem\talice\tprompt\t-\t-\t0\t0\t0\t1\t0\n",                    // unknown kind
        "pipe\talice\tbusy\t-\t-\t0\t0\t0\t1\t0\n",                       // unknown state
        "pipe\talice\tprompt\trlogin\th\t0\t0\t0\t1\t0\n",                // unknown protocol
        "pipe\talice\tconnected\t-\th\t23\t0\t0\t1\t1\n",                 // host without protocol
        "pipe\talice\tconnected\tssh\t-\t22\t0\t0\t1\t1\n",               // protocol without host
        "pipe\tal ice\tprompt\t-\t-\t0\t0\t0\t1\t0\n",                    // a raw blank in a name
        "pipe\talice\\x4\tprompt\t-\t-\t0\t0\t0\t1\t0\n",                 // a cut escape
        "pipe\t\tprompt\t-\t-\t0\t0\t0\t1\t0\n",                          // an empty name
        "pipe\talice\tprompt\t-\t-\t65536\t0\t0\t1\t0\n",                 // port out of range
        "pipe\talice\tprompt\t-\t-\t0\t18446744073709551616\t0\t1\t0\n",  // count overflow
        "pipe\talice\tprompt\t-\t-\t0\t-1\t0\t1\t0\n",                    // a sign
    };
    for (const char* text : bad) {
        std::vector<SessionRow> rows;
        std::string error;
        EXPECT_FALSE(parse_session_listing(text, &rows, &error)) << text;
        EXPECT_EQ(error, "line 1 of the listing is not understood") << text;
    }
}

}  // namespace
}  // namespace varolan::service
