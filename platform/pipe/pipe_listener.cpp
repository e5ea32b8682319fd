// Pipe names, their listening sockets and the client side: creating an
// instance (and the listener it shares), connecting a client, keeping and
// shutting down a listener.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/core/errno_status.h"
#include "platform/core/private_dir.h"
#include "platform/core/unix_listen.h"
#include "platform/pipe/pipe.h"
#include "platform/pipe/pipe_internal.h"

namespace varolan::pipe {

std::mutex listener_registry_mutex;

Listener::~Listener() {
    // A retained listener ends only at shutdown (which removed the path) or
    // at process exit; a stale file left by a crash is replaced at the next
    // start.
    if (fd_.valid() && !shut_ && !retained) {
        ::unlink(path_.c_str());
    }
}

namespace {

constexpr const char* PIPE_PREFIX = "\\\\.\\PIPE\\";
constexpr std::size_t PIPE_PREFIX_LEN = 9;

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

// The listener of each socket path. `instances` keeps it alive while any
// instance exists; `held` keeps a retained one alive between instances.
struct ListenerEntry {
    std::weak_ptr<Listener> instances;
    std::shared_ptr<Listener> held;
};

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

    std::lock_guard<std::mutex> lock(listener_registry_mutex);
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
            return pipe_errno_status(errno);
        }
        if (!set_passcred(fd.get())) {
            return pipe_errno_status(errno);
        }
        // The path appears once the socket listens, never before.
        if (const int err = listen_at_path(fd.get(), path, open_to_all ? 0666 : 0600, SOMAXCONN);
            err != 0) {
            return refuse(err == EADDRINUSE ? ERROR_ACCESS_DENIED : pipe_errno_status(err),
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
        return pipe_errno_status(errno);
    }
    if (!set_passcred(fd.get())) {
        return pipe_errno_status(errno);
    }
    while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN ? ERROR_PIPE_BUSY : pipe_errno_status(errno);
    }
    out->attach_socket(std::move(fd));
    return ERROR_SUCCESS;
}

std::string last_create_error() {
    return last_error_text;
}

namespace {

// The live listener registered for `name` and its registry entry (the
// registry's lock held by the caller); no listener when there is none or it
// was shut down. The entry is null when the name is not registered at all.
template <typename Map>
std::shared_ptr<Listener> registered_listener(Map& map, const char* name,
                                              typename Map::iterator* entry) {
    auto it = map.find(pipe_socket_path(name));
    *entry = it;
    if (it == map.end()) {
        return nullptr;
    }
    std::shared_ptr<Listener> listener = it->second.instances.lock();
    if (!listener || listener->shut_) {
        return nullptr;
    }
    return listener;
}

}  // namespace

bool shutdown_pipe_listener(const char* name) {
    std::lock_guard<std::mutex> lock(listener_registry_mutex);
    auto& map = listeners();
    decltype(map.end()) it;
    std::shared_ptr<Listener> listener = registered_listener(map, name, &it);
    if (it != map.end()) {
        map.erase(it);
    }
    if (!listener) {
        return false;
    }
    listener->shut_ = true;
    // Wakes every accept() on it; later accepts fail at once.
    ::shutdown(listener->fd(), SHUT_RDWR);
    ::unlink(listener->path().c_str());
    return true;
}

bool retain_pipe_listener(const char* name) {
    std::lock_guard<std::mutex> lock(listener_registry_mutex);
    auto& map = listeners();
    decltype(map.end()) it;
    std::shared_ptr<Listener> listener = registered_listener(map, name, &it);
    if (!listener) {
        return false;
    }
    listener->retained = true;
    it->second.held = std::move(listener);
    return true;
}

}  // namespace varolan::pipe
