#include "platform/core/account.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace varolan {

void account_name(std::uint32_t uid, char* out) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_name != nullptr) {
        std::snprintf(out, ACCOUNT_NAME_SIZE, "%s", found->pw_name);
        return;
    }
    std::snprintf(out, ACCOUNT_NAME_SIZE, "uid %u", static_cast<unsigned>(uid));
}

}  // namespace varolan
