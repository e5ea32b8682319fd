// The service's listing over its endpoint: its size, then its bytes in
// messages of bounded size, each side bounded in time.
#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"

namespace varolan::scm {

namespace {

std::atomic<ListingSource> listing_source{nullptr};

// Milliseconds left until `deadline` (0 when it has passed).
std::uint32_t left_until(std::uint64_t deadline) {
    const std::uint64_t now = monotonic_ms();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now);
}

// Sends one message whole, waiting for room until `deadline`.
bool send_message(int fd, const void* data, std::size_t size, std::uint64_t deadline) {
    for (;;) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(size)) {
            return true;
        }
        if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        PollFd p{fd, poll_out, 0};
        const std::uint32_t left = left_until(deadline);
        if (left == 0 || poll_fds(&p, 1, left) <= 0) {
            return false;
        }
    }
}

// Receives one message of at most `size` bytes within `deadline`; its length,
// or -1.
ssize_t receive_message(int fd, void* data, std::size_t size, std::uint64_t deadline) {
    for (;;) {
        const ssize_t got = ::recv(fd, data, size, MSG_DONTWAIT);
        if (got > 0) {
            return got;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return -1;
        }
        PollFd p{fd, poll_in, 0};
        const std::uint32_t left = left_until(deadline);
        if (left == 0 || poll_fds(&p, 1, left) <= 0) {
            return -1;
        }
    }
}

}  // namespace

void set_listing_source(ListingSource source) {
    listing_source.store(source);
}

namespace detail {

void send_listing(int fd) {
    const ListingSource source = listing_source.load();
    const std::string text = source != nullptr ? source() : std::string();
    const std::uint64_t deadline = monotonic_ms() + LISTING_SEND_TIMEOUT_MS;
    ListingSize size;
    size.length = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), LISTING_MAX));
    if (!send_message(fd, &size, sizeof size, deadline)) {
        return;
    }
    for (std::size_t offset = 0; offset < size.length; offset += LISTING_CHUNK) {
        const std::size_t n = std::min<std::size_t>(LISTING_CHUNK, size.length - offset);
        if (!send_message(fd, text.data() + offset, n, deadline)) {
            return;
        }
    }
}

bool receive_listing(int fd, std::uint32_t timeout_ms, std::string* listing) {
    const std::uint64_t deadline = monotonic_ms() + timeout_ms;
    ListingSize size;
    if (receive_message(fd, &size, sizeof size, deadline) != static_cast<ssize_t>(sizeof size) ||
        size.magic != PROTOCOL_MAGIC || size.length > LISTING_MAX) {
        return false;
    }
    listing->assign(size.length, '\0');
    std::size_t got = 0;
    while (got < size.length) {
        const std::size_t want = std::min<std::size_t>(LISTING_CHUNK, size.length - got);
        const ssize_t n = receive_message(fd, listing->data() + got, want, deadline);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace detail

}  // namespace varolan::scm
