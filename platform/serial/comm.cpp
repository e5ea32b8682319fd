// Opening serial ports: the real opener on Linux ttys, the replaceable
// process-wide opener, and the names and rates shared with callers.
#include "platform/serial/comm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/core/errno_status.h"
#include "platform/core/fd.h"
#include "platform/serial/real_port.h"
#include "platform/serial/tty.h"

namespace varolan::serial {

namespace {

using detail::ioctl_retry;
using detail::make_raw;
using detail::RealCommPort;

class RealCommOpener final : public CommOpener {
  public:
    DWORD open(const char* com_name_or_path, std::unique_ptr<CommPort>& out) override {
        out.reset();
        std::string path;
        if (DWORD named = comm_open_path(com_name_or_path, &path); named != ERROR_SUCCESS) {
            return named;
        }
        int raw;
        do {
            raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (raw < 0 && errno == EINTR);
        if (raw < 0) {
            return comm_open_error(errno);
        }
        UniqueFd fd(raw);
        if (!::isatty(fd.get())) {
            return ERROR_NOT_SUPPORTED;
        }
        // Exclusive: an advisory lock every opener here takes, and the tty's own
        // exclusive mode against other programs.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK ? comm_open_error(EBUSY) : ERROR_GEN_FAILURE;
        }
        ioctl_retry(fd.get(), TIOCEXCL, nullptr);
        int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
            return ERROR_GEN_FAILURE;
        }
        termios t{};
        if (::tcgetattr(fd.get(), &t) != 0) {
            return ERROR_GEN_FAILURE;
        }
        make_raw(t);
        ::tcsetattr(fd.get(), TCSANOW, &t);
        int bits = 0;
        const bool has_modem = ioctl_retry(fd.get(), TIOCMGET, &bits) == 0;
        out = std::make_unique<RealCommPort>(std::move(fd), has_modem);
        return ERROR_SUCCESS;
    }
};

RealCommOpener real_opener;
std::atomic<CommOpener*> current_opener{nullptr};

}  // namespace

DWORD baud_bit(DWORD rate) {
    for (const auto& r : detail::design_rates()) {
        if (r.rate == rate) {
            return r.bit;
        }
    }
    return 0;
}

CommOpener& comm_opener() {
    CommOpener* o = current_opener.load(std::memory_order_acquire);
    return o != nullptr ? *o : real_opener;
}

CommOpener* set_comm_opener(CommOpener* opener) {
    CommOpener* old = current_opener.exchange(opener, std::memory_order_acq_rel);
    return old != nullptr ? old : &real_opener;
}

std::string comm_device_path(const char* com_name) {
    if (com_name == nullptr) {
        return {};
    }
    std::string name(com_name);
    if (name.rfind("\\\\.\\", 0) == 0) {
        name.erase(0, 4);
    }
    if (!name.empty() && name.back() == ':') {
        name.pop_back();
    }
    if (name.empty()) {
        return {};
    }
    if (name.front() == '/') {
        return name;
    }
    return "/dev/" + name;
}

DWORD comm_open_path(const char* com_name, std::string* path) {
    *path = comm_device_path(com_name);
    return path->empty() ? ERROR_INVALID_NAME : ERROR_SUCCESS;
}

DWORD comm_open_error(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EBUSY:
            return ERROR_ACCESS_DENIED;
        default:
            return status_from_errno(err);
    }
}

DWORD comm_line_error(int err) {
    switch (err) {
        case EIO:
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EAGAIN:
            return ERROR_TIMEOUT;
        case ENOTTY:
            return ERROR_INVALID_PARAMETER;
        default:
            return status_from_errno(err);
    }
}

}  // namespace varolan::serial
