#include "platform/core/file_trust.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace varolan {

namespace {

// "alice (uid 1000)", or "uid 1000" for an id without an account.
std::string describe_uid(std::uint32_t uid) {
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    std::string text = "uid " + std::to_string(uid);
    if (::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) == 0 &&
        found != nullptr) {
        text = std::string(found->pw_name) + " (" + text + ")";
    }
    return text;
}

}  // namespace

bool account_ids(const std::string& name, std::uint32_t* uid, std::uint32_t* gid) {
    if (name.empty()) {
        return false;
    }
    std::vector<char> buf(4096);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    *uid = static_cast<std::uint32_t>(found->pw_uid);
    *gid = static_cast<std::uint32_t>(found->pw_gid);
    return true;
}

bool running_as_root() {
    return ::geteuid() == 0;
}

TrustProblem check_trusted(const std::string& path, const char* what, std::int64_t also_trusted,
                           bool* exists) {
    TrustProblem problem;
    struct stat st {};
    if (exists != nullptr) {
        *exists = false;
    }
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            problem.found = true;
            problem.text = std::string(what) + " '" + path + "' cannot be examined (" +
                           std::strerror(errno) + ")";
        }
        return problem;
    }
    if (exists != nullptr) {
        *exists = true;
    }
    const std::uint32_t owner = static_cast<std::uint32_t>(st.st_uid);
    const bool owner_ok = owner == static_cast<std::uint32_t>(::geteuid()) || owner == 0 ||
                          (also_trusted >= 0 && owner == static_cast<std::uint64_t>(also_trusted));
    if (!owner_ok) {
        problem.found = true;
        problem.text = std::string(what) + " '" + path + "' is owned by another account, " +
                       describe_uid(owner);
        return problem;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        problem.found = true;
        problem.text = std::string(what) + " '" + path +
                       "' can be written by other accounts (mode " + mode + ")";
    }
    return problem;
}

}  // namespace varolan
