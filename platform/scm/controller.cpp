// The controller side: manager and service handles, registration in the store,
// query, control and start of a service.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/event.h"
#include "platform/core/fd.h"
#include "platform/core/file_trust.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

extern char** environ;

namespace varolan::scm {

ScHandle::ScHandle(ScHandle&& other) noexcept
    : open_(std::exchange(other.open_, false)),
      access_(std::exchange(other.access_, 0)),
      name_(std::move(other.name_)),
      image_path_(std::move(other.image_path_)) {
    other.name_.clear();
    other.image_path_.clear();
}

ScHandle& ScHandle::operator=(ScHandle&& other) noexcept {
    if (this != &other) {
        open_ = std::exchange(other.open_, false);
        access_ = std::exchange(other.access_, 0);
        name_ = std::move(other.name_);
        image_path_ = std::move(other.image_path_);
        other.name_.clear();
        other.image_path_.clear();
    }
    return *this;
}

void ScHandle::close() {
    open_ = false;
    access_ = 0;
    name_.clear();
    image_path_.clear();
}

namespace {

std::string service_key_path(std::string_view name) {
    std::string path = SERVICES_KEY;
    path += '\\';
    path += name;
    return path;
}

bool has_access(const ScHandle& handle, DWORD wanted) {
    return (handle.access() & wanted) == wanted;
}

// The environment of a started service: ours without the variables that belong
// to this process's own supervision, relative store and runtime paths made
// absolute (the service runs in "/"), and the marker and ready descriptor.
std::vector<std::string> service_environment(std::string_view name) {
    static constexpr const char* dropped[] = {SERVICE_MARKER_ENV, detail::READY_FD_ENV,
                                              "NOTIFY_SOCKET",    "LISTEN_FDS",
                                              "LISTEN_PID",       "LISTEN_FDNAMES"};
    static constexpr const char* paths[] = {"VAROLAN_REGISTRY", RUNTIME_DIR_ENV,
                                            "VAROLAN_DEVICEMAP"};
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry = *e;
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = entry.substr(0, eq);
        bool drop = false;
        for (const char* d : dropped) {
            drop = drop || key == d;
        }
        if (drop) {
            continue;
        }
        for (const char* p : paths) {
            if (key == p && eq + 1 < entry.size() && entry[eq + 1] != '/') {
                std::error_code ec;
                auto absolute = std::filesystem::absolute(entry.substr(eq + 1), ec);
                if (!ec) {
                    entry = key + "=" + absolute.lexically_normal().string();
                }
            }
        }
        env.push_back(std::move(entry));
    }
    env.push_back(std::string(SERVICE_MARKER_ENV) + "=" + std::string(name));
    env.push_back(std::string(detail::READY_FD_ENV) + "=3");
    return env;
}

// In the grandchild: only async-signal-safe calls until exec.
[[noreturn]] void exec_service(const char* image, char* const* argv, char* const* envp,
                               int ready_fd) {
    int high = ::fcntl(ready_fd, F_DUPFD, 10);
    int null_fd = ::open("/dev/null", O_RDWR);
    if (high < 0 || null_fd < 0) {
        ::_exit(127);
    }
    ::dup2(null_fd, 0);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    ::dup2(high, 3);  // dup2 leaves the copy without close-on-exec
    ::close_range(4, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) {
        ::signal(s, SIG_DFL);
    }
    ::umask(022);
    if (::chdir("/") != 0) {
        ::_exit(127);
    }
    ::execve(image, argv, envp);
    DWORD failure = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    ssize_t n = ::write(3, &failure, sizeof failure);
    (void)n;
    ::_exit(127);
}

// Whether `service` may be started now: an open service handle with start
// access, a stopped service, and a program that exists, may be run, and that
// no other account could have replaced.
DWORD check_startable(const ScHandle& service) {
    if (!service.is_open() || service.is_manager()) {
        return ERROR_INVALID_HANDLE;
    }
    if (!has_access(service, SERVICE_START)) {
        return ERROR_ACCESS_DENIED;
    }
    SERVICE_STATUS now;
    DWORD rc = query_endpoint(service.name(), &now);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (now.dwCurrentState != SERVICE_STOPPED) {
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    const std::string& image = service.image_path();
    if (image.empty() || image.front() != '/') {
        return ERROR_PATH_NOT_FOUND;
    }
    if (::access(image.c_str(), X_OK) != 0) {
        return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    }
    // A program that another account could have replaced is not run.
    if (check_trusted(image, "service program", -1).found) {
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// Runs the service's program detached from this process; `ready_read` is the
// end of the pipe its dispatcher reports on.
DWORD launch_detached(const ScHandle& service, UniqueFd& ready_read) {
    // Everything the child needs is built before fork.
    std::vector<std::string> env = service_environment(service.name());
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string argv0 = service.image_path();
    char* argv[2] = {argv0.data(), nullptr};

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    ready_read.reset(fds[0]);
    UniqueFd ready_write(fds[1]);

    const pid_t child = ::fork();
    if (child < 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (child == 0) {
        // Own session, then a grandchild that nobody waits for: the service is
        // adopted by init (or the nearest subreaper).
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            ::_exit(grandchild < 0 ? 1 : 0);
        }
        exec_service(argv0.c_str(), argv, envp.data(), fds[1]);
    }
    ready_write.reset();
    int wstatus = 0;
    while (::waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

// Waits for the dispatcher's word: one DWORD, or the end of the pipe when the
// process ended without reaching its dispatcher.
DWORD read_start_result(const UniqueFd& ready_read, std::uint32_t timeout_ms) {
    PollFd p{ready_read.get(), poll_in, 0};
    int ready = poll_fds(&p, 1, timeout_ms);
    if (ready <= 0) {
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    DWORD result = 0;
    ssize_t got;
    do {
        got = ::read(ready_read.get(), &result, sizeof result);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof result)) {
        return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return result;
}

}  // namespace

DWORD open_sc_manager(DWORD desired_access, ScHandle& manager) {
    manager.close();
    reg::Key key;
    LONG rc = reg::open_key(reg::hklm(), SERVICES_KEY, reg::KEY_READ, key);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        return static_cast<DWORD>(rc);
    }
    manager.open_ = true;
    manager.access_ = desired_access;
    return ERROR_SUCCESS;
}

DWORD open_service(const ScHandle& manager, std::string_view name, DWORD desired_access,
                   ScHandle& service) {
    service.close();
    if (!manager.is_manager()) {
        return ERROR_INVALID_HANDLE;
    }
    if (!detail::valid_service_name(name)) {
        return ERROR_INVALID_PARAMETER;
    }
    reg::Key key;
    LONG rc = reg::open_key(reg::hklm(), service_key_path(name), reg::KEY_READ, key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (rc != ERROR_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    DWORD type = 0;
    DWORD size = 0;
    rc = reg::query_value(key, VALUE_IMAGE_PATH, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && size == 0)) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (rc != ERROR_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    if (type != reg::REG_SZ && type != reg::REG_EXPAND_SZ) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    std::vector<std::uint8_t> data(size);
    rc = reg::query_value(key, VALUE_IMAGE_PATH, nullptr, data.data(), &size);
    if (rc != ERROR_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    std::string image(reinterpret_cast<const char*>(data.data()), size);
    image.resize(std::strlen(image.c_str()));
    if (image.empty()) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    service.open_ = true;
    service.access_ = desired_access;
    service.name_ = std::string(name);
    service.image_path_ = std::move(image);
    return ERROR_SUCCESS;
}

DWORD query_service_status(const ScHandle& service, SERVICE_STATUS* status) {
    if (!service.is_open() || service.is_manager()) {
        return ERROR_INVALID_HANDLE;
    }
    if (!has_access(service, SERVICE_QUERY_STATUS)) {
        return ERROR_ACCESS_DENIED;
    }
    return query_endpoint(service.name(), status);
}

DWORD control_service(const ScHandle& service, DWORD control, SERVICE_STATUS* status) {
    if (!service.is_open() || service.is_manager()) {
        return ERROR_INVALID_HANDLE;
    }
    DWORD wanted = 0;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            wanted = SERVICE_STOP;
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            wanted = SERVICE_PAUSE_CONTINUE;
            break;
        case SERVICE_CONTROL_INTERROGATE:
            wanted = SERVICE_INTERROGATE;
            break;
        default:
            return ERROR_INVALID_SERVICE_CONTROL;
    }
    if (!has_access(service, wanted)) {
        return ERROR_ACCESS_DENIED;
    }
    return control_endpoint(service.name(), control, status);
}

DWORD start_service(const ScHandle& service, std::uint32_t timeout_ms) {
    if (DWORD rc = check_startable(service); rc != ERROR_SUCCESS) {
        return rc;
    }
    UniqueFd ready_read;
    if (DWORD rc = launch_detached(service, ready_read); rc != ERROR_SUCCESS) {
        return rc;
    }
    return read_start_result(ready_read, timeout_ms);
}

DWORD close_service_handle(ScHandle& handle) {
    if (!handle.is_open()) {
        return ERROR_INVALID_HANDLE;
    }
    handle.close();
    return ERROR_SUCCESS;
}

DWORD create_service(const ScHandle& manager, std::string_view name, std::string_view image_path) {
    if (!manager.is_manager()) {
        return ERROR_INVALID_HANDLE;
    }
    if ((manager.access() & SC_MANAGER_CREATE_SERVICE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (!detail::valid_service_name(name) || image_path.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    reg::Key key;
    LONG rc = reg::create_key(reg::hklm(), service_key_path(name), reg::KEY_ALL_ACCESS, key);
    if (rc != ERROR_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    std::string image(image_path);
    rc = reg::set_value(key, VALUE_IMAGE_PATH, reg::REG_SZ,
                        reinterpret_cast<const std::uint8_t*>(image.c_str()),
                        static_cast<DWORD>(image.size() + 1));
    if (rc != ERROR_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    const DWORD type = SERVICE_WIN32_OWN_PROCESS;
    rc = reg::set_value(key, VALUE_TYPE, reg::REG_DWORD,
                        reinterpret_cast<const std::uint8_t*>(&type), sizeof type);
    return static_cast<DWORD>(rc);
}

DWORD delete_service(const ScHandle& manager, std::string_view name) {
    if (!manager.is_manager()) {
        return ERROR_INVALID_HANDLE;
    }
    if (!detail::valid_service_name(name)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string path = service_key_path(name);
    reg::Key key;
    LONG rc = reg::open_key(reg::hklm(), path, reg::KEY_READ, key);
    if (rc == ERROR_FILE_NOT_FOUND) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (rc != ERROR_SUCCESS) {
        return static_cast<DWORD>(rc);
    }
    key.close();
    return static_cast<DWORD>(reg::delete_key(reg::hklm(), path));
}

}  // namespace varolan::scm
