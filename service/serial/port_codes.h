// What the port key's codes mean to a port session: the line signal each
// "AutoOpen" mode waits for, and the causes the "Device Flags" bits of a port
// given up name in the log.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial/comm.h"

namespace varolan::service {

struct LineMode {
    DWORD status_bit;  // in GetCommModemStatus
    DWORD event_mask;  // for WaitCommEvent
};

// "AutoOpen" modes 1 to 3: the line signal waited for. False for any other
// mode (no line signal is watched).
bool line_mode(std::uint32_t mode, LineMode* out);

// The causes named by the "Device Flags" bits of a port given up, for the log.
std::string give_up_causes(std::uint32_t bits);

}  // namespace varolan::service
