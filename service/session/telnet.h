// Telnet handling of host data: command sequences are removed before a block
// reaches the user, and the host's option negotiation is answered.
#pragma once

#include <cstddef>
#include <cstdint>

#include "service/session/session.h"

namespace varolan::service {

inline constexpr unsigned char TELNET_IAC = 255;
inline constexpr unsigned char TELNET_DONT = 254;
inline constexpr unsigned char TELNET_DO = 253;
inline constexpr unsigned char TELNET_WONT = 252;
inline constexpr unsigned char TELNET_WILL = 251;
inline constexpr unsigned char TELNET_SB = 250;
inline constexpr unsigned char TELNET_BRK = 243;
inline constexpr unsigned char TELNET_SE = 240;
inline constexpr unsigned char OPTION_ECHO = 1;
inline constexpr unsigned char OPTION_SUPPRESS_GO_AHEAD = 3;
inline constexpr unsigned char OPTION_TERMINAL_TYPE = 24;
inline constexpr unsigned char TERMINAL_TYPE_IS = 0;

// True when the waiting block (all `count` bytes, NULs included) holds the byte 255.
bool block_has_iac(const SessionRecord& record, std::int32_t count);

// Removes the command sequences from the first received_count bytes of
// receive_buffer in place, answering negotiation on host_socket as it goes.
// Returns the number of data bytes left (terminated with a NUL).
std::int32_t filter_telnet(SessionRecord& record);

// Passes the waiting host block of `count` bytes (not 0) on to the user side:
// adds `count` to byte_count, removes the command sequences when the block
// holds the byte 255 (answering negotiation on host_socket), and writes what is
// left with one write. Returns the length written (0 when nothing was left).
// The block is not drained; the caller does that once it is done with it.
std::int32_t pass_host_block(SessionRecord& record, std::int32_t count);

// Answer to IAC DO / IAC WILL whose option byte is at `option_pos` of receive_buffer.
void answer_do(SessionRecord& record, std::size_t option_pos);
void answer_will(SessionRecord& record, std::size_t option_pos);

}  // namespace varolan::service
