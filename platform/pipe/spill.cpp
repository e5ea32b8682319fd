#include "platform/pipe/spill.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace varolan::pipe {

namespace {

constexpr std::size_t MIN_SPILL = 212992;  // the usual maximum send buffer
constexpr std::size_t MAX_SPILL = 16 * 1024 * 1024;

// Largest message a sender without privileges can write: bounded by the
// largest send buffer it may set.
std::size_t spill_capacity() {
    static const std::size_t cap = [] {
        std::size_t value = MIN_SPILL;
        if (FILE* f = std::fopen("/proc/sys/net/core/wmem_max", "r")) {
            unsigned long v = 0;
            if (std::fscanf(f, "%lu", &v) == 1) {
                // The kernel doubles a requested send buffer.
                std::size_t doubled = static_cast<std::size_t>(v) * 2;
                if (doubled > value) {
                    value = doubled < MAX_SPILL ? doubled : MAX_SPILL;
                }
            }
            std::fclose(f);
        }
        return value;
    }();
    return cap;
}

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

SpillStore::SpillStore(SpillStore&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      length_(std::exchange(other.length_, 0)),
      taken_(std::exchange(other.taken_, 0)) {}

SpillStore& SpillStore::operator=(SpillStore&& other) noexcept {
    if (this != &other) {
        release();
        base_ = std::exchange(other.base_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        length_ = std::exchange(other.length_, 0);
        taken_ = std::exchange(other.taken_, 0);
    }
    return *this;
}

bool SpillStore::reserve() {
    if (base_ != nullptr) {
        return true;
    }
    const std::size_t cap = spill_capacity();
    void* p = ::mmap(nullptr, cap, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        return false;
    }
    base_ = static_cast<char*>(p);
    capacity_ = cap;
    return true;
}

void SpillStore::hold(std::size_t n) {
    length_ = n < capacity_ ? n : capacity_;
    taken_ = 0;
}

std::size_t SpillStore::take(void* out, std::size_t size) {
    const std::size_t n = left() < size ? left() : size;
    if (n > 0) {
        std::memcpy(out, base_ + taken_, n);
        taken_ += n;
    }
    if (taken_ == length_ && length_ > 0) {
        // Every page the rest touched goes back; the address space stays.
        const std::size_t used = (length_ + page_size() - 1) / page_size() * page_size();
        ::madvise(base_, used < capacity_ ? used : capacity_, MADV_DONTNEED);
        length_ = taken_ = 0;
    }
    return n;
}

std::size_t SpillStore::resident() const {
    if (base_ == nullptr) {
        return 0;
    }
    const std::size_t pages = (capacity_ + page_size() - 1) / page_size();
    std::vector<unsigned char> in_core(pages);
    if (::mincore(base_, capacity_, in_core.data()) != 0) {
        return 0;
    }
    std::size_t count = 0;
    for (unsigned char c : in_core) {
        count += c & 1;
    }
    return count * page_size();
}

void SpillStore::release() {
    if (base_ != nullptr) {
        ::munmap(base_, capacity_);
    }
    base_ = nullptr;
    capacity_ = length_ = taken_ = 0;
}

}  // namespace varolan::pipe
