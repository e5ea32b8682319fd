#include "service/pipe/admission.h"

#include <mutex>
#include <unordered_map>

#include "service/session/policy.h"

namespace varolan::service {

namespace {

std::mutex admission_mutex;
std::uint32_t total = 0;                                  // guarded by admission_mutex
std::unordered_map<std::uint32_t, std::uint32_t> by_uid;  // guarded by admission_mutex

}  // namespace

Admission admit_pipe_session(std::uint32_t uid) {
    const SessionLimits limits = session_limits();
    std::lock_guard<std::mutex> lock(admission_mutex);
    if (total >= limits.total) {
        return Admission::over_total;
    }
    std::uint32_t& mine = by_uid[uid];
    if (mine >= limits.per_user) {
        if (mine == 0) {
            by_uid.erase(uid);
        }
        return Admission::over_user;
    }
    ++mine;
    ++total;
    return Admission::admitted;
}

void release_pipe_session(std::uint32_t uid) {
    std::lock_guard<std::mutex> lock(admission_mutex);
    auto it = by_uid.find(uid);
    if (it == by_uid.end()) {
        return;
    }
    if (--it->second == 0) {
        by_uid.erase(it);
    }
    --total;
}

std::uint32_t pipe_sessions_admitted() {
    std::lock_guard<std::mutex> lock(admission_mutex);
    return total;
}

std::uint32_t pipe_sessions_admitted(std::uint32_t uid) {
    std::lock_guard<std::mutex> lock(admission_mutex);
    auto it = by_uid.find(uid);
    return it == by_uid.end() ? 0 : it->second;
}

}  // namespace varolan::service
