// A resolver with a fixed table of names, recording every lookup in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/net/net.h"

namespace varolan::test {

class FakeResolver final : public Resolver {
  public:
    FakeResolver() { previous_ = set_process_resolver(this); }
    ~FakeResolver() override { set_process_resolver(previous_); }

    bool reverse(std::uint32_t ip) override {
        char text[DOTTED_ADDRESS_SIZE];
        format_dotted(ip, text);
        calls.push_back(std::string("reverse ") + text);
        return reverse_known.count(text) != 0;
    }
    bool forward(const char* name, std::uint32_t* ip) override {
        HostAddressList all;
        if (!forward_all(name, &all) || all.addresses[0].family != ADDRESS_FAMILY_INET) {
            return false;
        }
        *ip = all.addresses[0].ip;
        return true;
    }
    // A name's entry lists its addresses separated by blanks, in the order
    // given. Like the system resolver, an address is its own forward answer.
    bool forward_all(const char* name, HostAddressList* out) override {
        calls.push_back(std::string("forward ") + name);
        out->count = 0;
        auto it = names.find(name);
        std::istringstream words(it != names.end() ? it->second : std::string(name));
        std::string word;
        while (words >> word) {
            HostAddress a;
            if (parse_dotted(word.c_str(), &a.ip)) {
                a.family = ADDRESS_FAMILY_INET;
                out->add(a);
            } else if (parse_ipv6(word.c_str(), &a)) {
                out->add(a);
            }
        }
        return out->count > 0;
    }

    std::map<std::string, std::string> names;  // name -> addresses ("127.0.0.1 ::1")
    std::set<std::string> reverse_known;       // dotted addresses with a name
    std::vector<std::string> calls;

  private:
    Resolver* previous_ = nullptr;
};

}  // namespace varolan::test
