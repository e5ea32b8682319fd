#include "tests/support/process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace varolan::test {

namespace fs = std::filesystem;

namespace {
int count_entries(const fs::path& dir) {
    std::error_code ec;
    int n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        ++n;
    }
    return n;
}
}  // namespace

// The directory iterator holds one descriptor of its own while counting.
int count_open_fds() {
    return count_entries("/proc/self/fd") - 1;
}
int count_threads() {
    return count_entries("/proc/self/task");
}
int count_open_fds(int pid) {
    return count_entries(fs::path("/proc") / std::to_string(pid) / "fd");
}
int count_threads(int pid) {
    return count_entries(fs::path("/proc") / std::to_string(pid) / "task");
}

bool signal_process(int pid, int sig) {
    return pid > 0 && ::kill(pid, sig) == 0;
}

void kill_and_reap(int pid) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/varolan-test-XXXXXX";
    char* made = mkdtemp(templ.data());
    if (made == nullptr) {
        std::abort();
    }
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::str(const std::string& child) const {
    return child.empty() ? path_.string() : (path_ / child).string();
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

fs::path build_dir() {
    const char* dir = std::getenv("VAROLAN_BUILD_DIR");
    return dir != nullptr ? fs::path(dir) : fs::current_path();
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string command_output(const std::string& command, int* status) {
    std::string out;
    *status = -1;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) {
            out.append(buffer, n);
        }
        const int raw = ::pclose(p);
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return out;
}

fs::path program_path(const std::string& name) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(build_dir(), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().filename() == name &&
            access(it->path().c_str(), X_OK) == 0) {
            return it->path();
        }
    }
    return {};
}

}  // namespace varolan::test
