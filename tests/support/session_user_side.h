// A session's user side for tests: one end of a socket pair stands for the
// pipe instance or serial port, the other end is the user's terminal.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/core/fd.h"
#include "service/session/user_side.h"

namespace varolan::test {

class FdUserSide final : public service::UserSide {
  public:
    explicit FdUserSide(UniqueFd fd) : fd_(std::move(fd)) {}
    bool read(void* buffer, std::uint32_t size, std::uint32_t* got) override;
    bool write(const void* data, std::uint32_t size) override;
    bool write_available(const void* data, std::uint32_t size, std::uint32_t* done) override;
    void close() override { fd_.reset(); }
    int poll_fd() const override { return fd_.get(); }

  private:
    UniqueFd fd_;
};

// The two ends of a user line. `seqpacket` keeps message boundaries (a pipe);
// otherwise a byte stream (a serial line).
struct UserLine {
    std::unique_ptr<FdUserSide> side;  // handed to the session
    UniqueFd terminal;                 // the user's end
};
UserLine make_user_line(bool seqpacket = false);

// User-end helpers.
bool terminal_write(int fd, const std::string& bytes);
// The user stops sending (the session's next read sees end of file) but can
// still read what the session writes.
bool terminal_stop_sending(int fd);
// Everything readable within `quiet` of silence (returns early at end of file).
std::string terminal_read_available(
    int fd, std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
// Reads until `needle` has arrived, the peer closed, or `timeout` passed.
std::string terminal_read_until(int fd, const std::string& needle,
                                std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Reads everything until the session closes its end (bounded by `timeout`).
std::string terminal_read_to_end(int fd,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace varolan::test
