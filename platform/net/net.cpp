#include "platform/net/net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace varolan {

static_assert(ADDRESS_FAMILY_INET == AF_INET);
static_assert(ADDRESS_FAMILY_INET6 == AF_INET6);
static_assert(ADDRESS_TEXT_SIZE >= INET6_ADDRSTRLEN + IF_NAMESIZE + 1);

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

void HostAddressList::add(const HostAddress& address) {
    for (std::size_t i = 0; i < count; ++i) {
        const HostAddress& a = addresses[i];
        if (a.family == address.family && a.ip == address.ip && a.scope_id == address.scope_id &&
            std::memcmp(a.ip6, address.ip6, sizeof a.ip6) == 0) {
            return;
        }
    }
    if (count < MAX_HOST_ADDRESSES) {
        addresses[count++] = address;
    }
}

bool parse_ipv6(const char* text, HostAddress* address) {
    if (text == nullptr) {
        return false;
    }
    char body[ADDRESS_TEXT_SIZE];
    std::size_t n = strnlen(text, sizeof body);
    if (n == sizeof body || n == 0) {
        return false;
    }
    std::memcpy(body, text, n + 1);
    char* start = body;
    if (body[0] == '[') {
        if (body[n - 1] != ']') {
            return false;
        }
        body[n - 1] = '\0';
        ++start;
    }
    std::uint32_t scope = 0;
    if (char* percent = std::strchr(start, '%'); percent != nullptr) {
        *percent = '\0';
        const char* zone = percent + 1;
        if (zone[0] == '\0') {
            return false;
        }
        scope = if_nametoindex(zone);
        if (scope == 0) {
            char* end = nullptr;
            unsigned long number = std::strtoul(zone, &end, 10);
            if (*end != '\0' || number == 0 || number > 0xFFFFFFFFul) {
                return false;
            }
            scope = static_cast<std::uint32_t>(number);
        }
    }
    in6_addr a{};
    if (std::strchr(start, ':') == nullptr || inet_pton(AF_INET6, start, &a) != 1) {
        return false;
    }
    address->family = AF_INET6;
    address->ip = 0;
    std::memcpy(address->ip6, &a, sizeof address->ip6);
    address->scope_id = scope;
    return true;
}

void format_address(const HostAddress& address, char* out) {
    out[0] = '\0';
    if (address.family == AF_INET) {
        format_dotted(address.ip, out);
        return;
    }
    if (address.family != AF_INET6) {
        return;
    }
    in6_addr a{};
    std::memcpy(&a, address.ip6, sizeof a);
    if (inet_ntop(AF_INET6, &a, out, ADDRESS_TEXT_SIZE) == nullptr) {
        out[0] = '\0';
        return;
    }
    if (address.scope_id != 0) {
        std::size_t n = std::strlen(out);
        char name[IF_NAMESIZE] = {};
        if (if_indextoname(address.scope_id, name) != nullptr) {
            std::snprintf(out + n, ADDRESS_TEXT_SIZE - n, "%%%s", name);
        } else {
            std::snprintf(out + n, ADDRESS_TEXT_SIZE - n, "%%%u",
                          static_cast<unsigned>(address.scope_id));
        }
    }
}

bool Resolver::forward_all(const char* name, HostAddressList* out) {
    out->count = 0;
    HostAddress address;
    address.family = AF_INET;
    if (!forward(name, &address.ip)) {
        return false;
    }
    out->add(address);
    return true;
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
    HostAddressList all;
    if (!forward_all(name, &all) || all.addresses[0].family != AF_INET) {
        return false;
    }
    *ip = all.addresses[0].ip;
    return true;
}

bool SystemResolver::forward_all(const char* name, HostAddressList* out) {
    out->count = 0;
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    // Brackets around an IPv6 address and its scope are understood here too,
    // so that every caller may pass what the user typed.
    HostAddress literal;
    if (parse_ipv6(name, &literal)) {
        out->add(literal);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    // IPv4 first, as names were always tried; then IPv6.
    for (int family : {AF_INET, AF_INET6}) {
        for (addrinfo* p = found; p != nullptr; p = p->ai_next) {
            HostAddress a;
            if (p->ai_family != family) {
                continue;
            }
            if (family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
                a.family = AF_INET;
                a.ip = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
                out->add(a);
            } else if (family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6)) {
                const auto* sa = reinterpret_cast<const sockaddr_in6*>(p->ai_addr);
                a.family = AF_INET6;
                std::memcpy(a.ip6, &sa->sin6_addr, sizeof a.ip6);
                a.scope_id = sa->sin6_scope_id;
                out->add(a);
            }
        }
    }
    freeaddrinfo(found);
    return out->count > 0;
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

bool HostSocket::open(int family) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.family == AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(address.port);
        std::memcpy(&sa->sin6_addr, address.ip6, sizeof address.ip6);
        sa->sin6_scope_id = address.scope_id;
        length = sizeof *sa;
    } else {
        auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
        sa->sin_family = static_cast<sa_family_t>(address.family);
        sa->sin_port = htons(address.port);
        sa->sin_addr.s_addr = address.ip;
        length = sizeof *sa;
    }
    int rc = ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&storage), length);
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

int HostSocket::send_available(const void* data, std::size_t size) {
    if (!fd_.valid()) {
        record_error(EBADF);
        return -1;
    }
    for (;;) {
        ssize_t n = ::send(fd_.get(), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            record_error(errno);
            return -1;
        }
    }
}

bool HostSocket::peer_finished() const {
    if (!fd_.valid()) {
        return true;
    }
    pollfd p{fd_.get(), POLLRDHUP, 0};
    int r = 0;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
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

int HostSocket::recv_available(void* buffer, std::size_t size) {
    if (!fd_.valid()) {
        record_error(EBADF);
        return -1;
    }
    for (;;) {
        ssize_t n = ::recv(fd_.get(), buffer, size, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n == 0) {
            return -1;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
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
