#include "platform/net/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace varolan {

static_assert(ADDRESS_FAMILY_INET == AF_INET);

namespace {

thread_local int thread_socket_error = 0;

int record_error(int code) {
    thread_socket_error = code;
    return code;
}

SystemResolver system_resolver;
std::atomic<Resolver*> installed_resolver{nullptr};

}  // namespace

bool parse_dotted(const char* text, std::uint32_t* ip) {
    in_addr a{};
    if (text == nullptr || inet_aton(text, &a) == 0) {
        return false;
    }
    *ip = a.s_addr;
    return true;
}

void format_dotted(std::uint32_t ip, char* out) {
    const auto* b = reinterpret_cast<const unsigned char*>(&ip);
    std::snprintf(out, DOTTED_ADDRESS_SIZE, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

bool SystemResolver::reverse(std::uint32_t ip) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ip;
    char host[NI_MAXHOST];
    return getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host,
                       nullptr, 0, NI_NAMEREQD) == 0;
}

bool SystemResolver::forward(const char* name, std::uint32_t* ip) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    bool ok = false;
    for (addrinfo* p = found; p != nullptr; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
            *ip = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

Resolver& process_resolver() {
    Resolver* r = installed_resolver.load(std::memory_order_acquire);
    return r != nullptr ? *r : system_resolver;
}

Resolver* set_process_resolver(Resolver* resolver) {
    Resolver* old = installed_resolver.exchange(resolver, std::memory_order_acq_rel);
    return old != nullptr ? old : &system_resolver;
}

bool local_host_name(char* out, std::size_t size) {
    if (size == 0) {
        return false;
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        out[0] = '\0';
        return false;
    }
    std::size_t n = strnlen(name, size - 1);
    std::memcpy(out, name, n);
    out[n] = '\0';
    return true;
}

int last_socket_error() {
    return thread_socket_error;
}

bool HostSocket::open() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        record_error(errno);
        fd_.reset();
        return false;
    }
    fd_.reset(fd);
    return true;
}

bool HostSocket::connect(const HostAddress& address) {
    if (!fd_.valid()) {
        record_error(EBADF);
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = static_cast<sa_family_t>(address.family);
    sa.sin_port = htons(address.port);
    sa.sin_addr.s_addr = address.ip;
    int rc = ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (rc == 0) {
        return true;
    }
    if (errno != EINTR) {
        record_error(errno);
        return false;
    }
    // An interrupted connect goes on in the background; wait for its outcome.
    for (;;) {
        pollfd p{fd_.get(), POLLOUT, 0};
        int r = ::poll(&p, 1, -1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            record_error(errno);
            return false;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            record_error(errno);
            return false;
        }
        if (err != 0) {
            record_error(err);
            return false;
        }
        return true;
    }
}

int HostSocket::send(const void* data, std::size_t size) {
    if (!fd_.valid()) {
        record_error(EBADF);
        return -1;
    }
    for (;;) {
        ssize_t n = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            record_error(errno);
            return -1;
        }
    }
}

bool HostSocket::send_all(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        int n = send(p, size);
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int HostSocket::recv(void* buffer, std::size_t size) {
    if (!fd_.valid()) {
        record_error(EBADF);
        return -1;
    }
    for (;;) {
        ssize_t n = ::recv(fd_.get(), buffer, size, 0);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            record_error(errno);
            return -1;
        }
    }
}

bool HostSocket::shutdown_both() {
    if (!fd_.valid()) {
        return false;
    }
    if (::shutdown(fd_.get(), SHUT_RDWR) != 0) {
        record_error(errno);
        return false;
    }
    return true;
}

}  // namespace varolan
