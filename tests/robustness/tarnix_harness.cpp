#include "tests/robustness/tarnix_harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/store_layout.h"
#include "platform/pipe/pipe.h"
#include "platform/registry/registry.h"
#include "tests/support/pending_text.h"

namespace varolan::robust {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// True when `fd` has something to read (data, end of file or an error)
// before `end`.
bool readable_before(int fd, Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return fd >= 0 && left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1;
}

std::string key_path(const std::string& subkey) {
    return subkey.empty() ? std::string(layout::PRODUCT_KEY)
                          : std::string(layout::PRODUCT_KEY) + "\\" + subkey;
}

}  // namespace

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// --- RawHost ----------------------------------------------------------------------

RawHost::RawHost() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4096) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
}

RawHost::~RawHost() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int RawHost::accept(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return -1;
    }
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

void reset_connection(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

bool read_until(int fd, std::string& seen, const std::string& needle,
                std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (seen.find(needle) == std::string::npos) {
        if (!readable_before(fd, end)) {
            return false;
        }
        char buf[8192];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool wait_eof(int fd, std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        if (!readable_before(fd, end)) {
            return false;
        }
        char buf[8192];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
}

// --- PipeUser ---------------------------------------------------------------------

PipeUser::~PipeUser() {
    close();
}

PipeUser::PipeUser(PipeUser&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      pending_(std::move(other.pending_)),
      closed_(other.closed_) {}

bool PipeUser::connect() {
    close();
    std::string path = pipe::pipe_socket_path("\\\\.\\PIPE\\Tarnix");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        return false;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        return false;
    }
    // The gateway tells an empty message from the end of the connection by
    // the credentials that come with every message.
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    closed_ = false;
    pending_.clear();
    return true;
}

bool PipeUser::open_session(std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (connect() && got("Telnet >", left)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
}

bool PipeUser::send(const std::string& message) {
    const auto end = Clock::now() + 20s;
    while (fd_ >= 0) {
        const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(message.size())) {
            return true;
        }
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return false;
}

bool PipeUser::type(const std::string& keys) {
    for (char c : keys) {
        if (!send(std::string(1, c))) {
            return false;
        }
    }
    return true;
}

std::string PipeUser::read_until(const std::string& needle, std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        if (std::string out; test::take_through(pending_, needle, &out)) {
            return out;
        }
        if (closed_ || !readable_before(fd_, end)) {
            std::string out;
            out.swap(pending_);
            return out;
        }
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            continue;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

bool PipeUser::got(const std::string& needle, std::chrono::milliseconds timeout) {
    std::string text = read_until(needle, timeout);
    return text.size() >= needle.size() &&
           text.compare(text.size() - needle.size(), needle.size(), needle) == 0;
}

bool PipeUser::wait_closed(std::chrono::milliseconds timeout) {
    auto end = Clock::now() + timeout;
    while (!closed_) {
        if (!readable_before(fd_, end)) {
            return closed_;
        }
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
        }
    }
    return true;
}

void PipeUser::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

// --- Tarnix -----------------------------------------------------------------------

std::string to_string(const Census& c) {
    return std::to_string(c.fds) + " fds, " + std::to_string(c.threads) + " threads";
}

Tarnix::Tarnix()
    : store_("VAROLAN_REGISTRY", dir_.str("registry.db")),
      runtime_(scm::RUNTIME_DIR_ENV, dir_.str("run")),
      marker_(scm::SERVICE_MARKER_ENV, std::nullopt),
      notify_("NOTIFY_SOCKET", std::nullopt) {
    // The started service is an orphan of a double fork: reap it here.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    reg::reset_store();
}

Tarnix::~Tarnix() {
    if (pid_ > 0 && alive()) {
        if (!stop()) {
            test::kill_and_reap(pid_);
        }
    }
    reg::reset_store();
}

int Tarnix::run(const std::string& args) {
    std::string command =
        "'" + test::program_path("tarnix").string() + "' " + args + " >/dev/null 2>&1 </dev/null";
    int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string Tarnix::output(const std::string& args, int* status, const std::string& prefix) {
    return test::command_output(
        prefix + " '" + test::program_path("tarnix").string() + "' " + args + " 2>&1 </dev/null",
        status);
}

bool Tarnix::install() {
    return !test::program_path("tarnix").empty() && run("install") == 0;
}

bool Tarnix::set_raw(const std::string& subkey, const char* name, std::uint32_t type,
                     const std::string& bytes) {
    reg::Key key;
    return reg::create_key(reg::hklm(), key_path(subkey), reg::KEY_ALL_ACCESS, key) ==
               ERROR_SUCCESS &&
           reg::set_value(key, name, type, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool Tarnix::set_dword(const std::string& subkey, const char* name, std::uint32_t value) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4);
    return set_raw(subkey, name, reg::REG_DWORD, bytes);
}

bool Tarnix::set_string(const std::string& subkey, const char* name, const std::string& value) {
    return set_raw(subkey, name, reg::REG_SZ, value + std::string(1, '\0'));
}

bool Tarnix::read_dword(const std::string& subkey, const char* name, std::uint32_t* value) {
    reg::Key key;
    std::uint8_t bytes[4] = {};
    DWORD size = 4;
    if (reg::open_key(reg::hklm(), key_path(subkey), reg::KEY_READ, key) != ERROR_SUCCESS ||
        reg::query_value(key, name, nullptr, bytes, &size) != ERROR_SUCCESS) {
        return false;
    }
    std::memcpy(value, bytes, 4);
    return true;
}

bool Tarnix::start() {
    scm::ScHandle manager;
    scm::ScHandle service;
    if (scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager) != ERROR_SUCCESS ||
        scm::open_service(manager, "Varolan", scm::SERVICE_ALL_ACCESS, service) != ERROR_SUCCESS ||
        scm::start_service(service) != ERROR_SUCCESS) {
        return false;
    }
    std::ifstream lock(dir_.str("run/varolan.lock"));
    lock >> pid_;
    if (pid_ <= 0) {
        return false;
    }
    // The pipe exists with its final mode (set just after bind).
    return eventually([] {
        struct stat st {};
        return ::stat(pipe::pipe_socket_path("\\\\.\\PIPE\\Tarnix").c_str(), &st) == 0 &&
               (st.st_mode & 0777) == 0666;
    });
}

bool Tarnix::start_as_unit() {
    const std::string program = test::program_path("tarnix").string();
    const std::string log_file = dir_.str("tarnix.log");
    int log_fd = ::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    struct stat st {};
    if (program.empty() || log_fd < 0 || ::fstat(log_fd, &st) != 0) {
        return false;
    }
    const std::string journal =
        std::to_string(st.st_dev) + ":" + std::to_string(static_cast<unsigned long>(st.st_ino));
    pid_ = ::fork();
    if (pid_ == 0) {
        int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(log_fd, 2);
        ::setenv(scm::SERVICE_MARKER_ENV, "Varolan", 1);
        ::setenv("JOURNAL_STREAM", journal.c_str(), 1);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(log_fd);
    // Until the pipe exists, or the service has ended (it refused to run).
    return pid_ > 0 && eventually([this] {
               return fs::exists(pipe::pipe_socket_path("\\\\.\\PIPE\\Tarnix")) || !alive();
           });
}

std::string Tarnix::log() const {
    std::ifstream in(dir_.str("tarnix.log"));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Tarnix::logged(const std::string& needle, std::chrono::milliseconds timeout) const {
    return eventually([&] { return log().find(needle) != std::string::npos; }, timeout);
}

bool Tarnix::stop() {
    if (pid_ <= 0) {
        return false;  // never started: waitpid would take any child of ours
    }
    scm::SERVICE_STATUS status;
    scm::control_endpoint("Varolan", scm::SERVICE_CONTROL_STOP, &status);
    int st = 0;
    bool ended = eventually([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; });
    if (ended) {
        pid_ = -1;
    }
    return ended;
}

bool Tarnix::alive() const {
    if (pid_ <= 0) {
        return false;
    }
    int st = 0;
    const int rc = ::waitpid(pid_, &st, WNOHANG);
    if (rc == pid_ && WIFEXITED(st)) {
        exit_status_ = WEXITSTATUS(st);
    }
    return rc == 0;
}

Census Tarnix::census() const {
    return Census{test::count_open_fds(pid_), test::count_threads(pid_)};
}

bool Tarnix::settles_to(const Census& expected, std::chrono::milliseconds timeout) const {
    return eventually([&] { return census() == expected; }, timeout);
}

Census Tarnix::idle_census() {
    PipeUser user;
    if (user.open_session()) {
        user.type("q\r");
        user.wait_closed();
    }
    user.close();
    // Idle: the listener waits, nobody is served; give the finished session
    // time to end.
    Census last = census();
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(50ms);
        Census now = census();
        if (now == last && i >= 4) {
            break;
        }
        last = now;
    }
    return last;
}

// --- StoreLock ----------------------------------------------------------------------

StoreLock::StoreLock(const std::string& store_file) {
    int to_shell[2];
    int from_shell[2];
    if (::pipe2(to_shell, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(from_shell, O_CLOEXEC) != 0) {
        ::close(to_shell[0]);
        ::close(to_shell[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(to_shell[0], 0);
        ::dup2(from_shell[1], 1);
        ::dup2(from_shell[1], 2);
        ::execlp("sqlite3", "sqlite3", store_file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(to_shell[0]);
    ::close(from_shell[1]);
    to_shell_ = to_shell[1];
    // The shell stops at the first error, so the marker is printed only when
    // the lock is held.
    std::string take = ".bail on\n.timeout 10000\n";
    take += "BEGIN EXCLUSIVE;\n";
    take += "SELECT 'lock-' || 'held';\n";
    std::string seen;
    locked_ = pid_ > 0 &&
              ::write(to_shell_, take.data(), take.size()) == static_cast<ssize_t>(take.size()) &&
              read_until(from_shell[0], seen, "lock-held");
    ::close(from_shell[0]);
}

StoreLock::~StoreLock() {
    release();
}

void StoreLock::release() {
    if (to_shell_ >= 0) {
        const std::string done = "COMMIT;\n.quit\n";
        ssize_t n = ::write(to_shell_, done.data(), done.size());
        (void)n;
        ::close(to_shell_);
        to_shell_ = -1;
    }
    if (pid_ > 0) {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) {
            test::kill_and_reap(pid_);
        }
        pid_ = -1;
    }
}

long raise_fd_limit(long wanted) {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) {
        return -1;
    }
    rlim_t target = static_cast<rlim_t>(wanted);
    if (r.rlim_cur < target) {
        if (r.rlim_max < target) {
            // Root may raise the hard limit too.
            rlimit more{target, target};
            if (::setrlimit(RLIMIT_NOFILE, &more) == 0) {
                return static_cast<long>(target);
            }
            target = r.rlim_max;
        }
        r.rlim_cur = target;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
    ::getrlimit(RLIMIT_NOFILE, &r);
    return static_cast<long>(r.rlim_cur);
}

std::size_t fill_until_held(int fd, const std::string& chunk, std::chrono::milliseconds quiet) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t sent = 0;
    auto last_progress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - last_progress < quiet && sent < (512u << 20)) {
        ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            last_progress = std::chrono::steady_clock::now();
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 20);
        }
    }
    return sent;
}

bool send_within(int fd, const std::string& message, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) !=
           static_cast<ssize_t>(message.size())) {
        pollfd p{fd, POLLOUT, 0};
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        ::poll(&p, 1, 20);
    }
    return true;
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t);
}

long env_number(const char* name, long fallback) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') {
        return fallback;
    }
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    return end != nullptr && *end == '\0' && n > 0 ? n : fallback;
}

}  // namespace varolan::robust
