#include "tests/support/sshd.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

namespace varolan::test {

namespace {

constexpr const char* SSHD = "/usr/sbin/sshd";

// A port nobody listens on right now.
std::uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        port = ntohs(sa.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

bool accepts(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

// Every process below `root` (children, their children...), from /proc.
std::vector<int> descendants(int root) {
    std::vector<std::pair<int, int>> parent_of;  // pid, ppid
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
            int pid = std::atoi(e->d_name);
            if (pid <= 0) {
                continue;
            }
            std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
            std::size_t close = stat.rfind(')');
            int ppid = 0;
            char state = 0;
            if (close != std::string::npos &&
                std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2) {
                parent_of.emplace_back(pid, ppid);
            }
        }
        ::closedir(d);
    }
    std::vector<int> found{root};
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (const auto& [pid, ppid] : parent_of) {
            if (ppid == found[i]) {
                found.push_back(pid);
            }
        }
    }
    found.erase(found.begin());
    return found;
}

int run(const std::string& command) {
    int rc = std::system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

std::string sshd_unavailable() {
    if (::geteuid() != 0) {
        return "the OpenSSH server needs root";
    }
    if (::access(SSHD, X_OK) != 0) {
        return "no OpenSSH server installed (openssh-server)";
    }
    if (::access("/usr/bin/ssh-keygen", X_OK) != 0) {
        return "no ssh-keygen";
    }
    return "";
}

Sshd::Sshd() = default;

Sshd::~Sshd() {
    stop();
}

bool Sshd::start(const std::string& keys_of_root, bool new_host_key) {
    stop();
    // The server's privilege separation needs its empty folder.
    ::mkdir("/run/sshd", 0755);
    const std::string key = dir_.str("host_key");
    if (new_host_key || ::access(key.c_str(), R_OK) != 0) {
        ::unlink(key.c_str());
        ::unlink((key + ".pub").c_str());
        if (run("ssh-keygen -q -t ed25519 -N '' -f " + key) != 0) {
            return false;
        }
    }
    std::ofstream(dir_.str("root.keys")) << keys_of_root;
    for (int tries = 0; tries < 5; ++tries) {
        std::uint16_t port = port_ != 0 ? port_ : free_port();
        std::ofstream(dir_.str("sshd_config"))
            << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << key
            << "\nPidFile none\nAuthorizedKeysFile " << dir_.str("%u.keys")
            << "\nStrictModes no\nUsePAM no\nPubkeyAuthentication yes\n"
               "PasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
               "PermitRootLogin prohibit-password\nMaxAuthTries 10\nPrintMotd no\n"
               "PrintLastLog no\nUseDNS no\nLogLevel VERBOSE\n"
               // Keys are renewed every 256 KiB: a long transfer goes through
               // several key exchanges in the middle of the relay.
               "RekeyLimit 256K\n";
        const std::string config = dir_.str("sshd_config");
        const std::string log_file = dir_.str("sshd.log");
        int pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            int out = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (out >= 0) {
                ::dup2(out, STDERR_FILENO);
                ::dup2(out, STDOUT_FILENO);
            }
            ::execl(SSHD, SSHD, "-D", "-e", "-f", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid < 0) {
            return false;
        }
        pid_ = pid;
        port_ = port;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;  // it could not listen: another port
                port_ = 0;
                break;
            }
            if (accepts(port)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
    }
    return false;
}

void Sshd::stop() {
    if (pid_ <= 0) {
        return;
    }
    // The connections' processes first (taken before the server goes, when
    // they still are its children), then the server.
    std::vector<int> all = descendants(pid_);
    all.push_back(pid_);
    for (int pid : all) {
        signal_process(pid, SIGKILL);
    }
    for (int pid : all) {
        ::waitpid(pid, nullptr, 0);
    }
    pid_ = -1;
}

std::string Sshd::fingerprint() const {
    FILE* p = ::popen(("ssh-keygen -l -E sha256 -f " + dir_.str("host_key.pub")).c_str(), "r");
    if (p == nullptr) {
        return "";
    }
    char bits[32] = {};
    char fingerprint[128] = {};
    int n = std::fscanf(p, "%31s %127s", bits, fingerprint);
    ::pclose(p);
    return n == 2 ? fingerprint : "";
}

std::string Sshd::log() const {
    return file_text(dir_.str("sshd.log"));
}

TestAccount::TestAccount(const std::string& password) {
    name_ = "vlssh" + std::to_string(::getpid());
    ::chmod(home_.str().c_str(), 0755);
    ok_ = run("useradd -M -N -s /bin/sh -d " + home_.str() + " " + name_ + " 2>/dev/null") == 0 &&
          run("echo '" + name_ + ":" + password + "' | chpasswd") == 0;
}

TestAccount::~TestAccount() {
    run("userdel " + name_ + " 2>/dev/null");
}

}  // namespace varolan::test
