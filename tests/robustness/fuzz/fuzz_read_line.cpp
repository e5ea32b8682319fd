// Any byte stream from the user: the line reader stores at most the limit,
// terminates the line, returns its length or -1, and echoes nothing it did not
// receive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "service/session/session.h"

using namespace varolan::service;

namespace {

class BytesSide final : public UserSide {
  public:
    BytesSide(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
        *got = 0;
        if (pos_ >= size_ || size == 0) {
            return false;
        }
        // A byte 0xFE stands for a zero-length message.
        if (data_[pos_] == 0xFE) {
            ++pos_;
            return true;
        }
        *static_cast<std::uint8_t*>(buffer) = data_[pos_++];
        *got = 1;
        return true;
    }
    bool write(const void*, std::uint32_t size) override {
        written_ += size;
        return true;
    }
    void close() override {}
    std::size_t written() const { return written_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::size_t written_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int limit = data[0] % (LINE_LIMIT + 1);
    BytesSide side(data + 1, size - 1);
    char* line = static_cast<char*>(std::malloc(static_cast<std::size_t>(limit) + 1));
    int n = read_line(&side, limit, "", line);
    if (n < -1 || n > limit || (n >= 0 && std::strlen(line) > static_cast<std::size_t>(n)) ||
        (n == -1 && line[0] != '\0') || side.written() > 3 * (size - 1) + 2) {
        std::abort();
    }
    std::free(line);
    return 0;
}
