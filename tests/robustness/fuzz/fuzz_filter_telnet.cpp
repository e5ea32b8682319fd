// Any host stream, fed to the telnet core whole (in blocks of the reader's
// size) and cut into pieces at positions the input chooses: both give the same
// data and the same answers, no piece grows, the answers of a piece stay
// within their bound, and a data byte 255 only comes from a doubled IAC.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service/session/telnet.h"

using namespace varolan::service;

namespace {

constexpr std::size_t PIECE_MAX = 4096;
constexpr const char* TERMINAL_TYPE = "FUZZ-TERMINAL-TYPE";

struct Output {
    std::vector<unsigned char> user;
    std::vector<unsigned char> answers;
};

// Feeds `stream` in pieces whose lengths `next_length` picks (1 to PIECE_MAX).
template <typename NextLength>
Output feed(const std::uint8_t* stream, std::size_t size, NextLength next_length) {
    TelnetState state;
    Output out;
    std::vector<unsigned char> piece;
    std::vector<unsigned char> answer_bytes(telnet_answer_bound(PIECE_MAX));
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t n = next_length();
        if (n > size - pos) {
            n = size - pos;
        }
        piece.assign(stream + pos, stream + pos + n);
        TelnetAnswers answers{answer_bytes.data(), telnet_answer_bound(n), 0};
        const std::size_t kept = filter_telnet(state, TERMINAL_TYPE, piece.data(), n, answers);
        if (kept > n || answers.length > telnet_answer_bound(n) ||
            state.length >= TELNET_SUBNEGOTIATION_LENGTH) {
            std::abort();
        }
        out.user.insert(out.user.end(), piece.begin(), piece.begin() + static_cast<long>(kept));
        out.answers.insert(out.answers.end(), answer_bytes.begin(),
                           answer_bytes.begin() + static_cast<long>(answers.length));
        pos += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    // The first four bytes seed the cut positions; the rest is the stream.
    std::uint32_t seed = 0;
    std::memcpy(&seed, data, 4);
    const std::uint8_t* stream = data + 4;
    const std::size_t length = size - 4;

    const Output whole = feed(stream, length, [] { return PIECE_MAX; });
    const Output split = feed(stream, length, [&seed] {
        seed = seed * 1103515245u + 12345u;
        // Mostly short pieces, so that cuts fall inside commands often.
        const std::uint32_t r = seed >> 16;
        return static_cast<std::size_t>((r & 0x100) != 0 ? 1 + r % 8 : 1 + r % PIECE_MAX);
    });
    if (whole.user != split.user || whole.answers != split.answers) {
        std::abort();
    }
    std::size_t iac_out = 0;
    for (unsigned char c : whole.user) {
        iac_out += c == TELNET_IAC;
    }
    std::size_t iac_in = 0;
    for (std::size_t i = 0; i < length; ++i) {
        iac_in += stream[i] == TELNET_IAC;
    }
    if (iac_out * 2 > iac_in) {
        std::abort();
    }
    return 0;
}
