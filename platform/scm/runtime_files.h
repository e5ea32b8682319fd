// The files the dispatcher keeps in the runtime directory.
#pragma once

#include <string>

#include "platform/core/fd.h"
#include "platform/scm/scm.h"

namespace varolan::scm::detail {

// The runtime directory and the pipe's directory in it exist (made when
// missing) and nobody but this service's account can change them. What is
// wrong is logged as one line.
DWORD prepare_runtime_dir(const std::string& dir);

// Takes the instance lock of the service (and records this process id in it).
DWORD take_instance_lock(const std::string& path, UniqueFd& lock);

// Binds the control endpoint with mode 0600, replacing a socket file left by a
// process that was killed; the path appears once the endpoint listens.
DWORD bind_endpoint(const std::string& path, UniqueFd& listener);

}  // namespace varolan::scm::detail
