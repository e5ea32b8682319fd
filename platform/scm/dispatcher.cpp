// The service side: the dispatcher that hosts a service's control endpoint,
// delivers controls to its handler and publishes its status.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/core/clock.h"
#include "platform/core/errno_status.h"
#include "platform/core/event.h"
#include "platform/core/fd.h"
#include "platform/core/file_trust.h"
#include "platform/core/log.h"
#include "platform/core/thread.h"
#include "platform/core/unix_listen.h"
#include "platform/registry/registry.h"
#include "platform/scm/runtime_files.h"
#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

namespace varolan::scm {

// One running dispatcher. Lives on the dispatcher's stack; every field but the
// events is guarded by g_mutex.
struct ServiceStatusContext {
    std::string name;
    HandlerFunction handler = nullptr;
    SERVICE_STATUS status;
    StatusObserver observer = nullptr;
    bool ready_notified = false;
    // While the handler runs a control: what it reported itself, so the
    // controller gets the handler's answer even when the service main reports
    // again at once (STOP_PENDING, then STOPPED).
    std::thread::id dispatcher_thread;
    bool in_handler = false;
    bool handler_reported = false;
    SERVICE_STATUS handler_report;
    std::string notify_address;  // NOTIFY_SOCKET, empty when not under systemd
    UniqueFd notify_socket;
    Event changed;  // set on every published report
    bool service_account_known = false;
    std::uint32_t service_account_uid = 0;
};

namespace {

std::mutex g_mutex;
ServiceStatusContext* g_active = nullptr;
DWORD g_fail_state = 0;
unsigned g_fail_count = 0;

bool write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The descriptor on which a starting service tells its starter whether the
// dispatcher answers. Taken from the environment once.
class ReadyReport {
  public:
    void take_from_environment() {
        const char* text = std::getenv(detail::READY_FD_ENV);
        if (text == nullptr) {
            return;
        }
        char* end = nullptr;
        long fd = std::strtol(text, &end, 10);
        unsetenv(detail::READY_FD_ENV);
        struct stat st {};
        if (end == text || *end != '\0' || fd < 3 || fd > 1 << 20 ||
            ::fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            return;
        }
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        fd_.reset(static_cast<int>(fd));
    }
    void report(DWORD result) {
        if (fd_) {
            write_all(fd_.get(), &result, sizeof result);
            fd_.reset();
        }
    }

  private:
    UniqueFd fd_;
};

void real_sleep_ms(int ms) {
    ::poll(nullptr, 0, ms);
}

// Test hook: hold a report while "<gate dir>/hold-<state>" exists.
void wait_test_gate(DWORD state) {
    const char* dir = std::getenv(TEST_GATE_ENV);
    if (dir == nullptr || *dir == '\0') {
        return;
    }
    const std::string hold = std::string(dir) + "/hold-" + state_name(state);
    const std::uint64_t deadline = monotonic_ms() + 60000;
    while (::access(hold.c_str(), F_OK) == 0 && monotonic_ms() < deadline) {
        real_sleep_ms(10);
    }
}

void open_notify_socket(ServiceStatusContext& ctx) {
    const char* address = std::getenv("NOTIFY_SOCKET");
    if (address == nullptr || (address[0] != '/' && address[0] != '@') ||
        std::strlen(address) >= sizeof(sockaddr_un::sun_path)) {
        return;
    }
    ctx.notify_address = address;
    ctx.notify_socket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

// One datagram to systemd's notification socket ("@" = abstract namespace).
void send_notify(const ServiceStatusContext& ctx, const std::string& message) {
    if (!ctx.notify_socket) {
        return;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, ctx.notify_address.data(), ctx.notify_address.size());
    if (addr.sun_path[0] == '@') {
        addr.sun_path[0] = '\0';
    }
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + ctx.notify_address.size());
    ssize_t n;
    do {
        n = ::sendto(ctx.notify_socket.get(), message.data(), message.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), length);
    } while (n < 0 && errno == EINTR);
}

// Why `control` cannot be delivered in `status` now (0 = it can).
DWORD control_refusal(const SERVICE_STATUS& status, HandlerFunction handler, DWORD control) {
    if (control < SERVICE_CONTROL_STOP || control > SERVICE_CONTROL_INTERROGATE) {
        return ERROR_INVALID_SERVICE_CONTROL;
    }
    const DWORD state = status.dwCurrentState;
    if (handler == nullptr || state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
        state == SERVICE_STOPPED) {
        return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    }
    if (control == SERVICE_CONTROL_STOP && (status.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0) {
        return ERROR_INVALID_SERVICE_CONTROL;
    }
    if ((control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) &&
        (status.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) == 0) {
        return ERROR_INVALID_SERVICE_CONTROL;
    }
    return 0;
}

DWORD deliver_control(ServiceStatusContext& ctx, DWORD control, SERVICE_STATUS* out) {
    HandlerFunction handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = ctx.handler;
        *out = ctx.status;
    }
    if (DWORD refusal = control_refusal(*out, handler, control); refusal != 0) {
        return refusal;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ctx.in_handler = true;
        ctx.handler_reported = false;
    }
    handler(control);
    std::lock_guard<std::mutex> lock(g_mutex);
    ctx.in_handler = false;
    *out = ctx.handler_reported ? ctx.handler_report : ctx.status;
    return ERROR_SUCCESS;
}

bool send_reply(int fd, const detail::Reply& reply) {
    ssize_t sent;
    do {
        sent = ::send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof reply);
}

// One descriptor held back for the endpoint: when the sessions (or clients
// crowding the pipe) have taken every descriptor the process may have, it is
// given up for the one connection that asks for a stop or the status, and
// taken again once that is answered.
class DescriptorReserve {
  public:
    DescriptorReserve() { take(); }
    // Holds the reserve again when it is not held (fails quietly while the
    // descriptors are still all taken).
    void take() {
        if (!fd_) {
            fd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        }
    }
    // Gives the reserve up; false when there was none.
    bool release() {
        if (!fd_) {
            return false;
        }
        fd_.reset();
        return true;
    }

  private:
    UniqueFd fd_;
};

// Answers one connection on the endpoint: a query, a control or the listing. False when
// no connection could be taken for want of descriptors or memory: the caller
// then pauses, since the waiting connection keeps the endpoint readable.
bool serve_connection(ServiceStatusContext& ctx, int listen_fd, DescriptorReserve& reserve) {
    UniqueFd conn(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!conn && (errno == EMFILE || errno == ENFILE) && reserve.release()) {
        conn.reset(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    }
    if (!conn) {
        return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
    }
    detail::Reply reply;
    ucred cred{};
    socklen_t cred_size = sizeof cred;
    // Root, the account that runs the service, and the service account.
    const bool trusted =
        ::getsockopt(conn.get(), SOL_SOCKET, SO_PEERCRED, &cred, &cred_size) == 0 &&
        (cred.uid == ::geteuid() || cred.uid == 0 ||
         (ctx.service_account_known && cred.uid == ctx.service_account_uid));
    // The request is read before anything is answered, also from a peer that
    // is refused: closing on an unread request would reset the connection and
    // the peer would take the refusal for a service that is not running.
    PollFd p{conn.get(), poll_in, 0};
    if (poll_fds(&p, 1, detail::REQUEST_TIMEOUT_MS) <= 0) {
        return true;
    }
    detail::Request request;
    ssize_t got;
    do {
        got = ::recv(conn.get(), &request, sizeof request, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (!trusted) {
        reply.result = ERROR_ACCESS_DENIED;
    } else if (got != static_cast<ssize_t>(sizeof request) ||
               request.magic != detail::PROTOCOL_MAGIC) {
        reply.result = ERROR_INVALID_PARAMETER;
    } else if (request.op == detail::OP_QUERY) {
        std::lock_guard<std::mutex> lock(g_mutex);
        reply.status = ctx.status;
        reply.result = ERROR_SUCCESS;
    } else if (request.op == detail::OP_CONTROL) {
        reply.result = deliver_control(ctx, request.control, &reply.status);
    } else if (request.op == detail::OP_LISTING) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            reply.status = ctx.status;
        }
        reply.result = ERROR_SUCCESS;
        if (send_reply(conn.get(), reply)) {
            detail::send_listing(conn.get());
        }
        return true;
    } else {
        reply.result = ERROR_INVALID_PARAMETER;
    }
    send_reply(conn.get(), reply);
    return true;
}

// SIGTERM and SIGINT, blocked on this thread (and so on every thread it
// creates) and read through a signalfd; restored on destruction.
class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set_, &old_);
        fd_.reset(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    }
    ~StopSignals() {
        drain();
        fd_.reset();
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int fd() const { return fd_.get(); }
    // Reads the signals waiting; true when there was one.
    bool drain() {
        bool any = false;
        signalfd_siginfo info{};
        while (fd_ && ::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            any = true;
        }
        return any;
    }

  private:
    sigset_t set_{};
    sigset_t old_{};
    UniqueFd fd_;
};

// Takes what the dispatcher holds while the service runs: the runtime
// directory, the instance lock, the one active slot, the endpoint and the two
// events. On a failure the endpoint is removed again and the reason returned.
DWORD take_resources(const std::string& name, ServiceStatusContext& ctx, UniqueFd& lock,
                     UniqueFd& listener, Event& main_done) {
    DWORD rc = detail::prepare_runtime_dir(runtime_dir());
    if (rc == ERROR_SUCCESS) {
        rc = detail::take_instance_lock(detail::lock_path(name), lock);
    }
    if (rc == ERROR_SUCCESS) {
        std::lock_guard<std::mutex> guard(g_mutex);
        if (g_active != nullptr) {
            rc = ERROR_SERVICE_ALREADY_RUNNING;
        }
    }
    const std::string endpoint = detail::endpoint_path(name);
    if (rc == ERROR_SUCCESS) {
        rc = detail::bind_endpoint(endpoint, listener);
    }
    if (rc == ERROR_SUCCESS &&
        (!ctx.changed.create(false, false) || !main_done.create(true, false))) {
        rc = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (rc != ERROR_SUCCESS && listener) {
        listener.reset();
        ::unlink(endpoint.c_str());
    }
    return rc;
}

// Hands a stop signal on as STOP once the service accepts STOP; true when it
// was handed on (until then the signal stays pending).
bool forward_stop(ServiceStatusContext& ctx) {
    HandlerFunction handler;
    SERVICE_STATUS now;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        handler = ctx.handler;
        now = ctx.status;
    }
    if (control_refusal(now, handler, SERVICE_CONTROL_STOP) != 0) {
        return false;
    }
    handler(SERVICE_CONTROL_STOP);
    return true;
}

// Serves the endpoint, the stop signals and status changes until the
// service's main function has returned.
void serve_until_main_returns(ServiceStatusContext& ctx, int listener, StopSignals& signals,
                              Event& main_done) {
    bool stop_pending = false;
    DescriptorReserve reserve;
    for (;;) {
        PollFd fds[4] = {{main_done.poll_fd(), poll_in, 0},
                         {listener, poll_in, 0},
                         {signals.fd(), poll_in, 0},
                         {ctx.changed.poll_fd(), poll_in, 0}};
        if (poll_fds(fds, 4, INFINITE_WAIT) < 0) {
            real_sleep_ms(10);
            continue;
        }
        if ((fds[0].revents & poll_in) != 0) {
            return;
        }
        if ((fds[2].revents & poll_in) != 0 && signals.drain()) {
            stop_pending = true;
        }
        if ((fds[3].revents & poll_in) != 0) {
            ctx.changed.try_consume();
        }
        if ((fds[1].revents & poll_in) != 0 && !serve_connection(ctx, listener, reserve)) {
            real_sleep_ms(100);
        }
        reserve.take();
        if (stop_pending && forward_stop(ctx)) {
            stop_pending = false;
        }
    }
}

DWORD dispatch(const SERVICE_TABLE_ENTRY* table, bool require_marker, StatusObserver observer) {
    if (table == nullptr || table[0].lpServiceName == nullptr ||
        table[0].lpServiceProc == nullptr || !detail::valid_service_name(table[0].lpServiceName)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string name = table[0].lpServiceName;
    ReadyReport ready;
    if (require_marker) {
        const char* marker = std::getenv(SERVICE_MARKER_ENV);
        if (marker == nullptr || !detail::same_service_name(marker, name)) {
            return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        }
        ready.take_from_environment();
    }
    // Stop signals are held from here on, before the endpoint exists: whoever
    // sees the endpoint may send SIGTERM, and it must reach the service as a
    // stop, never end the process on the spot.
    StopSignals signals;

    ServiceStatusContext ctx;
    ctx.name = name;
    ctx.observer = observer;
    ctx.dispatcher_thread = std::this_thread::get_id();
    ctx.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    ctx.status.dwCurrentState = SERVICE_START_PENDING;
    UniqueFd lock;
    UniqueFd listener;
    Event main_done;
    if (const DWORD rc = take_resources(name, ctx, lock, listener, main_done);
        rc != ERROR_SUCCESS) {
        ready.report(rc);
        return rc;
    }
    open_notify_socket(ctx);
    std::uint32_t service_gid = 0;
    ctx.service_account_known =
        account_ids(reg::service_account(), &ctx.service_account_uid, &service_gid);

    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_active = &ctx;
    }
    ready.report(ERROR_SUCCESS);

    ServiceMainFunction service_proc = table[0].lpServiceProc;
    std::string argv0 = name;
    Thread service_thread;
    const bool started = service_thread.start(
        [&] {
            char* argv[2] = {argv0.data(), nullptr};
            service_proc(1, argv);
            main_done.set();
        },
        0);
    if (started) {
        serve_until_main_returns(ctx, listener.get(), signals, main_done);
    }
    service_thread.join();

    listener.reset();
    ::unlink(detail::endpoint_path(name).c_str());
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_active = nullptr;
    }
    lock.reset();
    return started ? ERROR_SUCCESS : ERROR_SERVICE_NO_THREAD;
}

}  // namespace

DWORD start_service_ctrl_dispatcher(const SERVICE_TABLE_ENTRY* table) {
    return dispatch(table, true, nullptr);
}

DWORD run_service_in_console(const SERVICE_TABLE_ENTRY* table, StatusObserver observer) {
    return dispatch(table, false, observer);
}

SERVICE_STATUS_HANDLE register_service_ctrl_handler(const char* service_name,
                                                    HandlerFunction handler) {
    if (service_name == nullptr || handler == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_active == nullptr || !detail::same_service_name(g_active->name, service_name)) {
        return nullptr;
    }
    g_active->handler = handler;
    return g_active;
}

bool set_service_status(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    if (handle == nullptr || status == nullptr || status->dwCurrentState < SERVICE_STOPPED ||
        status->dwCurrentState > SERVICE_PAUSED) {
        return false;
    }
    wait_test_gate(status->dwCurrentState);
    std::lock_guard<std::mutex> guard(g_mutex);
    if (handle != g_active) {
        return false;
    }
    if (g_fail_count > 0 && g_fail_state == status->dwCurrentState) {
        --g_fail_count;
        return false;
    }
    handle->status = *status;
    if (handle->in_handler && std::this_thread::get_id() == handle->dispatcher_thread) {
        handle->handler_reported = true;
        handle->handler_report = *status;
    }
    if (handle->observer != nullptr) {
        handle->observer(*status);
    }
    if (handle->notify_socket) {
        std::string message;
        if (status->dwCurrentState == SERVICE_RUNNING && !handle->ready_notified) {
            handle->ready_notified = true;
            message += "READY=1\n";
        }
        if (status->dwCurrentState == SERVICE_STOP_PENDING) {
            message += "STOPPING=1\n";
        }
        message += "STATUS=";
        message += state_name(status->dwCurrentState);
        message += '\n';
        send_notify(*handle, message);
    }
    handle->changed.set();
    return true;
}

void inject_status_failure(DWORD state, unsigned count) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_fail_state = state;
    g_fail_count = count;
}

}  // namespace varolan::scm
