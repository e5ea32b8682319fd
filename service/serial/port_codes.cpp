#include "service/serial/port_codes.h"

#include "common/store_layout.h"

namespace varolan::service {

using namespace varolan::serial;
using namespace varolan::layout;

bool line_mode(std::uint32_t mode, LineMode* out) {
    switch (mode) {
        case AUTO_OPEN_CTS:
            *out = {MS_CTS_ON, EV_CTS};
            return true;
        case AUTO_OPEN_DSR:
            *out = {MS_DSR_ON, EV_DSR};
            return true;
        case AUTO_OPEN_CARRIER:
            *out = {MS_RLSD_ON, EV_RLSD};
            return true;
        default:
            return false;
    }
}

std::string give_up_causes(std::uint32_t bits) {
    static constexpr struct {
        std::uint32_t bit;
        const char* text;
    } causes[] = {{DEVICE_OPEN_FAILED, "the port cannot be opened"},
                  {DEVICE_ACCESS_DENIED, "access to the port is denied"},
                  {DEVICE_SETUP_ERROR, "the port cannot be set up"},
                  {DEVICE_BAUD_ERROR, "baud rate refused"},
                  {DEVICE_DATABITS_ERROR, "data bits refused"},
                  {DEVICE_STOPBITS_ERROR, "stop bits refused"},
                  {DEVICE_PARITY_ERROR, "parity refused"},
                  {DEVICE_FLOW_ERROR, "flow control refused"}};
    std::string text;
    for (const auto& cause : causes) {
        if ((bits & cause.bit) != 0) {
            text += text.empty() ? "" : ", ";
            text += cause.text;
        }
    }
    return text.empty() ? "unknown cause" : text;
}

}  // namespace varolan::service
