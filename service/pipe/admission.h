// Counting of pipe sessions against the limits of the service: the sessions of
// all accounts together, and those of each account.
#pragma once

#include <cstdint>

namespace varolan::service {

enum class Admission { admitted, over_total, over_user };

// Counts one more session of account `uid` unless that would pass
// session_limits(); the caller releases an admitted session when it ends.
Admission admit_pipe_session(std::uint32_t uid);
void release_pipe_session(std::uint32_t uid);

// Sessions counted now, in all and of one account.
std::uint32_t pipe_sessions_admitted();
std::uint32_t pipe_sessions_admitted(std::uint32_t uid);

// An admitted session, released when the object goes.
class AdmittedSession {
  public:
    AdmittedSession() = default;
    explicit AdmittedSession(std::uint32_t uid) : uid_(uid), held_(true) {}
    ~AdmittedSession() {
        if (held_) {
            release_pipe_session(uid_);
        }
    }
    AdmittedSession(const AdmittedSession&) = delete;
    AdmittedSession& operator=(const AdmittedSession&) = delete;

  private:
    std::uint32_t uid_ = 0;
    bool held_ = false;
};

}  // namespace varolan::service
