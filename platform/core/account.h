// Accounts of this machine by user id.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varolan {

// Longest account name kept (with its terminator); longer names are cut.
inline constexpr std::size_t ACCOUNT_NAME_SIZE = 64;

// The name of the account `uid` into `out` (ACCOUNT_NAME_SIZE bytes), or
// "uid N" when the account database has no entry for it. Thread-safe.
void account_name(std::uint32_t uid, char* out);

}  // namespace varolan
