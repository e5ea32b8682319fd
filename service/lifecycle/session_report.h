// `tarnix sessions`: the service's session listing (see
// service/session/session_table.h for its lines) read and shown as a table
// for people or as JSON for scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace varolan::service {

struct SessionRow {
    std::string kind;      // "pipe" or "serial"
    std::string place;     // account or port, as listed (bytes outside '!'..'~' as \xNN)
    std::string state;     // "waiting", "prompt", "connected" or "held"
    std::string protocol;  // "telnet" or "ssh"; "-" without a host connection
    std::string host;      // as listed; "-" without a host connection
    std::uint32_t port = 0;
    std::uint64_t bytes_to_host = 0;
    std::uint64_t bytes_to_user = 0;
    std::int64_t since = 0;       // seconds since 1970
    std::int64_t host_since = 0;  // 0 without a host connection
};

// Reads the listing's lines. False (and `error` says which line and why) when
// a line is not one the service writes.
bool parse_session_listing(const std::string& text, std::vector<SessionRow>* rows,
                           std::string* error);

// One header line and one line per session, columns aligned; times in this
// machine's local time. "no sessions" when there are none.
std::string sessions_as_text(const std::vector<SessionRow>& rows);

// {"sessions":[{"kind":..,"place":..,"state":..,"destination":{"protocol":..,
// "host":..,"port":..,"since":..}|null,"bytes_to_host":..,"bytes_to_user":..,
// "since":..}, ...]} on one line, times in UTC (ISO 8601), names with their
// \xNN bytes turned back into characters (U+0000 to U+00FF).
std::string sessions_as_json(const std::vector<SessionRow>& rows);

}  // namespace varolan::service
