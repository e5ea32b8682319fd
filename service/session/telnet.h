// The telnet protocol towards the host, as a core that owns no descriptor: host
// bytes go in; the user's bytes, the answers to the host's negotiation and the
// state carried to the next block come out. The sessions reach it through
// filter_telnet(SessionRecord&) (service/session/relay.h).
#pragma once

#include <cstddef>
#include <cstdint>

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

// Lengths of the host's commands: a subnegotiation is taken as six bytes (IAC
// SB option and three more), a negotiation (WILL, WONT, DO, DONT) as three,
// IAC IAC (one data byte 255) and every other command as two.
inline constexpr std::size_t TELNET_SUBNEGOTIATION_LENGTH = 6;
inline constexpr std::size_t TELNET_NEGOTIATION_LENGTH = 3;
// Characters of the terminal type the TERMINAL-TYPE answer carries at most.
inline constexpr std::size_t TELNET_TERMINAL_TYPE_MAX = 15;

// What one block leaves for the next: the bytes of a command that the block's
// end cut, nothing more.
struct TelnetState {
    unsigned char partial[TELNET_SUBNEGOTIATION_LENGTH - 1] = {};
    std::uint8_t length = 0;  // 0: no command is open
};

// Where answers go: the caller's buffer. Nothing is written past `capacity`;
// an answer that does not fit whole is left out (callers make room for
// telnet_answer_bound() first, so that never happens).
struct TelnetAnswers {
    unsigned char* data = nullptr;
    std::size_t capacity = 0;
    std::size_t length = 0;
};

// Most answer bytes that `count` host bytes can call for, counting the bytes of
// a cut command carried over from the block before. The costliest command is
// the subnegotiation: six bytes answered with at most 6 + 15.
constexpr std::size_t telnet_answer_bound(std::size_t count) {
    return 4 * (count + TELNET_SUBNEGOTIATION_LENGTH - 1);
}

// Removes the command sequences from the `count` bytes at `data`, in place, and
// puts the answers to the host's requests into `answers`. A command cut by the
// end of `data` is kept in `state` and joined with the start of the next call's
// bytes, so feeding a stream in any pieces gives the same data and the same
// answers as feeding it whole. Every byte counts, NUL bytes included. Returns
// the number of data bytes left at the front of `data`.
//
// IAC IAC gives one data byte 255; WILL and DO are answered, WONT and DONT are
// not; a subnegotiation for TERMINAL-TYPE (whatever its code) is answered with
// `terminal_type` (NUL-terminated, at most 15 characters used), any other is
// dropped; any other command is dropped with its IAC.
std::size_t filter_telnet(TelnetState& state, const char* terminal_type, unsigned char* data,
                          std::size_t count, TelnetAnswers& answers);

// The answers to IAC DO `option` and IAC WILL `option` (three bytes each), and
// IAC SB TERMINAL-TYPE IS `terminal_type` IAC SE.
void answer_do(unsigned char option, TelnetAnswers& answers);
void answer_will(unsigned char option, TelnetAnswers& answers);
void answer_terminal_type(const char* terminal_type, TelnetAnswers& answers);

// Copies `count` bytes of user data to `out` with every byte 255 doubled (IAC
// IAC), as the host must get a data byte 255. `out` holds 2 * `count` bytes.
// Returns the number of bytes written.
std::size_t double_iac(const unsigned char* data, std::size_t count, unsigned char* out);

}  // namespace varolan::service
