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
    // Writes what the side takes without waiting for good (the relay's writes):
    // all of `size`, a part, or nothing while it takes nothing; `*done` is what
    // it took. A side that writes whole messages takes all or nothing. False
    // when the side has failed (it is gone). Sides that cannot do better write
    // everything, as write() does.
    virtual bool write_available(const void* data, std::uint32_t size, std::uint32_t* done) {
        *done = 0;
        if (!write(data, size)) {
            return false;
        }
        *done = size;
        return true;
    }
    // Closes the user side; further reads and writes fail.
    virtual void close() = 0;
    // Descriptor a relay can poll for input, -1 when the side cannot be polled.
    virtual int poll_fd() const { return -1; }
};

}  // namespace varolan::service
