#include "service/session/policy.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/core/text.h"

namespace varolan::service {

namespace {

std::mutex policy_mutex;
SessionLimits limits;  // guarded by policy_mutex
// Null: no restriction.
std::shared_ptr<const std::vector<DestinationRule>> rules;  // guarded by policy_mutex

std::uint32_t host_order(std::uint32_t network_order_ip) {
    unsigned char b[4];
    std::memcpy(b, &network_order_ip, 4);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}

// A decimal number within [low, high], digits only.
bool parse_number(const std::string& text, unsigned long low, unsigned long high,
                  unsigned long* out) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

bool parse_ports(const std::string& text, DestinationRule* rule) {
    const std::size_t dash = text.find('-');
    unsigned long low = 0;
    unsigned long high = 0;
    if (dash == std::string::npos) {
        if (!parse_number(text, 1, 65535, &low)) {
            return false;
        }
        high = low;
    } else if (!parse_number(text.substr(0, dash), 1, 65535, &low) ||
               !parse_number(text.substr(dash + 1), 1, 65535, &high) || high < low) {
        return false;
    }
    rule->port_low = static_cast<std::uint16_t>(low);
    rule->port_high = static_cast<std::uint16_t>(high);
    return true;
}

// Four decimal parts 0..255, nothing else (a rule is written by an
// administrator; the short forms a user may type are not needed here).
bool parse_address(const std::string& text, std::uint32_t* host_order_ip) {
    std::uint32_t value = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part < 3 ? text.find('.', start) : text.size();
        unsigned long octet = 0;
        if (end == std::string::npos ||
            !parse_number(text.substr(start, end - start), 0, 255, &octet)) {
            return false;
        }
        value = (value << 8) | static_cast<std::uint32_t>(octet);
        start = end + 1;
    }
    *host_order_ip = value;
    return true;
}

// Letters, digits, '-', '_' and '.', and a last label that is not all digits
// (so that a mistyped address such as 10.0.0.256 is no name).
bool valid_host_name(const std::string& text) {
    if (text.empty() || text.size() > 253 || text.front() == '-' || text.front() == '.') {
        return false;
    }
    const std::string last = text.substr(text.rfind('.') + 1);
    if (last.find_first_not_of("0123456789") == std::string::npos) {
        return false;
    }
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-' && c != '.' && c != '_') {
            return false;
        }
    }
    return true;
}

bool parse_host(const std::string& text, DestinationRule* rule) {
    if (text == "*") {
        rule->kind = DestinationRule::Kind::any_host;
        return true;
    }
    const std::size_t slash = text.find('/');
    std::uint32_t ip = 0;
    if (parse_address(text.substr(0, slash), &ip)) {
        unsigned long bits = 32;
        if (slash != std::string::npos && !parse_number(text.substr(slash + 1), 0, 32, &bits)) {
            return false;
        }
        rule->kind = DestinationRule::Kind::network;
        rule->mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
        rule->network = ip & rule->mask;
        return true;
    }
    if (slash != std::string::npos || !valid_host_name(text)) {
        return false;
    }
    rule->kind = DestinationRule::Kind::name;
    rule->name = text;
    return true;
}

}  // namespace

std::uint32_t default_max_sessions(std::uint64_t fd_limit, std::uint64_t task_limit) {
    std::uint64_t most = MAX_SESSIONS_CEILING;
    if (fd_limit != 0) {
        const std::uint64_t by_fds =
            fd_limit > FDS_RESERVED ? (fd_limit - FDS_RESERVED) / FDS_PER_SESSION : 0;
        most = by_fds < most ? by_fds : most;
    }
    if (task_limit != 0) {
        const std::uint64_t by_tasks =
            task_limit > TASKS_RESERVED ? (task_limit - TASKS_RESERVED) / TASKS_PER_SESSION : 0;
        most = by_tasks < most ? by_tasks : most;
    }
    return most > 0 ? static_cast<std::uint32_t>(most) : 1;
}

void set_session_limits(const SessionLimits& new_limits) {
    std::lock_guard<std::mutex> lock(policy_mutex);
    limits = new_limits;
}

SessionLimits session_limits() {
    std::lock_guard<std::mutex> lock(policy_mutex);
    return limits;
}

bool parse_destination_rule(const char* line, DestinationRule* out) {
    if (line == nullptr || out == nullptr) {
        return false;
    }
    const std::string text(trim(line));
    DestinationRule rule;
    const std::size_t colon = text.find(':');
    if (!parse_host(text.substr(0, colon), &rule) ||
        (colon != std::string::npos && !parse_ports(text.substr(colon + 1), &rule))) {
        return false;
    }
    *out = std::move(rule);
    return true;
}

bool rules_permit(const std::vector<DestinationRule>& list, const HostAddress& address,
                  Resolver& resolver) {
    const bool v4 = address.family == ADDRESS_FAMILY_INET;
    const std::uint32_t ip = v4 ? host_order(address.ip) : 0;
    for (const DestinationRule& rule : list) {
        if (address.port < rule.port_low || address.port > rule.port_high) {
            continue;
        }
        switch (rule.kind) {
            case DestinationRule::Kind::any_host:
                return true;
            case DestinationRule::Kind::network:
                if (v4 && (ip & rule.mask) == rule.network) {
                    return true;
                }
                break;
            case DestinationRule::Kind::name: {
                HostAddressList named;
                if (!resolver.forward_all(rule.name.c_str(), &named)) {
                    break;
                }
                for (std::size_t i = 0; i < named.count; ++i) {
                    const HostAddress& n = named.addresses[i];
                    if (n.family == address.family &&
                        (v4 ? n.ip == address.ip
                            : std::memcmp(n.ip6, address.ip6, sizeof n.ip6) == 0)) {
                        return true;
                    }
                }
                break;
            }
        }
    }
    return false;
}

void set_permitted_destinations(bool restricted, std::vector<DestinationRule> list) {
    std::shared_ptr<const std::vector<DestinationRule>> shared;
    if (restricted) {
        shared = std::make_shared<const std::vector<DestinationRule>>(std::move(list));
    }
    std::lock_guard<std::mutex> lock(policy_mutex);
    rules = std::move(shared);
}

bool destination_permitted(const HostAddress& address) {
    std::shared_ptr<const std::vector<DestinationRule>> current;
    {
        std::lock_guard<std::mutex> lock(policy_mutex);
        current = rules;
    }
    if (!current) {
        return true;
    }
    return rules_permit(*current, address, process_resolver());
}

void reset_policy() {
    std::lock_guard<std::mutex> lock(policy_mutex);
    limits = SessionLimits{};
    rules.reset();
}

}  // namespace varolan::service
