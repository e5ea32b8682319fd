// Whether a file or directory can be trusted by this process: nobody but this
// account, root, or an account the caller names could have changed it.
#pragma once

#include <cstdint>
#include <string>

namespace varolan {

// The user and group id of an account; false when no such account exists.
bool account_ids(const std::string& name, std::uint32_t* uid, std::uint32_t* gid);

// True when this process runs as root (effective user id 0).
bool running_as_root();

// What a trust check found wrong, empty when nothing.
struct TrustProblem {
    bool found = false;
    std::string text;  // one line naming the path and the reason
};

// Checks `path` (followed through symbolic links; `what` names it in the text,
// e.g. "store file"): it must be owned by the effective account, by root, or
// by `also_trusted` (when non-negative), and neither its group nor others may
// write it. A path that does not exist passes (`exists` tells which).
TrustProblem check_trusted(const std::string& path, const char* what, std::int64_t also_trusted,
                           bool* exists = nullptr);

}  // namespace varolan
