// Pieces shared by the service side and the controller side of the service
// control layer: file names in the runtime directory and the endpoint protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/scm/scm.h"

namespace varolan::scm::detail {

// Environment variable naming the descriptor on which a started service reports
// whether its dispatcher answers (one DWORD status, then the descriptor closes).
inline constexpr const char* READY_FD_ENV = "VAROLAN_SCM_READY_FD";

inline constexpr std::uint32_t PROTOCOL_MAGIC = 0x4D435356;  // "VSCM"
inline constexpr std::uint32_t OP_QUERY = 1;
inline constexpr std::uint32_t OP_CONTROL = 2;
// The status, then (when the reply's result is ERROR_SUCCESS) a ListingSize
// message and the listing's bytes in messages of at most LISTING_CHUNK.
inline constexpr std::uint32_t OP_LISTING = 3;

// Bound of one exchange with an endpoint (the handler may be running a control).
inline constexpr std::uint32_t EXCHANGE_TIMEOUT_MS = 10000;
// Bound the dispatcher gives a connected client to send its request.
inline constexpr std::uint32_t REQUEST_TIMEOUT_MS = 1000;

struct Request {
    std::uint32_t magic = PROTOCOL_MAGIC;
    std::uint32_t op = 0;
    std::uint32_t control = 0;
};

struct Reply {
    std::uint32_t magic = PROTOCOL_MAGIC;
    std::uint32_t result = 0;
    SERVICE_STATUS status;
};

struct ListingSize {
    std::uint32_t magic = PROTOCOL_MAGIC;
    std::uint32_t length = 0;
};
inline constexpr std::size_t LISTING_CHUNK = 16384;
// Longest listing a controller takes.
inline constexpr std::uint32_t LISTING_MAX = 64u << 20;
// Bound the dispatcher gives a controller to take the whole listing: one that
// does not read cannot hold the endpoint (and the controls) longer.
inline constexpr std::uint32_t LISTING_SEND_TIMEOUT_MS = 2000;

// Service side: the listing of the source set with set_listing_source (empty
// without one), sent on `fd` (non-blocking) within LISTING_SEND_TIMEOUT_MS.
void send_listing(int fd);
// Controller side: reads the listing that follows a successful reply on `fd`
// within `timeout_ms`. False when it does not come whole.
bool receive_listing(int fd, std::uint32_t timeout_ms, std::string* listing);

// A service name usable as a file name: 1..80 characters of letters, digits,
// '-', '_' and '.', not starting with '.'.
bool valid_service_name(std::string_view name);
// Case-insensitive comparison of service names.
bool same_service_name(std::string_view a, std::string_view b);
// <runtime dir>/<lower-case name>.ctl and .lock
std::string endpoint_path(std::string_view name);
std::string lock_path(std::string_view name);
// The status of a service without endpoint.
SERVICE_STATUS stopped_status();

}  // namespace varolan::scm::detail
