#include "platform/core/limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace varolan {

std::uint64_t raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

std::uint64_t open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

namespace {

// pids.max of this process's control group (cgroup v2), 0 for "max" or unknown.
std::uint64_t cgroup_pids_max() {
    std::ifstream membership("/proc/self/cgroup");
    std::string line;
    std::string path;
    while (std::getline(membership, line)) {
        if (line.rfind("0::", 0) == 0) {
            path = line.substr(3);
        }
    }
    if (path.empty() || path.find("..") != std::string::npos) {
        return 0;
    }
    std::ifstream max("/sys/fs/cgroup" + path + "/pids.max");
    std::string value;
    if (!(max >> value) || value == "max" || value.empty() ||
        value.find_first_not_of("0123456789") != std::string::npos || value.size() > 18) {
        return 0;
    }
    return std::stoull(value);
}

}  // namespace

std::uint64_t task_limit() {
    std::uint64_t most = cgroup_pids_max();
    rlimit limit{};
    if (::geteuid() != 0 && getrlimit(RLIMIT_NPROC, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY) {
        const auto nproc = static_cast<std::uint64_t>(limit.rlim_cur);
        most = most == 0 || nproc < most ? nproc : most;
    }
    return most;
}

}  // namespace varolan
