// Several writers at once: other processes, other threads, a writer killed
// in the middle of its work.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/core/thread.h"
#include "tests/platform/registry/store_fixture.h"

namespace varolan::test {
namespace {

using namespace varolan::reg;

class ConcurrencyTest : public StoreTest {
  protected:
    static bool wait_child(pid_t pid, int* status) {
        while (waitpid(pid, status, 0) < 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(ConcurrencyTest, TwoProcessesWritingOneKeyLoseNothing) {
    create("Shared");  // the parent's connection is inherited and must not be used
    constexpr int kWrites = 150;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                Key key;
                // A fresh open per write, as the gateway's store operations do.
                if (create_key(hklm(), "Shared", KEY_ALL_ACCESS, key) != 0) {
                    ++failures;
                    continue;
                }
                std::string name = "p" + std::to_string(k) + "-" + std::to_string(i);
                auto v = dword(static_cast<std::uint32_t>(i));
                failures += set_value(key, name, REG_DWORD, v.data(), 4) != 0;
                failures += set_value(key, "last" + std::to_string(k), REG_DWORD, v.data(), 4) != 0;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_TRUE(wait_child(pid, &status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    Key key = create("Shared");
    EXPECT_EQ(value_names(key).size(), 2u * kWrites + 2);
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < kWrites; ++i) {
            std::vector<std::uint8_t> data;
            ASSERT_EQ(get(key, "p" + std::to_string(k) + "-" + std::to_string(i), nullptr, &data),
                      0);
            EXPECT_EQ(data, dword(static_cast<std::uint32_t>(i)));
        }
        std::vector<std::uint8_t> last;
        ASSERT_EQ(get(key, "last" + std::to_string(k), nullptr, &last), 0);
        EXPECT_EQ(last, dword(kWrites - 1));
    }
}

TEST_F(ConcurrencyTest, ProcessesCreatingTheStoreTogetherAllSucceed) {
    constexpr int kRounds = 5;
    constexpr int kKids = 4;
    for (int round = 0; round < kRounds; ++round) {
        std::string path = dir_.str("fresh" + std::to_string(round) + ".db");
        ScopedEnv env("VAROLAN_REGISTRY", path);
        std::vector<pid_t> kids;
        for (int k = 0; k < kKids; ++k) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                Key key;
                auto v = dword(static_cast<std::uint32_t>(k));
                bool ok = create_key(hklm(), "Fresh", KEY_ALL_ACCESS, key) == 0 &&
                          set_value(key, "k" + std::to_string(k), REG_DWORD, v.data(), 4) == 0;
                _exit(ok ? 0 : 1);
            }
            kids.push_back(pid);
        }
        for (pid_t pid : kids) {
            int status = 0;
            ASSERT_TRUE(wait_child(pid, &status));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        EXPECT_EQ(value_names(create("Fresh")).size(), size_t{kKids});
    }
}

TEST_F(ConcurrencyTest, ManyThreadsShareTheStore) {
    create("Threads");
    constexpr int kThreads = 6;
    constexpr int kWrites = 60;
    std::atomic<int> failures{0};
    {
        std::vector<Thread> threads(kThreads);
        for (int t = 0; t < kThreads; ++t) {
            ASSERT_TRUE(threads[t].start([t, &failures] {
                for (int i = 0; i < kWrites; ++i) {
                    Key key;
                    if (create_key(hklm(), "Threads\\T" + std::to_string(t % 2), KEY_ALL_ACCESS,
                                   key) != 0) {
                        ++failures;
                        continue;
                    }
                    auto v = dword(static_cast<std::uint32_t>(i));
                    std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                    failures += set_value(key, name, REG_DWORD, v.data(), 4) != 0;
                    std::uint8_t buf[4];
                    DWORD size = sizeof buf;
                    failures += query_value(key, name, nullptr, buf, &size) != 0;
                    std::string sub;
                    failures += enum_key(hklm(), 0, sub) != 0;
                    if (i % 20 == 0) {
                        inject_fault(Op::enum_key, "Nowhere", "", ERROR_GEN_FAILURE);
                        clear_faults();
                    }
                }
            }));
        }
    }  // joined
    EXPECT_EQ(failures.load(), 0);
    Key a = create("Threads\\T0");
    Key b = create("Threads\\T1");
    EXPECT_EQ(value_names(a).size() + value_names(b).size(), size_t{kThreads * kWrites});
}

TEST_F(ConcurrencyTest, KilledWriterLeavesOldOrNewValue) {
    constexpr std::size_t kBlob = 256 * 1024;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        reset_store();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Key key;
            if (create_key(hklm(), "Crash", KEY_ALL_ACCESS, key) != 0) {
                _exit(1);
            }
            std::vector<std::uint8_t> blob(kBlob);
            for (std::uint32_t i = 0;; ++i) {
                std::fill(blob.begin(), blob.end(), static_cast<std::uint8_t>(i));
                set_value(key, "blob", REG_BINARY, blob.data(), kBlob);
                auto v = dword(i);
                set_value(key, "n", REG_DWORD, v.data(), 4);
            }
        }
        // Let it write a few values, then kill it wherever it is.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::uint32_t seen = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            Key key;
            std::uint8_t buf[4];
            DWORD size = sizeof buf;
            if (open_key(hklm(), "Crash", KEY_READ, key) == 0 &&
                query_value(key, "n", nullptr, buf, &size) == 0) {
                seen = static_cast<std::uint32_t>(buf[0] | buf[1] << 8);
                if (seen >= static_cast<std::uint32_t>(3 + round * 4)) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_TRUE(wait_child(pid, &status));
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself: " << status;

        reset_store();
        Key key;
        ASSERT_EQ(open_key(hklm(), "Crash", KEY_ALL_ACCESS, key), 0);
        std::vector<std::uint8_t> blob;
        ASSERT_EQ(get(key, "blob", nullptr, &blob), 0);
        ASSERT_EQ(blob.size(), kBlob);
        EXPECT_EQ(std::count(blob.begin(), blob.end(), blob[0]), static_cast<long>(kBlob))
            << "a torn value";
        std::vector<std::uint8_t> n;
        ASSERT_EQ(get(key, "n", nullptr, &n), 0);
        // "n" is written after "blob": it equals the blob's round or the one before.
        std::uint8_t low = n[0];
        EXPECT_TRUE(blob[0] == low || blob[0] == static_cast<std::uint8_t>(low + 1));
        // The store takes writes again at once.
        auto v = dword(1);
        EXPECT_EQ(set_value(key, "after", REG_DWORD, v.data(), 4), 0);
    }
}

}  // namespace
}  // namespace varolan::test
