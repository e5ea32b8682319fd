// A resolver with a fixed table of names, recording every lookup in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
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
    // Like the system resolver, a dotted address is its own forward answer.
    bool forward(const char* name, std::uint32_t* ip) override {
        calls.push_back(std::string("forward ") + name);
        auto it = names.find(name);
        if (it != names.end()) {
            return parse_dotted(it->second.c_str(), ip);
        }
        return parse_dotted(name, ip);
    }

    std::map<std::string, std::string> names;  // name -> dotted address
    std::set<std::string> reverse_known;       // dotted addresses with a name
    std::vector<std::string> calls;

  private:
    Resolver* previous_ = nullptr;
};

}  // namespace varolan::test
