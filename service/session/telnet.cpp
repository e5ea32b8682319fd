#include "service/session/telnet.h"

#include <cstring>

namespace varolan::service {

namespace {

void put_answer(TelnetAnswers& answers, const unsigned char* bytes, std::size_t n) {
    if (answers.data == nullptr || answers.capacity - answers.length < n) {
        return;
    }
    std::memcpy(answers.data + answers.length, bytes, n);
    answers.length += n;
}

void put_negotiation(TelnetAnswers& answers, unsigned char command, unsigned char option) {
    const unsigned char answer[TELNET_NEGOTIATION_LENGTH] = {TELNET_IAC, command, option};
    put_answer(answers, answer, sizeof answer);
}

// One byte of an open command. `state.partial` holds the command so far (its
// IAC first); a complete command is acted on and the state closed. A data
// byte 255 (IAC IAC) goes to data[*out].
void take_command_byte(TelnetState& state, unsigned char c, const char* terminal_type,
                       unsigned char* data, std::size_t* out, TelnetAnswers& answers) {
    switch (state.length) {
        case 1:  // the command byte
            if (c == TELNET_IAC) {
                data[(*out)++] = TELNET_IAC;
                state.length = 0;
            } else if (c >= TELNET_SB) {
                state.partial[state.length++] = c;
            } else {
                state.length = 0;  // NOP, GA, BRK, SE ...: dropped with the IAC
            }
            return;
        case 2:  // the option byte
            state.partial[state.length++] = c;
            switch (state.partial[1]) {
                case TELNET_WILL:
                    answer_will(c, answers);
                    state.length = 0;
                    break;
                case TELNET_DO:
                    answer_do(c, answers);
                    state.length = 0;
                    break;
                case TELNET_WONT:
                case TELNET_DONT:
                    state.length = 0;
                    break;
                default:  // SB: answered once the option is known, then skipped
                    if (c == OPTION_TERMINAL_TYPE) {
                        answer_terminal_type(terminal_type, answers);
                    }
                    break;
            }
            return;
        default:  // the rest of a subnegotiation, not examined
            if (state.length + 1u < TELNET_SUBNEGOTIATION_LENGTH) {
                state.partial[state.length++] = c;
            } else {
                state.length = 0;
            }
            return;
    }
}

}  // namespace

void answer_do(unsigned char option, TelnetAnswers& answers) {
    if (option == OPTION_ECHO || option == OPTION_TERMINAL_TYPE) {
        put_negotiation(answers, TELNET_WILL, option);
    } else {
        put_negotiation(answers, TELNET_WONT, option);
    }
}

void answer_will(unsigned char option, TelnetAnswers& answers) {
    if (option == OPTION_ECHO || option == OPTION_SUPPRESS_GO_AHEAD) {
        put_negotiation(answers, TELNET_DO, option);
    } else {
        put_negotiation(answers, TELNET_DONT, option);
    }
}

// IAC SB TERMINAL-TYPE IS <terminal type> IAC SE: 6 + t bytes.
void answer_terminal_type(const char* terminal_type, TelnetAnswers& answers) {
    unsigned char answer[TELNET_SUBNEGOTIATION_LENGTH + TELNET_TERMINAL_TYPE_MAX];
    const std::size_t t =
        terminal_type != nullptr ? strnlen(terminal_type, TELNET_TERMINAL_TYPE_MAX) : 0;
    std::size_t n = 0;
    answer[n++] = TELNET_IAC;
    answer[n++] = TELNET_SB;
    answer[n++] = OPTION_TERMINAL_TYPE;
    answer[n++] = TERMINAL_TYPE_IS;
    if (t > 0) {
        std::memcpy(answer + n, terminal_type, t);
        n += t;
    }
    answer[n++] = TELNET_IAC;
    answer[n++] = TELNET_SE;
    put_answer(answers, answer, n);
}

std::size_t filter_telnet(TelnetState& state, const char* terminal_type, unsigned char* data,
                          std::size_t count, TelnetAnswers& answers) {
    // Data is moved down in place: the output never passes the input, since
    // only data bytes and the second IAC of a pair (one for two) are kept.
    std::size_t in = 0;
    std::size_t out = 0;
    while (in < count) {
        if (state.length == 0) {
            // A run of data up to the next IAC; a block without one is not moved.
            const void* found = std::memchr(data + in, TELNET_IAC, count - in);
            const std::size_t end =
                found != nullptr
                    ? static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data)
                    : count;
            if (out != in) {
                std::memmove(data + out, data + in, end - in);
            }
            out += end - in;
            in = end;
            if (in < count) {
                state.partial[0] = TELNET_IAC;
                state.length = 1;
                ++in;
            }
            continue;
        }
        take_command_byte(state, data[in++], terminal_type, data, &out, answers);
    }
    return out;
}

std::size_t double_iac(const unsigned char* data, std::size_t count, unsigned char* out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        out[n++] = data[i];
        if (data[i] == TELNET_IAC) {
            out[n++] = TELNET_IAC;
        }
    }
    return n;
}

}  // namespace varolan::service
