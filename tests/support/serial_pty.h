// A pseudo-terminal pair for serial tests: the slave stands for a serial port
// (opened through the serial layer by its path), the master is the far end of
// the line, where the test types and reads.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/core/fd.h"

namespace varolan::test {

class PtyPair {
  public:
    // Opens the master and unlocks the slave; ok() tells whether it worked.
    PtyPair() {
        int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        master_.reset(fd);
        char name[128] = {};
        if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
            master_.reset();
            return;
        }
        slave_path_ = name;
        // The master side passes bytes through untouched.
        termios t{};
        if (::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }

    bool ok() const { return master_.valid(); }
    int master() const { return master_.get(); }
    // "/dev/pts/N"
    const std::string& slave_path() const { return slave_path_; }
    // "pts/N": the name a port key holds.
    std::string slave_name() const {
        return slave_path_.rfind("/dev/", 0) == 0 ? slave_path_.substr(5) : slave_path_;
    }
    void close_master() { master_.reset(); }

    bool type(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads from the master until `text` has appeared in everything read so far
    // (kept in seen()), or until the timeout. Returns whether it appeared.
    bool read_until(const std::string& text, int timeout_ms = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (seen_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) {
                return false;
            }
            pollfd p{master_.get(), POLLIN, 0};
            int rc = ::poll(&p, 1, static_cast<int>(left));
            if (rc <= 0) {
                continue;
            }
            char buf[512];
            ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n <= 0) {
                // No slave open at the moment (EIO): wait for it to come back.
                ::poll(nullptr, 0, 10);
                continue;
            }
            seen_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Everything read from the master so far; clear_seen() forgets it.
    const std::string& seen() const { return seen_; }
    void clear_seen() { seen_.clear(); }

  private:
    UniqueFd master_;
    std::string slave_path_;
    std::string seen_;
};

}  // namespace varolan::test
