// TCP connections to hosts (IPv4 and IPv6) and host name resolution.
//
// The gateway is a TCP client of its hosts. This layer gives it an owning
// socket with the operations the sessions need (connect, one send, receive,
// shutdown) and a resolver that can be replaced in tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/core/fd.h"

namespace varolan {

inline constexpr int ADDRESS_FAMILY_INET = 2;    // AF_INET
inline constexpr int ADDRESS_FAMILY_INET6 = 10;  // AF_INET6
inline constexpr std::size_t LOCAL_HOST_NAME_SIZE = 64;
inline constexpr std::size_t DOTTED_ADDRESS_SIZE = 16;  // "255.255.255.255" and NUL
// Any address as text: an IPv6 address with a scope ("fe80::1%eth0") and NUL.
inline constexpr std::size_t ADDRESS_TEXT_SIZE = 64;
// Addresses kept of one name; a name with more is tried with its first ones.
inline constexpr std::size_t MAX_HOST_ADDRESSES = 16;

// A TCP socket address, IPv4 or IPv6.
struct HostAddress {
    int family = 0;              // ADDRESS_FAMILY_INET or ADDRESS_FAMILY_INET6 once filled
    std::uint32_t ip = 0;        // IPv4, network byte order
    std::uint16_t port = 0;      // host byte order
    unsigned char ip6[16] = {};  // IPv6, network byte order
    std::uint32_t scope_id = 0;  // IPv6 scope (interface index of a link-local address)
};

// Every address of one name, IPv4 addresses first, each family in the
// resolver's order, no address twice.
struct HostAddressList {
    std::size_t count = 0;
    HostAddress addresses[MAX_HOST_ADDRESSES];

    // Appends `address` unless it is there already or the list is full.
    void add(const HostAddress& address);
};

// Parses an address in the dotted forms the classic resolver accepts
// ("10.1.2.3", "10.258", "0x7f.1"). Returns false for anything else.
bool parse_dotted(const char* text, std::uint32_t* ip);
// Writes `ip` (network order) as "a.b.c.d" into `out` of DOTTED_ADDRESS_SIZE bytes.
void format_dotted(std::uint32_t ip, char* out);
// Parses a numeric IPv6 address, with or without square brackets around it
// and with an optional "%scope" ("::1", "[2001:db8::1]", "fe80::1%eth0").
// The port of `address` is left as it is. False for anything else.
bool parse_ipv6(const char* text, HostAddress* address);
// Writes the address (without the port) as text into `out` of ADDRESS_TEXT_SIZE bytes.
void format_address(const HostAddress& address, char* out);

// Name lookups. The process uses the system resolver unless a test installs
// another one.
class Resolver {
  public:
    virtual ~Resolver() = default;
    // Reverse lookup of an IPv4 address: true when a host name is registered for it.
    virtual bool reverse(std::uint32_t ip) = 0;
    // Forward lookup of a name, IPv4 only: true and the first address found.
    virtual bool forward(const char* name, std::uint32_t* ip) = 0;
    // Forward lookup of a name, every address of both families (IPv4 first).
    // Resolvers that know only IPv4 give the one address forward() finds.
    virtual bool forward_all(const char* name, HostAddressList* out);
};

// getnameinfo (NI_NAMEREQD) and getaddrinfo; both thread-safe.
class SystemResolver final : public Resolver {
  public:
    bool reverse(std::uint32_t ip) override;
    bool forward(const char* name, std::uint32_t* ip) override;
    bool forward_all(const char* name, HostAddressList* out) override;
};

Resolver& process_resolver();
// Installs `resolver` (nullptr restores the system resolver); returns the previous one.
Resolver* set_process_resolver(Resolver* resolver);

// This machine's host name, cut to fit and always NUL-terminated, into `out`
// of `size` bytes (LOCAL_HOST_NAME_SIZE by design). False when unavailable
// (`out` is then the empty string).
bool local_host_name(char* out, std::size_t size);

// The error code of the calling thread's last failed socket operation
// (an errno value; 0 when none failed yet).
int last_socket_error();

// Owner of one TCP socket towards a host. Operations record their error for
// last_socket_error() on the calling thread. recv() and shutdown_both() may be
// called from another thread than send(); close() only once no other thread
// uses the socket any more.
class HostSocket {
  public:
    HostSocket() = default;
    HostSocket(HostSocket&&) noexcept = default;
    HostSocket& operator=(HostSocket&&) noexcept = default;

    // Creates a stream socket of the family (closing one held before).
    bool open(int family = ADDRESS_FAMILY_INET);
    // Takes an already connected stream socket (tests, socket pairs).
    void adopt(UniqueFd fd) { fd_ = static_cast<UniqueFd&&>(fd); }
    // Blocking connect; false on failure (also when no socket is open).
    bool connect(const HostAddress& address);
    // One send call (no SIGPIPE). Returns the bytes sent or -1.
    int send(const void* data, std::size_t size);
    // Sends everything, retrying partial sends. False on failure.
    bool send_all(const void* data, std::size_t size);
    // Sends what the connection takes now, without waiting: the bytes sent (0
    // when it takes nothing now), or -1 when the connection has failed.
    int send_available(const void* data, std::size_t size);
    // True when the host has shut its sending side down or the connection has
    // failed; data it sent before may still wait to be received.
    bool peer_finished() const;
    // One receive (EINTR retried): bytes received, 0 at an orderly close, -1 on error.
    int recv(void* buffer, std::size_t size);
    // One receive that never waits: bytes received, 0 when none wait now, -1 at
    // an orderly close or on error (a blocking recv() then reports which).
    int recv_available(void* buffer, std::size_t size);
    // Shuts both directions down; wakes a thread blocked in recv().
    bool shutdown_both();
    void close() { fd_.reset(); }
    // Gives the connected socket away (to a protocol layer that owns it from then on).
    UniqueFd take() { return static_cast<UniqueFd&&>(fd_); }
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_;
};

}  // namespace varolan
