#include "platform/pipe/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/core/errno_status.h"
#include "platform/core/private_dir.h"
#include "platform/core/unix_listen.h"

namespace varolan::pipe {

namespace {

constexpr const char* PIPE_PREFIX = "\\\\.\\PIPE\\";
constexpr std::size_t PIPE_PREFIX_LEN = 9;
// Pipe meanings first (a refused connection is a missing pipe, a reset one a
// broken pipe); the rest as every layer maps them.
DWORD errno_status(int err) {
    switch (err) {
        case ECONNREFUSED:
            return ERROR_FILE_NOT_FOUND;
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return ERROR_BROKEN_PIPE;
        default:
            return status_from_errno(err);
    }
}

thread_local std::string last_error_text;

DWORD refuse(DWORD status, const std::string& text) {
    last_error_text = text;
    return status;
}

bool fill_address(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr->sun_path) {
        return false;
    }
    std::memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

// A listening socket bound at `path` by any process of this machine: bound
// there, or under the staging name and moved there since (the socket table
// keeps the name it was bound under).
bool path_is_listening(const std::string& path) {
    const std::string staging = staging_path(path);
    FILE* f = std::fopen("/proc/net/unix", "r");
    if (f == nullptr) {
        return false;
    }
    bool found = false;
    char line[4352];
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        // Num RefCount Protocol Flags Type St Inode Path
        char num[32];
        unsigned long refs = 0, proto = 0, flags = 0, type = 0, state = 0, inode = 0;
        int consumed = 0;
        if (std::sscanf(line, "%31s %lx %lx %lx %lx %lx %lu %n", num, &refs, &proto, &flags, &type,
                        &state, &inode, &consumed) < 7 ||
            consumed == 0) {
            continue;
        }
        std::string rest(line + consumed);
        while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) {
            rest.pop_back();
        }
        constexpr unsigned long SO_ACCEPTCON_FLAG = 0x10000;
        if ((rest == path || rest == staging) && (flags & SO_ACCEPTCON_FLAG) != 0) {
            found = true;
        }
    }
    std::fclose(f);
    return found;
}

bool set_passcred(int fd) {
    int one = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) == 0;
}

}  // namespace

// The listening socket shared by every instance of one pipe name.
class Listener {
  public:
    Listener(std::string path, UniqueFd fd, DWORD max_instances)
        : path_(std::move(path)), fd_(std::move(fd)), max_instances_(max_instances) {}
    ~Listener() {
        // A retained listener ends only at shutdown (which removed the path) or
        // at process exit; a stale file left by a crash is replaced at the next
        // start.
        if (fd_.valid() && !shut_ && !retained) {
            ::unlink(path_.c_str());
        }
    }
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }
    DWORD max_instances() const { return max_instances_; }
    // Guarded by the registry mutex.
    DWORD instances = 0;
    bool shut_ = false;
    bool retained = false;

  private:
    std::string path_;
    UniqueFd fd_;
    DWORD max_instances_;
};

namespace {

// The listener of each socket path. `instances` keeps it alive while any
// instance exists; `held` keeps a retained one alive between instances.
struct ListenerEntry {
    std::weak_ptr<Listener> instances;
    std::shared_ptr<Listener> held;
};

std::mutex registry_mutex;
std::map<std::string, ListenerEntry>& listeners() {
    static std::map<std::string, ListenerEntry> map;
    return map;
}

}  // namespace

bool initialize_security_descriptor(SecurityDescriptor* sd, DWORD revision) {
    if (sd == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
        return false;
    }
    *sd = SecurityDescriptor{};
    sd->initialized = true;
    return true;
}

bool set_security_descriptor_dacl(SecurityDescriptor* sd, bool dacl_present, const void* dacl,
                                  bool dacl_defaulted) {
    if (sd == nullptr || !sd->initialized || dacl != nullptr) {
        return false;  // only the null DACL is modelled
    }
    sd->dacl_present = dacl_present;
    sd->dacl_null = dacl_present;
    sd->dacl_defaulted = dacl_defaulted;
    return true;
}

std::string runtime_dir() {
    const char* dir = std::getenv("VAROLAN_RUNTIME_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        return dir;
    }
    return "/run/varolan";
}

std::string pipe_socket_path(const char* name) {
    if (name == nullptr || std::strlen(name) <= PIPE_PREFIX_LEN ||
        strncasecmp(name, PIPE_PREFIX, PIPE_PREFIX_LEN) != 0) {
        return {};
    }
    const char* leaf = name + PIPE_PREFIX_LEN;
    if (std::strchr(leaf, '/') != nullptr || std::strcmp(leaf, ".") == 0 ||
        std::strcmp(leaf, "..") == 0) {
        return {};
    }
    return runtime_dir() + "/pipe/" + leaf;
}

NamedPipe::NamedPipe() = default;

NamedPipe::~NamedPipe() {
    close();
}

NamedPipe::NamedPipe(NamedPipe&& other) noexcept
    : listener_(std::move(other.listener_)),
      sock_(std::move(other.sock_)),
      spill_(std::move(other.spill_)),
      last_errno_(std::exchange(other.last_errno_, 0)) {}

NamedPipe& NamedPipe::operator=(NamedPipe&& other) noexcept {
    if (this != &other) {
        close();
        listener_ = std::move(other.listener_);
        sock_ = std::move(other.sock_);
        spill_ = std::move(other.spill_);
        last_errno_ = std::exchange(other.last_errno_, 0);
    }
    return *this;
}

bool NamedPipe::valid() const {
    return listener_ != nullptr || sock_.valid();
}

void NamedPipe::attach_listener(std::shared_ptr<Listener> listener) {
    listener_ = std::move(listener);
}

void NamedPipe::attach_socket(UniqueFd sock) {
    sock_ = std::move(sock);
}

void NamedPipe::close() {
    sock_.reset();
    spill_.release();
    if (listener_) {
        // The listener goes (and its path with it) when its last instance goes;
        // it is dropped under the lock so that a concurrent create never meets
        // a half-destroyed one.
        std::lock_guard<std::mutex> lock(registry_mutex);
        if (listener_->instances > 0) {
            --listener_->instances;
        }
        listener_.reset();
    }
}

DWORD NamedPipe::connect() {
    if (!listener_) {
        return ERROR_INVALID_HANDLE;
    }
    if (sock_.valid()) {
        return ERROR_SUCCESS;  // already connected (NT: ERROR_PIPE_CONNECTED)
    }
    for (;;) {
        int fd = ::accept4(listener_->fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            // Every message read from now on carries credentials, which tells a
            // zero-length message from end of file.
            if (!set_passcred(fd)) {
                last_errno_ = errno;
                ::close(fd);
                return ERROR_GEN_FAILURE;
            }
            sock_.reset(fd);
            return ERROR_SUCCESS;
        }
        const int err = errno;
        if (err == EINTR || err == ECONNABORTED) {
            continue;
        }
        last_errno_ = err;
        bool shut;
        {
            std::lock_guard<std::mutex> lock(registry_mutex);
            shut = listener_->shut_;
        }
        // A listener that was shut down refuses every accept with EINVAL.
        if (shut || err == EINVAL || err == EBADF || err == ENOTSOCK) {
            return ERROR_PIPE_NOT_CONNECTED;
        }
        switch (err) {
            case EMFILE:
            case ENFILE:
                return ERROR_TOO_MANY_OPEN_FILES;
            case ENOMEM:
            case ENOBUFS:
                return ERROR_NOT_ENOUGH_MEMORY;
            default:
                return ERROR_GEN_FAILURE;
        }
    }
}

bool NamedPipe::clients_waiting() const {
    if (!listener_) {
        return false;
    }
    pollfd p{listener_->fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool NamedPipe::peer_credentials(PeerCredentials* out) const {
    ucred cred{};
    socklen_t size = sizeof cred;
    if (out == nullptr || !sock_.valid() ||
        ::getsockopt(sock_.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
        return false;
    }
    out->uid = cred.uid;
    out->gid = cred.gid;
    out->pid = cred.pid;
    return true;
}

DWORD NamedPipe::read(void* buffer, DWORD size, DWORD* bytes_read) {
    return read_message(buffer, size, bytes_read, true);
}

DWORD NamedPipe::read_nowait(void* buffer, DWORD size, DWORD* bytes_read) {
    return read_message(buffer, size, bytes_read, false);
}

DWORD NamedPipe::read_message(void* buffer, DWORD size, DWORD* bytes_read, bool wait) {
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    if (!sock_.valid()) {
        return listener_ ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE;
    }
    if (size > 0 && buffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // The rest of a message that an earlier short read left.
    if (spill_.left() > 0) {
        std::size_t n = spill_.take(buffer, size);
        if (bytes_read != nullptr) {
            *bytes_read = static_cast<DWORD>(n);
        }
        return spill_.left() > 0 ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
    if (!spill_.reserve()) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    iovec iov[2];
    iov[0].iov_base = buffer;
    iov[0].iov_len = size;
    iov[1].iov_base = spill_.space();
    iov[1].iov_len = spill_.capacity();
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    const int flags = MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = 2;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(sock_.get(), &msg, flags);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return ERROR_NO_DATA;
            }
            return errno_status(errno);
        }
        if (n == 0 && msg.msg_controllen == 0) {
            return ERROR_BROKEN_PIPE;  // end of file: no message, no credentials
        }
        std::size_t got = static_cast<std::size_t>(n);
        if (got <= size) {
            if (bytes_read != nullptr) {
                *bytes_read = static_cast<DWORD>(got);
            }
            return ERROR_SUCCESS;
        }
        if (bytes_read != nullptr) {
            *bytes_read = size;
        }
        spill_.hold(got - size);
        return ERROR_MORE_DATA;
    }
}

DWORD NamedPipe::peek(DWORD* total_available) {
    return peek(total_available, nullptr);
}

DWORD NamedPipe::peek(DWORD* total_available, bool* message_waiting) {
    if (total_available != nullptr) {
        *total_available = 0;
    }
    if (message_waiting != nullptr) {
        *message_waiting = false;
    }
    if (!sock_.valid()) {
        return listener_ ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE;
    }
    std::size_t total = spill_.left();
    bool waiting = false;
    // Tell "nothing waiting" from "closed": a non-blocking peek at the next
    // message. A message (even an empty one) comes with credentials; end of file
    // comes without.
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(sock_.get(), &msg, MSG_PEEK | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && total == 0) {
            return errno_status(errno);
        }
    } else if (n == 0 && msg.msg_controllen == 0) {
        if (total == 0) {
            return ERROR_BROKEN_PIPE;
        }
    } else {
        waiting = true;
        int queued = 0;
        if (::ioctl(sock_.get(), FIONREAD, &queued) == 0 && queued > 0) {
            total += static_cast<std::size_t>(queued);
        }
    }
    if (message_waiting != nullptr) {
        *message_waiting = waiting || total > 0;
    }
    if (total_available != nullptr) {
        *total_available = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(total);
    }
    return ERROR_SUCCESS;
}

DWORD NamedPipe::write(const void* buffer, DWORD size, DWORD* bytes_written) {
    return write_message(buffer, size, bytes_written, true);
}

DWORD NamedPipe::write_nowait(const void* buffer, DWORD size, DWORD* bytes_written) {
    return write_message(buffer, size, bytes_written, false);
}

DWORD NamedPipe::write_message(const void* buffer, DWORD size, DWORD* bytes_written, bool wait) {
    if (bytes_written != nullptr) {
        *bytes_written = 0;
    }
    if (!sock_.valid()) {
        return listener_ ? ERROR_PIPE_NOT_CONNECTED : ERROR_INVALID_HANDLE;
    }
    if (size > 0 && buffer == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // A message is taken whole or not at all.
    const int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
    for (;;) {
        ssize_t n = ::send(sock_.get(), buffer, size, flags);
        if (n >= 0) {
            if (bytes_written != nullptr) {
                *bytes_written = static_cast<DWORD>(n);
            }
            return ERROR_SUCCESS;
        }
        if (errno == EINTR) {
            continue;
        }
        if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ERROR_SUCCESS;
        }
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            return ERROR_NO_DATA;
        }
        if (errno == EMSGSIZE) {
            return ERROR_INVALID_PARAMETER;
        }
        return errno_status(errno);
    }
}

DWORD create_named_pipe(const char* name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                        DWORD /*out_buffer_size*/, DWORD /*in_buffer_size*/,
                        DWORD /*default_timeout*/, const SecurityAttributes* security,
                        NamedPipe* out) {
    last_error_text.clear();
    if (out == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    out->close();
    std::string path = pipe_socket_path(name);
    if (path.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    if (open_mode != PIPE_ACCESS_DUPLEX ||
        pipe_mode != (PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT) ||
        max_instances == 0 || max_instances > PIPE_UNLIMITED_INSTANCES) {
        return ERROR_INVALID_PARAMETER;
    }
    bool open_to_all = security != nullptr && security->descriptor != nullptr &&
                       security->descriptor->dacl_present && security->descriptor->dacl_null;

    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& map = listeners();
    std::shared_ptr<Listener> listener;
    auto it = map.find(path);
    if (it != map.end()) {
        listener = it->second.instances.lock();
        if (listener && listener->shut_) {
            listener.reset();
        }
    }
    if (listener) {
        if (listener->max_instances() != PIPE_UNLIMITED_INSTANCES &&
            listener->instances >= listener->max_instances()) {
            return ERROR_PIPE_BUSY;
        }
    } else {
        // The pipe's directory is this service's own, or nothing is served.
        const std::string dir = path.substr(0, path.rfind('/'));
        if (std::string trouble = prepare_private_dir(dir, 0755); !trouble.empty()) {
            return refuse(ERROR_ACCESS_DENIED, trouble);
        }
        sockaddr_un addr{};
        if (!fill_address(path, &addr)) {
            return refuse(ERROR_INVALID_PARAMETER, path + ": path too long");
        }
        // A socket file left by a process that has ended is replaced; one that a
        // live process listens on is not taken over, nor anything that is no
        // socket (a link is never followed).
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                return refuse(ERROR_ACCESS_DENIED, path + ": is not a socket; left as it is");
            }
            if (path_is_listening(path)) {
                return refuse(ERROR_ACCESS_DENIED, path + ": another process serves it");
            }
        }
        UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (!fd) {
            return errno_status(errno);
        }
        if (!set_passcred(fd.get())) {
            return errno_status(errno);
        }
        // The path appears once the socket listens, never before.
        if (const int err = listen_at_path(fd.get(), path, open_to_all ? 0666 : 0600, SOMAXCONN);
            err != 0) {
            return refuse(err == EADDRINUSE ? ERROR_ACCESS_DENIED : errno_status(err),
                          path + ": " + system_error_text(err));
        }
        listener = std::make_shared<Listener>(path, std::move(fd), max_instances);
        map[path] = ListenerEntry{listener, nullptr};
    }
    ++listener->instances;
    out->attach_listener(std::move(listener));
    return ERROR_SUCCESS;
}

DWORD connect_pipe_client(const std::string& path_or_name, NamedPipe* out) {
    if (out == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    out->close();
    std::string path = pipe_socket_path(path_or_name.c_str());
    if (path.empty()) {
        path = path_or_name;
    }
    sockaddr_un addr{};
    if (!fill_address(path, &addr)) {
        return ERROR_INVALID_PARAMETER;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!fd) {
        return errno_status(errno);
    }
    if (!set_passcred(fd.get())) {
        return errno_status(errno);
    }
    while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN ? ERROR_PIPE_BUSY : errno_status(errno);
    }
    out->attach_socket(std::move(fd));
    return ERROR_SUCCESS;
}

std::string last_create_error() {
    return last_error_text;
}

bool shutdown_pipe_listener(const char* name) {
    std::string path = pipe_socket_path(name);
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& map = listeners();
    auto it = map.find(path);
    if (it == map.end()) {
        return false;
    }
    std::shared_ptr<Listener> listener = it->second.instances.lock();
    map.erase(it);
    if (!listener || listener->shut_) {
        return false;
    }
    listener->shut_ = true;
    // Wakes every accept() on it; later accepts fail at once.
    ::shutdown(listener->fd(), SHUT_RDWR);
    ::unlink(listener->path().c_str());
    return true;
}

bool retain_pipe_listener(const char* name) {
    std::string path = pipe_socket_path(name);
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& map = listeners();
    auto it = map.find(path);
    if (it == map.end()) {
        return false;
    }
    std::shared_ptr<Listener> listener = it->second.instances.lock();
    if (!listener || listener->shut_) {
        return false;
    }
    listener->retained = true;
    it->second.held = std::move(listener);
    return true;
}

}  // namespace varolan::pipe
