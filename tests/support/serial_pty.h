// A pseudo-terminal pair for serial tests: the slave stands for a serial port
// (opened through the serial layer by its path), the master is the far end of
// the line, where the test types and reads.
//
// A service under test names the port by port_path(), a link of the test's
// own to the slave, never by the slave's /dev/pts name: pty numbers are
// reused by every process of the machine, and a service that retries an
// absent port once a second would otherwise take the pty of another test
// that got the same number. The link goes before the master closes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "platform/core/fd.h"
#include "tests/support/process.h"

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
        port_path_ = link_dir_.str("tty");
        if (::symlink(name, port_path_.c_str()) != 0) {
            master_.reset();
            return;
        }
        // The master side passes bytes through untouched.
        termios t{};
        if (::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }

    ~PtyPair() { close_master(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_.valid(); }
    int master() const { return master_.get(); }
    // "/dev/pts/N"
    const std::string& slave_path() const { return slave_path_; }
    // "pts/N": the name a port key holds.
    std::string slave_name() const {
        return slave_path_.rfind("/dev/", 0) == 0 ? slave_path_.substr(5) : slave_path_;
    }
    // A link of this pair alone to the slave: the port name to give a service.
    const std::string& port_path() const { return port_path_; }
    // The line goes away: the link first, so that nobody finds the slave by
    // it any more, then the master (and with it the slave's name).
    void close_master() {
        if (!port_path_.empty()) {
            ::unlink(port_path_.c_str());
        }
        master_.reset();
    }

    // Writes `bytes` to the line, waiting for room at most 20 s in all.
    bool type(const std::string& bytes) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::size_t done = 0;
        while (done < bytes.size()) {
            pollfd p{master_.get(), POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                return false;
            }
            // What fits now, never waiting inside the write.
            const int flags = ::fcntl(master_.get(), F_GETFL);
            ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);
            ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
            const int err = errno;
            ::fcntl(master_.get(), F_SETFL, flags);
            if (n < 0 && err != EAGAIN && err != EINTR) {
                return false;
            }
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
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
    TempDir link_dir_;
    UniqueFd master_;
    std::string slave_path_;
    std::string port_path_;
    std::string seen_;
};

}  // namespace varolan::test
