// Move-only owner of a file descriptor.
#pragma once

#include <utility>

namespace varolan {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Closes fd, retrying nothing (close must not be retried on Linux).
void close_fd(int fd);

}  // namespace varolan
