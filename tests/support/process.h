// Test helpers about this process and the environment it runs in.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace varolan::test {

// Number of entries in /proc/self/fd and /proc/self/task.
int count_open_fds();
int count_threads();
// The same for another process.
int count_open_fds(int pid);
int count_threads(int pid);

// Sends `sig` to the one process `pid`. A pid of 0 or below names a whole process
// group (0: this test's own, with ctest and the shell that runs it; -1: every process
// the user may signal), so it is refused and the result is false.
bool signal_process(int pid, int sig);
// Kills `pid` if it is still running and reaps it when it is our child; nothing for
// a pid of 0 or below.
void kill_and_reap(int pid);

// A fresh directory under $TMPDIR, removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str(const std::string& child = "") const;

  private:
    std::filesystem::path path_;
};

// Sets (or unsets, with nullopt) an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// The whole content of a file ("" when it cannot be read).
std::string file_text(const std::string& path);

// What the shell command `command` writes to its standard output (add "2>&1"
// for its errors too); its exit status in `status` (-1 when it did not exit).
std::string command_output(const std::string& command, int* status);

// Directory of the build tree (binaries such as tarnix and varolan-reg live in
// its subfolders); from $VAROLAN_BUILD_DIR, set by CTest.
std::filesystem::path build_dir();
// Path of a built program by target name, searched below build_dir().
std::filesystem::path program_path(const std::string& name);

}  // namespace varolan::test
