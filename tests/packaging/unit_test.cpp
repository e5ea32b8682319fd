// The shipped systemd unit: systemd's own assessment of its exposure, and its
// syntax checked against the built tarnix. Skipped where systemd-analyze is
// not installed.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "tests/support/process.h"

namespace varolan {
namespace {

const std::string UNIT = std::string(VAROLAN_SOURCE_DIR) + "/packaging/tarnix.service";

// The output (standard output and error) of a shell command and its status.
std::string run(const std::string& command, int* status) {
    return test::command_output(command + " 2>&1", status);
}

bool have_systemd_analyze() {
    return ::access("/usr/bin/systemd-analyze", X_OK) == 0;
}

TEST(SystemdUnit, ExposureRatedThreeOrBetter) {
    if (!have_systemd_analyze()) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    int status = 0;
    const std::string out =
        run("systemd-analyze security --offline=yes --no-pager '" + UNIT + "'", &status);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(out, m, std::regex("Overall exposure level for [^:]*: ([0-9.]+)")))
        << out;
    const double rating = std::stod(m[1]);
    EXPECT_LE(rating, 3.0) << out;
    RecordProperty("exposure", m[1].str());
}

// The unit is valid as systemd reads it, with ExecStart at the built program.
TEST(SystemdUnit, VerifiesAgainstTheBuiltProgram) {
    if (!have_systemd_analyze()) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    const std::string tarnix = test::program_path("tarnix").string();
    ASSERT_FALSE(tarnix.empty());
    std::ifstream in(UNIT);
    std::stringstream text;
    text << in.rdbuf();
    std::string unit =
        std::regex_replace(text.str(), std::regex("\nExecStart=[^\n]*"), "\nExecStart=" + tarnix);
    ASSERT_NE(unit.find("\nExecStart=" + tarnix), std::string::npos);
    test::TempDir dir;
    const std::string copy = dir.str("tarnix.service");
    std::ofstream(copy) << unit;
    int status = 0;
    const std::string out = run("systemd-analyze verify '" + copy + "'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "") << "every line of the unit is understood";
}

}  // namespace
}  // namespace varolan
