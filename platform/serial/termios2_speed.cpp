#include "platform/serial/termios2_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

// <sys/ioctl.h> would bring in the C library's termios types, which clash with
// the kernel's; the prototype is all that is needed.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace varolan::serial::detail {

namespace {

bool get2(int fd, termios2* t) {
    int rc;
    do {
        rc = ioctl(fd, TCGETS2, t);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

}  // namespace

bool set_custom_speed(int fd, std::uint32_t rate) {
    termios2 t{};
    if (!get2(fd, &t)) {
        return false;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = rate;
    t.c_ispeed = rate;
    int rc;
    do {
        rc = ioctl(fd, TCSETS2, &t);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool get_speed(int fd, std::uint32_t* rate) {
    termios2 t{};
    if (!get2(fd, &t)) {
        return false;
    }
    *rate = t.c_ospeed;
    return true;
}

}  // namespace varolan::serial::detail
