#include "platform/sysinfo/sysinfo.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/process.h"

namespace varolan::sysinfo {
namespace {

// The kernel's own figure, in KB, as /proc/meminfo shows it.
std::uint64_t meminfo_total_kb() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    std::uint64_t value = 0;
    std::string unit;
    while (in >> key >> value >> unit) {
        if (key == "MemTotal:") {
            return value;
        }
    }
    return 0;
}

TEST(SysInfo, TotalMemoryMatchesKernelFigure) {
    std::uint64_t bytes = 0;
    ASSERT_EQ(total_physical_memory(&bytes), ERROR_SUCCESS);
    const std::uint64_t expected = meminfo_total_kb();
    ASSERT_GT(expected, 0u);
    EXPECT_EQ(bytes >> 10, expected);
}

TEST(SysInfo, CurrentDirectoryAndItsFreeSpace) {
    std::string dir;
    ASSERT_EQ(current_directory(&dir), ERROR_SUCCESS);
    EXPECT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');

    test::TempDir temp;
    std::uint64_t bytes = 0;
    EXPECT_EQ(free_disk_space(temp.str(), &bytes), ERROR_SUCCESS);
}

TEST(SysInfo, MissingDirectoryIsAFailure) {
    test::TempDir temp;
    std::uint64_t bytes = 12345;
    EXPECT_EQ(free_disk_space(temp.str("no/such/dir"), &bytes), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(bytes, 12345u);
}

}  // namespace
}  // namespace varolan::sysinfo
