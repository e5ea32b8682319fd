// Any host block: the filter stays inside the record, never grows the data,
// leaves no command byte sequence behind it would have to answer, and keeps
// the terminal type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "service/session/telnet.h"

using namespace varolan::service;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SessionRecord record;  // no host socket: answers fail quietly
    if (size > BLOCK_SIZE) {
        size = BLOCK_SIZE;
    }
    set_terminal_type(record, "FUZZ-TERMINAL-TYPE");
    std::memcpy(record.receive_buffer, data, size);
    record.receive_buffer[size] = '\0';
    record.received_count.store(static_cast<std::int32_t>(size));
    std::int32_t n = filter_telnet(record);
    if (n < 0 || static_cast<std::size_t>(n) > size || record.receive_buffer[n] != '\0') {
        std::abort();
    }
    // Data bytes 255 only come from doubled IACs of the input.
    std::size_t iac_out = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        iac_out += static_cast<unsigned char>(record.receive_buffer[i]) == 255;
    }
    std::size_t iac_in = 0;
    for (std::size_t i = 0; i < size; ++i) {
        iac_in += data[i] == 255;
    }
    if (iac_out * 2 > iac_in || std::strcmp(record.terminal_type, "FUZZ-TERMINAL-T") != 0) {
        std::abort();
    }
    return 0;
}
