// The controller's end of a service's control endpoint: one request and one
// reply over a SOCK_SEQPACKET connection.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/core/event.h"
#include "platform/core/fd.h"
#include "platform/core/text.h"
#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

namespace varolan::scm {

namespace detail {

bool valid_service_name(std::string_view name) {
    if (name.empty() || name.size() > 80 || name.front() == '.') {
        return false;
    }
    for (char c : name) {
        const bool ok =
            std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool same_service_name(std::string_view a, std::string_view b) {
    return equal_nocase(a, b);
}

namespace {
std::string file_in_runtime_dir(std::string_view name, const char* suffix) {
    std::string file = runtime_dir();
    file += '/';
    for (char c : name) {
        file += ascii_lower(c);
    }
    file += suffix;
    return file;
}
}  // namespace

std::string endpoint_path(std::string_view name) {
    return file_in_runtime_dir(name, ".ctl");
}
std::string lock_path(std::string_view name) {
    return file_in_runtime_dir(name, ".lock");
}

SERVICE_STATUS stopped_status() {
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    return status;
}

}  // namespace detail

const char* state_name(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        case SERVICE_CONTINUE_PENDING:
            return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING:
            return "PAUSE_PENDING";
        case SERVICE_PAUSED:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

std::string runtime_dir() {
    const char* dir = std::getenv(RUNTIME_DIR_ENV);
    std::string result = dir != nullptr && *dir != '\0' ? dir : DEFAULT_RUNTIME_DIR;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

std::string current_image_path() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    path[n] = '\0';
    return path;
}

namespace {

enum class Exchange { replied, no_endpoint, closed, timeout, denied, failed };

// Connects to the endpoint of `name`, sends `request` and waits for the reply.
// With `keep`, the connection is handed over after a reply, for what follows it.
Exchange exchange(std::string_view name, const detail::Request& request, detail::Reply* reply,
                  UniqueFd* keep = nullptr) {
    const std::string path = detail::endpoint_path(name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return Exchange::failed;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!sock) {
        return Exchange::failed;
    }
    int rc;
    do {
        rc = ::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        switch (errno) {
            case ENOENT:
            case ECONNREFUSED:
            case ENOTDIR:
                return Exchange::no_endpoint;
            case EACCES:
            case EPERM:
                return Exchange::denied;
            default:
                return Exchange::failed;
        }
    }
    ssize_t sent;
    do {
        sent = ::send(sock.get(), &request, sizeof request, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof request)) {
        return errno == EPIPE || errno == ECONNRESET ? Exchange::closed : Exchange::failed;
    }
    PollFd p{sock.get(), poll_in, 0};
    int ready = poll_fds(&p, 1, detail::EXCHANGE_TIMEOUT_MS);
    if (ready == 0) {
        return Exchange::timeout;
    }
    if (ready < 0) {
        return Exchange::failed;
    }
    ssize_t got;
    do {
        got = ::recv(sock.get(), reply, sizeof *reply, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got == 0 || (got < 0 && errno == ECONNRESET)) {
        return Exchange::closed;
    }
    if (got != static_cast<ssize_t>(sizeof *reply) || reply->magic != detail::PROTOCOL_MAGIC) {
        return Exchange::failed;
    }
    if (keep != nullptr) {
        *keep = std::move(sock);
    }
    return Exchange::replied;
}

}  // namespace

namespace {

// The result of an exchange that got no reply. Nobody answering means the
// service does not run (a socket file left by a killed process refuses
// connections): the status says stopped and `not_running` is returned.
DWORD unanswered(Exchange exchange, SERVICE_STATUS* status, DWORD not_running) {
    switch (exchange) {
        case Exchange::no_endpoint:
        case Exchange::closed:
            *status = detail::stopped_status();
            return not_running;
        case Exchange::denied:
            return ERROR_ACCESS_DENIED;
        case Exchange::timeout:
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        case Exchange::replied:
        case Exchange::failed:
            break;
    }
    return ERROR_GEN_FAILURE;
}

}  // namespace

DWORD query_endpoint(std::string_view name, SERVICE_STATUS* status) {
    if (!detail::valid_service_name(name) || status == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    detail::Request request;
    request.op = detail::OP_QUERY;
    detail::Reply reply;
    const Exchange result = exchange(name, request, &reply);
    if (result != Exchange::replied) {
        return unanswered(result, status, ERROR_SUCCESS);
    }
    if (reply.result == ERROR_SUCCESS) {
        *status = reply.status;
    }
    return reply.result;
}

namespace {

// The process id recorded in the instance lock file, or 0.
long recorded_pid(int lock_fd) {
    char text[32] = {};
    const ssize_t n = ::pread(lock_fd, text, sizeof text - 1, 0);
    if (n <= 0) {
        return 0;
    }
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

// True while some process holds the instance lock (the service runs).
bool lock_held(int lock_fd) {
    if (::flock(lock_fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(lock_fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

// Asks a service whose endpoint does not answer (its descriptors all taken by
// sessions, say) to stop the way systemd does: SIGTERM, which it takes as a
// STOP control without needing a descriptor. The process is the one that holds
// the instance lock and wrote its id into it; only a caller that may read the
// lock file (root, the service's account) gets that far. The signal goes
// through a pidfd taken before the lock is looked at once more, so it cannot
// reach a process that took the id over after the service ended.
bool signal_stop(std::string_view name) {
    const std::string path = detail::lock_path(name);
    UniqueFd lock(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock) {
        return false;
    }
    const long pid = recorded_pid(lock.get());
    if (pid == 0) {
        return false;
    }
    UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
    if (!process || !lock_held(lock.get()) || recorded_pid(lock.get()) != pid) {
        return false;
    }
    return ::syscall(SYS_pidfd_send_signal, process.get(), SIGTERM, nullptr, 0) == 0;
}

SERVICE_STATUS stop_pending_status() {
    SERVICE_STATUS status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOP_PENDING;
    return status;
}

}  // namespace

DWORD control_endpoint(std::string_view name, DWORD control, SERVICE_STATUS* status) {
    if (!detail::valid_service_name(name) || status == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    detail::Request request;
    request.op = detail::OP_CONTROL;
    request.control = control;
    detail::Reply reply;
    const Exchange result = exchange(name, request, &reply);
    if (result == Exchange::timeout && control == SERVICE_CONTROL_STOP && signal_stop(name)) {
        *status = stop_pending_status();
        return ERROR_SUCCESS;
    }
    if (result != Exchange::replied) {
        return unanswered(result, status, ERROR_SERVICE_NOT_ACTIVE);
    }
    *status = reply.status;
    return reply.result;
}

DWORD query_listing(std::string_view name, SERVICE_STATUS* status, std::string* listing) {
    if (!detail::valid_service_name(name) || status == nullptr || listing == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    listing->clear();
    detail::Request request;
    request.op = detail::OP_LISTING;
    detail::Reply reply;
    UniqueFd sock;
    const Exchange result = exchange(name, request, &reply, &sock);
    if (result != Exchange::replied) {
        return unanswered(result, status, ERROR_SERVICE_NOT_ACTIVE);
    }
    if (reply.result != ERROR_SUCCESS) {
        return reply.result;
    }
    *status = reply.status;
    return detail::receive_listing(sock.get(), detail::EXCHANGE_TIMEOUT_MS, listing)
               ? ERROR_SUCCESS
               : ERROR_GEN_FAILURE;
}

}  // namespace varolan::scm
