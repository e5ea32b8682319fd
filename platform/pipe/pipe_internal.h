// Internal to the pipe layer: the listening socket shared by the instances
// of one pipe name, the lock that guards the listeners, and the error
// mapping both halves use.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "platform/core/fd.h"
#include "platform/core/winerror.h"

namespace varolan::pipe {

// The listening socket shared by every instance of one pipe name.
class Listener {
  public:
    Listener(std::string path, UniqueFd fd, DWORD max_instances)
        : path_(std::move(path)), fd_(std::move(fd)), max_instances_(max_instances) {}
    // Removes the path unless the listener was shut down or retained.
    ~Listener();
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }
    DWORD max_instances() const { return max_instances_; }
    // Guarded by listener_registry_mutex.
    DWORD instances = 0;
    bool shut_ = false;
    bool retained = false;

  private:
    std::string path_;
    UniqueFd fd_;
    DWORD max_instances_;
};

// Guards every listener's counters and the registry of listeners.
extern std::mutex listener_registry_mutex;

// Pipe meanings first (a refused connection is a missing pipe, a reset one a
// broken pipe); the rest as every layer maps them.
DWORD pipe_errno_status(int err);

// Every message read on the socket then carries credentials, which tells a
// zero-length message from end of file.
bool set_passcred(int fd);

}  // namespace varolan::pipe
