#include "platform/core/private_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/errno_status.h"

namespace varolan {

namespace {

std::string trouble(const std::string& path, const std::string& what) {
    return path + ": " + what;
}

bool make_parents(const std::string& path) {
    for (std::size_t pos = 1; pos < path.size(); ++pos) {
        if (path[pos] != '/') {
            continue;
        }
        const std::string part = path.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string prepare_private_dir(const std::string& path, unsigned mode) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return trouble(path, system_error_text(errno));
        }
        if (!make_parents(path) || (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)) {
            return trouble(path, std::string("cannot be made: ") + system_error_text(errno));
        }
        // A directory just made is this process's; its mode is exactly `mode`.
        ::chmod(path.c_str(), mode);
        if (::lstat(path.c_str(), &st) != 0) {
            return trouble(path, system_error_text(errno));
        }
    }
    if (S_ISLNK(st.st_mode)) {
        return trouble(path, "is a symbolic link, not a directory");
    }
    if (!S_ISDIR(st.st_mode)) {
        return trouble(path, "is not a directory");
    }
    if (st.st_uid != ::geteuid()) {
        return trouble(path, "is owned by uid " + std::to_string(st.st_uid) +
                                 ", not by this service's account (uid " +
                                 std::to_string(::geteuid()) + ")");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return trouble(path, "can be written by other accounts (mode " +
                                 std::to_string((st.st_mode >> 6) & 7) +
                                 std::to_string((st.st_mode >> 3) & 7) +
                                 std::to_string(st.st_mode & 7) + ")");
    }
    return {};
}

}  // namespace varolan
