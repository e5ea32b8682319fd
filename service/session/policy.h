// What the administrator allows: how many pipe sessions may run at once, and
// which hosts and ports users may connect to. Set once at service start (from
// "Maximum Sessions", "Maximum Sessions Per User" and "Permitted Destinations")
// before any session exists, read by every session afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/net.h"

namespace varolan::service {

// --- session limits ----------------------------------------------------------------

inline constexpr std::uint32_t DEFAULT_MAX_SESSIONS_PER_USER = 64;
// Highest default of "Maximum Sessions", whatever the limits would allow.
inline constexpr std::uint32_t MAX_SESSIONS_CEILING = 4096;
// What one pipe session with an open host connection holds at most, and what
// the rest of the service needs, to derive the default from the limits.
inline constexpr std::uint64_t FDS_PER_SESSION = 4;
inline constexpr std::uint64_t FDS_RESERVED = 64;
inline constexpr std::uint64_t TASKS_PER_SESSION = 2;
inline constexpr std::uint64_t TASKS_RESERVED = 16;

struct SessionLimits {
    std::uint32_t total = MAX_SESSIONS_CEILING;
    std::uint32_t per_user = DEFAULT_MAX_SESSIONS_PER_USER;
};

// The default of "Maximum Sessions" for these limits of the process (0 =
// unlimited or unknown): as many sessions as the descriptors and the tasks
// allow, at least 1, at most MAX_SESSIONS_CEILING.
std::uint32_t default_max_sessions(std::uint64_t fd_limit, std::uint64_t task_limit);

void set_session_limits(const SessionLimits& limits);
SessionLimits session_limits();

// --- permitted destinations -----------------------------------------------------------

// One line of "Permitted Destinations": `host-or-CIDR[:port-or-range]`.
struct DestinationRule {
    enum class Kind { any_host, network, name } kind = Kind::any_host;
    std::uint32_t network = 0;  // host byte order
    std::uint32_t mask = 0;     // host byte order
    std::string name;           // Kind::name: resolved when a connection is checked
    std::uint16_t port_low = 1;
    std::uint16_t port_high = 65535;
};

// Parses one line: "*", a dotted address, "a.b.c.d/n" or a host name, then
// optionally ":port" or ":low-high" (1..65535). Blanks around the line are
// ignored. False for anything else.
bool parse_destination_rule(const char* line, DestinationRule* out);

// True when `address` (its address and port) matches one of `rules` (an
// empty list matches nothing). Networks are IPv4; an IPv6 address matches
// only "*" and names. A rule naming a host matches the addresses that name
// resolves to now, so a user cannot get past a rule by typing another name or
// an address for the same host, nor reach another host by a name that a
// rule's name happens to resemble.
bool rules_permit(const std::vector<DestinationRule>& rules, const HostAddress& address,
                  Resolver& resolver);

// The destinations in force: without a restriction every destination is
// permitted; with one, only what `rules` permit (nothing, when it is empty).
void set_permitted_destinations(bool restricted, std::vector<DestinationRule> rules);
// The check of a resolved destination against them, with the process resolver.
bool destination_permitted(const HostAddress& address);

// Puts the limits and the rules back to their defaults (tests).
void reset_policy();

}  // namespace varolan::service
