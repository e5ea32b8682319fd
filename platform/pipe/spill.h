// Where the rest of a message waits when a read took less than the whole
// message off the socket. Address space for the longest message a sender can
// write is set aside once per connection, without memory behind it; pages are
// used only while a rest waits and are given back to the system as soon as the
// rest has been read, so one long message does not hold memory for the life
// of the connection.
#pragma once

#include <cstddef>

namespace varolan::pipe {

class SpillStore {
  public:
    SpillStore() = default;
    ~SpillStore() { release(); }
    SpillStore(SpillStore&& other) noexcept;
    SpillStore& operator=(SpillStore&& other) noexcept;
    SpillStore(const SpillStore&) = delete;
    SpillStore& operator=(const SpillStore&) = delete;

    // Sets the address space aside (once). False when the system refused.
    bool reserve();
    bool reserved() const { return base_ != nullptr; }
    // Where a receive may put a rest, and how much it may put there.
    char* space() const { return base_; }
    std::size_t capacity() const { return capacity_; }

    // A receive put `n` bytes of rest into space().
    void hold(std::size_t n);
    // Bytes of rest still waiting.
    std::size_t left() const { return length_ - taken_; }
    // Copies up to `size` waiting bytes to `out`; returns how many. Once the
    // whole rest has been taken its pages are given back.
    std::size_t take(void* out, std::size_t size);

    // Bytes of the store that hold memory now (pages resident).
    std::size_t resident() const;
    // Gives the address space back.
    void release();

  private:
    char* base_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    std::size_t taken_ = 0;
};

}  // namespace varolan::pipe
