#include "service/session/telnet.h"

#include <cstring>

namespace varolan::service {

namespace {

constexpr std::size_t TERMINAL_TYPE_ANSWER_SIZE = 80;

unsigned char buffer_byte(const SessionRecord& record, std::size_t pos) {
    return pos <= BLOCK_SIZE ? static_cast<unsigned char>(record.receive_buffer[pos]) : 0;
}

void send_answer(SessionRecord& record, unsigned char command, unsigned char option) {
    const unsigned char answer[3] = {TELNET_IAC, command, option};
    record.host_socket.send(answer, sizeof answer);
}

// IAC SB TERMINAL-TYPE IS <terminal_type> IAC SE, one send of 6 + t bytes.
void answer_terminal_type(SessionRecord& record) {
    unsigned char answer[TERMINAL_TYPE_ANSWER_SIZE];
    std::size_t t = strnlen(record.terminal_type, TERMINAL_TYPE_SIZE - 1);
    std::size_t n = 0;
    answer[n++] = TELNET_IAC;
    answer[n++] = TELNET_SB;
    answer[n++] = OPTION_TERMINAL_TYPE;
    answer[n++] = TERMINAL_TYPE_IS;
    std::memcpy(answer + n, record.terminal_type, t);
    n += t;
    answer[n++] = TELNET_IAC;
    answer[n++] = TELNET_SE;
    record.host_socket.send(answer, n);
}

}  // namespace

bool block_has_iac(const SessionRecord& record, std::int32_t count) {
    if (count <= 0) {
        return false;
    }
    std::size_t n =
        static_cast<std::size_t>(count) < BLOCK_SIZE ? static_cast<std::size_t>(count) : BLOCK_SIZE;
    return std::memchr(record.receive_buffer, TELNET_IAC, n) != nullptr;
}

std::int32_t pass_host_block(SessionRecord& record, std::int32_t count) {
    byte_count.fetch_add(count, std::memory_order_relaxed);
    std::int32_t length = block_has_iac(record, count) ? filter_telnet(record) : count;
    if (length > 0 && record.user_handle) {
        record.user_handle->write(record.receive_buffer, static_cast<std::uint32_t>(length));
    }
    return length > 0 ? length : 0;
}

void answer_do(SessionRecord& record, std::size_t option_pos) {
    unsigned char option = buffer_byte(record, option_pos);
    if (option == OPTION_ECHO || option == OPTION_TERMINAL_TYPE) {
        send_answer(record, TELNET_WILL, option);
    } else {
        send_answer(record, TELNET_WONT, option);
    }
}

void answer_will(SessionRecord& record, std::size_t option_pos) {
    unsigned char option = buffer_byte(record, option_pos);
    if (option == OPTION_ECHO || option == OPTION_SUPPRESS_GO_AHEAD) {
        send_answer(record, TELNET_DO, option);
    } else {
        send_answer(record, TELNET_DONT, option);
    }
}

std::int32_t filter_telnet(SessionRecord& record) {
    std::int32_t count = record.received_count.load(std::memory_order_acquire);
    std::size_t n = count <= 0 ? 0 : static_cast<std::size_t>(count);
    if (n > BLOCK_SIZE) {
        n = BLOCK_SIZE;
    }
    char* buf = record.receive_buffer;
    // The byte after the block reads as 0 when a sequence is cut by the block's end.
    buf[n] = '\0';
    // Data is moved down in place: the output position never passes the input
    // position, so command and option bytes are read before anything overwrites them.
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        if (c != TELNET_IAC) {
            buf[o++] = buf[i++];
            continue;
        }
        unsigned char command = buffer_byte(record, i + 1);
        switch (command) {
            case TELNET_SB:
                if (buffer_byte(record, i + 2) == OPTION_TERMINAL_TYPE) {
                    answer_terminal_type(record);
                }
                i += 6;
                break;
            case TELNET_WILL:
                answer_will(record, i + 2);
                i += 3;
                break;
            case TELNET_DO:
                answer_do(record, i + 2);
                i += 3;
                break;
            case TELNET_WONT:
            case TELNET_DONT:
                i += 3;
                break;
            case TELNET_IAC:
                // A doubled IAC stands for one data byte 255.
                buf[o++] = static_cast<char>(TELNET_IAC);
                i += 2;
                break;
            default:
                // Any other command (NOP, GA, BRK ...) is dropped with its IAC.
                i += 2;
                break;
        }
    }
    buf[o] = '\0';
    return static_cast<std::int32_t>(o);
}

}  // namespace varolan::service
