#include "bench/load/relays.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/registry/registry.h"
#include "platform/scm/scm.h"

namespace varolan::bench {

namespace {

constexpr const char* SERVICE_NAME = "Varolan";
constexpr const char* PRODUCT_KEY = "Software\\Brismoor\\Varolan\\Version 1.3";

bool wait_for(const std::function<bool()>& condition, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Waits for a child (or adopted orphan) to end; SIGKILL after the time-out.
void reap(int pid, int timeout_ms) {
    int status = 0;
    if (!wait_for([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, bool own_group) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (own_group) {
            ::setpgid(0, 0);
        }
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execvp(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

int run_program(const std::string& program, const std::vector<std::string>& args) {
    pid_t pid = spawn(program, args, false);
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// --- tarnix ---------------------------------------------------------------------

TarnixRelay::~TarnixRelay() {
    stop();
}

bool TarnixRelay::start(const std::string& tarnix, const std::string& work_dir,
                        std::uint16_t host_port, std::uint32_t sessions, unsigned open_files,
                        std::string* error) {
    std::string run_dir = work_dir + "/run";
    ::mkdir(run_dir.c_str(), 0700);
    ::setenv("VAROLAN_REGISTRY", (work_dir + "/registry.db").c_str(), 1);
    ::setenv(scm::RUNTIME_DIR_ENV, run_dir.c_str(), 1);
    ::unsetenv(scm::SERVICE_MARKER_ENV);
    ::unsetenv("NOTIFY_SOCKET");
    reg::reset_store();

    if (run_program(tarnix, {"install"}) != 0) {
        *error = "tarnix install failed";
        return false;
    }
    {
        reg::Key key;
        if (reg::create_key(reg::hklm(), PRODUCT_KEY, reg::KEY_ALL_ACCESS, key) != ERROR_SUCCESS) {
            *error = "cannot open the product key: " + reg::last_store_error();
            return false;
        }
        // The session limits count every client of the bench, which all run
        // under one account.
        const struct {
            const char* name;
            std::uint32_t value;
        } values[] = {{"Telnet Port", host_port},
                      {"Maximum Sessions", sessions},
                      {"Maximum Sessions Per User", sessions}};
        for (const auto& v : values) {
            if (reg::set_value(key, v.name, reg::REG_DWORD,
                               reinterpret_cast<const std::uint8_t*>(&v.value),
                               sizeof v.value) != ERROR_SUCCESS) {
                *error = std::string("cannot set \"") + v.name + "\": " + reg::last_store_error();
                return false;
            }
        }
    }
    scm::ScHandle manager;
    scm::ScHandle service;
    if (scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager) != ERROR_SUCCESS ||
        scm::open_service(manager, SERVICE_NAME, scm::SERVICE_ALL_ACCESS, service) !=
            ERROR_SUCCESS) {
        *error = "service not registered";
        return false;
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    if (open_files != 0) {
        rlimit lowered = saved;
        lowered.rlim_cur = open_files;
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    DWORD rc = scm::start_service(service);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    if (rc != ERROR_SUCCESS) {
        *error = "start_service failed: " + std::to_string(rc);
        return false;
    }
    std::ifstream lock(run_dir + "/varolan.lock");
    lock >> pid_;
    if (pid_ <= 0) {
        *error = "no process id in the lock file";
        pid_ = -1;
        return false;
    }
    socket_path_ = run_dir + "/pipe/Tarnix";
    if (!wait_for([&] { return exists(socket_path_); }, 30000)) {
        *error = "the pipe did not appear";
        return false;
    }
    return true;
}

void TarnixRelay::stop() {
    if (pid_ <= 0) {
        return;
    }
    scm::ScHandle manager;
    scm::ScHandle service;
    scm::SERVICE_STATUS status;
    if (scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager) == ERROR_SUCCESS &&
        scm::open_service(manager, SERVICE_NAME, scm::SERVICE_ALL_ACCESS, service) ==
            ERROR_SUCCESS) {
        scm::control_service(service, scm::SERVICE_CONTROL_STOP, &status);
    }
    reap(pid_, 30000);
    pid_ = -1;
}

// --- socat ----------------------------------------------------------------------

SocatRelay::~SocatRelay() {
    stop();
}

bool SocatRelay::start(const std::string& socat, const std::string& work_dir,
                       std::uint16_t host_port, int backlog, std::string* error) {
    std::string dir = work_dir + "/socat";
    ::mkdir(dir.c_str(), 0700);
    socket_path_ = dir + "/Tarnix";
    ::unlink(socket_path_.c_str());
    std::string listen = "UNIX-LISTEN:" + socket_path_ + ",type=5,fork";
    if (backlog > 0) {
        listen += ",backlog=" + std::to_string(backlog);
    }
    std::string connect = "TCP:127.0.0.1:" + std::to_string(host_port);
    command_ = "socat " + listen + " " + connect;
    pid_ = spawn(socat, {listen, connect}, true);
    if (pid_ < 0) {
        *error = "cannot start socat";
        return false;
    }
    if (!wait_for([&] { return exists(socket_path_); }, 10000)) {
        *error = "socat did not listen";
        stop();
        return false;
    }
    return true;
}

void SocatRelay::stop() {
    if (pid_ <= 0) {
        return;
    }
    // The listener and any child still relaying: the group started above.
    ::kill(-pid_, SIGTERM);
    reap(pid_, 10000);
    pid_ = -1;
    ::unlink(socket_path_.c_str());
}

}  // namespace varolan::bench
