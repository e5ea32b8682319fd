// The user's side of a session: a connected pipe instance or an open serial
// port. The session owns it; the command interpreter reads command lines from
// it and writes prompts, echo and messages to it.
#pragma once

#include <cstdint>

namespace varolan::service {

class UserSide {
  public:
    virtual ~UserSide() = default;
    // Reads up to `size` bytes, blocking while the command interpreter runs.
    // `*got` is the number of bytes delivered (0 for a zero-length message).
    // False when the read failed (the user side is gone).
    virtual bool read(void* buffer, std::uint32_t size, std::uint32_t* got) = 0;
    // Writes `size` bytes as one message. False when the write failed.
    virtual bool write(const void* data, std::uint32_t size) = 0;
    // Closes the user side; further reads and writes fail.
    virtual void close() = 0;
    // Descriptor a relay can poll for input, -1 when the side cannot be polled.
    virtual int poll_fd() const { return -1; }
};

}  // namespace varolan::service
