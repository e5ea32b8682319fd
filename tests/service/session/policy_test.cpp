// The administrator's limits: which destinations a rule list lets through,
// and the default number of sessions the process's limits can carry.
#include "service/session/policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/service/session/fake_resolver.h"

namespace varolan::service {
namespace {

HostAddress at(const char* text, std::uint16_t port) {
    HostAddress a;
    if (parse_dotted(text, &a.ip)) {
        a.family = ADDRESS_FAMILY_INET;
    } else {
        EXPECT_TRUE(parse_ipv6(text, &a)) << text;
    }
    a.port = port;
    return a;
}

TEST(PermittedDestinations, RulesTable) {
    test::FakeResolver resolver;
    resolver.names = {{"db.example", "10.1.2.3 2001:db8::3"}, {"mail.example", "10.9.9.9"}};
    const std::vector<std::string> lines = {
        "  192.168.10.0/24:23  ",  // a network, one port
        "10.0.0.0/8:2000-2100",    // a network, a port range
        "db.example",              // a name, any port
        "*:2323",                  // any host, one port
        "127.0.0.1:1-1",
    };
    std::vector<DestinationRule> rules;
    for (const std::string& line : lines) {
        DestinationRule rule;
        ASSERT_TRUE(parse_destination_rule(line.c_str(), &rule)) << line;
        rules.push_back(rule);
    }
    const struct {
        const char* ip;
        std::uint16_t port;
        bool permitted;
    } cases[] = {
        {"192.168.10.77", 23, true}, {"192.168.10.77", 24, false}, {"192.168.11.1", 23, false},
        {"10.200.0.1", 2000, true},  {"10.200.0.1", 2100, true},   {"10.200.0.1", 2101, false},
        {"10.200.0.1", 1999, false}, {"10.1.2.3", 22, true},  // db.example's address
        {"10.9.9.9", 22, false},     {"8.8.8.8", 2323, true},      {"8.8.8.8", 23, false},
        {"127.0.0.1", 1, true},      {"127.0.0.1", 2, false},      {"11.0.0.1", 2000, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rules_permit(rules, at(c.ip, c.port), resolver), c.permitted)
            << c.ip << ":" << c.port;
    }
    // A name rule follows the name: once it resolves elsewhere, the old
    // address is no longer permitted.
    resolver.names["db.example"] = "10.1.2.4";
    EXPECT_FALSE(rules_permit(rules, at("10.1.2.3", 22), resolver));
    EXPECT_TRUE(rules_permit(rules, at("10.1.2.4", 22), resolver));
    EXPECT_FALSE(rules_permit({}, at("10.1.2.4", 22), resolver));

    const char* refused[] = {"",
                             "10.0.0.0/33",
                             "10.0.0.256",
                             "10.0.0.1:0",
                             "10.0.0.1:65536",
                             "10.0.0.1:30-20",
                             "10.0.0.1:x",
                             "host name",
                             "-host",
                             "10.0.0.1:23:24",
                             "a/8",
                             "10.0.0.1:",
                             ":23",
                             "10.0.0.0/-1"};
    for (const char* line : refused) {
        DestinationRule rule;
        EXPECT_FALSE(parse_destination_rule(line, &rule)) << line;
    }
    DestinationRule zero;
    ASSERT_TRUE(parse_destination_rule("0.0.0.0/0:23", &zero));
    EXPECT_TRUE(rules_permit({zero}, at("203.0.113.5", 23), resolver));
    EXPECT_FALSE(rules_permit({zero}, at("2001:db8::5", 23), resolver)) << "a network is IPv4";
}

TEST(SessionLimits, DefaultFitsTheDescriptorAndTaskLimits) {
    EXPECT_EQ(default_max_sessions(0, 0), MAX_SESSIONS_CEILING);
    EXPECT_EQ(default_max_sessions(65536, 4200), (4200 - TASKS_RESERVED) / TASKS_PER_SESSION);
    EXPECT_EQ(default_max_sessions(1024, 0), (1024 - FDS_RESERVED) / FDS_PER_SESSION);
    EXPECT_EQ(default_max_sessions(30, 10), 1u);
}

}  // namespace
}  // namespace varolan::service
