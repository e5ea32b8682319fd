// Who can read the store file, and whom the store trusts.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/platform/registry/store_fixture.h"

namespace varolan::test {
namespace {

using namespace varolan::reg;
namespace fs = std::filesystem;

unsigned mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0xFFFF;
}

class StoreAccessTest : public StoreTest {
  protected:
    ~StoreAccessTest() override { ::umask(old_umask_); }
    const mode_t old_umask_ = ::umask(0);  // the most permissive: nothing taken away
};

// Under a umask that takes nothing away, the store, its directory, and the
// -wal and -shm SQLite makes beside it are its owner's alone; an existing
// store whose files others could read is closed to them at the next open.
TEST_F(StoreAccessTest, FilesAreTheOwnersAloneWhateverTheUmask) {
    const std::string path = dir_.str("made/registry.db");
    ScopedEnv env("VAROLAN_REGISTRY", path);
    Key key = create("Software\\Secret");
    ASSERT_EQ(set(key, "Login Script", REG_MULTI_SZ, bytes(std::string("pw\0\0", 4))), 0);
    // The connection is open: the log and the shared-memory file exist now.
    for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
        EXPECT_EQ(mode_of(file), 0600u) << file;
    }
    EXPECT_EQ(mode_of(dir_.str("made")), 0700u);

    reset_store();
    for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
        std::ofstream(file, std::ios::app).flush();
        ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    }
    Key again;
    ASSERT_EQ(open_key(hklm(), "Software\\Secret", KEY_READ, again), 0);
    for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
        EXPECT_EQ(mode_of(file), 0600u) << file;
    }
}

// The store is trusted when nobody but this account, root or (for root) the
// service account could have changed it; otherwise one line names the path.
TEST_F(StoreAccessTest, TrustNamesThePathAnotherAccountCouldChange) {
    const std::string path = dir_.str("registry.db");
    create("Software");
    reset_store();
    const passwd* nobody = ::getpwnam("nobody");
    const bool root = ::geteuid() == 0 && nobody != nullptr;
    fs::create_directories(dir_.str("open"));
    ::chmod(dir_.str("open").c_str(), 01777);  // like /tmp
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::string store;     // VAROLAN_REGISTRY
        std::string account;   // VAROLAN_SERVICE_ACCOUNT
        std::string expected;  // in the problem; empty = trusted
        bool needs_root;
    };
    const std::string nobody_name = "nobody";
    const Case cases[] = {
        {"own files", [] {}, path, "", "", false},
        {"directory others can write", [&] { ::chmod(dir_.str().c_str(), 0777); }, path, "",
         "store directory '" + dir_.str() + "' can be written by other accounts (mode 0777)",
         false},
        {"file the group can write", [&] { ::chmod(path.c_str(), 0620); }, path, "",
         "store file '" + path + "' can be written by other accounts (mode 0620)", false},
        {"missing directory made in a shared one", [] {}, dir_.str("open/new/registry.db"), "",
         "store directory '" + dir_.str("open") + "' can be written", false},
        {"file of another account", [&] { ::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid); },
         path, "", "store file '" + path + "' is owned by another account, nobody (uid", true},
        {"file of the service account",
         [&] { ::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid); }, path, nobody_name, "",
         true},
        {"log of another account",
         [&] {
             std::ofstream(path + "-wal").flush();
             ::chown((path + "-wal").c_str(), nobody->pw_uid, nobody->pw_gid);
         },
         path, "", "store file '" + path + "-wal' is owned by another account", true},
    };
    for (const Case& c : cases) {
        if (c.needs_root && !root) {
            continue;
        }
        SCOPED_TRACE(c.what);
        ::chmod(dir_.str().c_str(), 0700);
        ::chmod(path.c_str(), 0600);
        ::chown(path.c_str(), ::geteuid(), ::getegid());
        fs::remove(path + "-wal");
        c.arrange();
        ScopedEnv store("VAROLAN_REGISTRY", c.store);
        ScopedEnv account("VAROLAN_SERVICE_ACCOUNT",
                          c.account.empty() ? std::optional<std::string>() : c.account);
        const std::string problem = store_trust_problem();
        if (c.expected.empty()) {
            EXPECT_EQ(problem, "");
        } else {
            EXPECT_NE(problem.find(c.expected), std::string::npos) << problem;
            EXPECT_EQ(problem.find('\n'), std::string::npos) << "one line";
        }
    }
    ::chmod(dir_.str().c_str(), 0700);
}

}  // namespace
}  // namespace varolan::test
