#include "platform/core/fd.h"

#include <unistd.h>

namespace varolan {

void close_fd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

void UniqueFd::reset(int fd) {
    int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) {
        close_fd(old);
    }
}

}  // namespace varolan
