// The layout of the configuration store shared by the gateway service and the
// configuration utility: key paths, value names and the "Device Flags" bits.
// Both programs address the store only through these names.
#pragma once

#include <cstdint>

namespace varolan::layout {

// Product key under HKEY_LOCAL_MACHINE. Key names are case-insensitive; the
// service spells the first component "Software", the utility "SOFTWARE".
inline constexpr const char* PRODUCT_KEY = "Software\\Brismoor\\Varolan\\Version 1.3";
inline constexpr const char* PRODUCT_KEY_UTILITY = "SOFTWARE\\Brismoor\\Varolan\\Version 1.3";

// The machine's serial ports: value name = NT device name, data = COM name.
inline constexpr const char* SERIALCOMM_KEY = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// --- global values (product key) -------------------------------------------------
inline constexpr const char* VALUE_NUMBER_OF_PORTS = "Number of Ports";  // REG_DWORD
inline constexpr const char* VALUE_PROMPT = "Prompt";                    // REG_SZ
inline constexpr const char* VALUE_ESCAPE_CHAR = "Escape Char";          // REG_SZ (also per port)
inline constexpr const char* VALUE_TERMINAL_TYPE = "Terminal Type";      // REG_SZ (also per port)
inline constexpr const char* VALUE_DEBUG = "Debug";                      // REG_DWORD
// Extension: default TCP port for host connections (REG_DWORD).
inline constexpr const char* VALUE_TELNET_PORT = "Telnet Port";
inline constexpr std::uint32_t DEFAULT_TELNET_PORT = 23;
// Extension: non-zero offers the SSH command at the prompt (REG_DWORD; 0 when missing).
inline constexpr const char* VALUE_SSH = "SSH";
// Extensions: limits of pipe sessions (REG_DWORD; 0 or missing = the default)
// and the hosts and ports users may connect to (REG_MULTI_SZ, one
// `host-or-CIDR[:port-or-range]` per string; missing or empty = any).
inline constexpr const char* VALUE_MAX_SESSIONS = "Maximum Sessions";
inline constexpr const char* VALUE_MAX_SESSIONS_PER_USER = "Maximum Sessions Per User";
inline constexpr const char* VALUE_PERMITTED_DESTINATIONS = "Permitted Destinations";

// --- port key values (product key \ NT device name) ------------------------------
inline constexpr const char* VALUE_PORT_NAME = "Port Name";                        // REG_SZ
inline constexpr const char* VALUE_BAUD_RATE = "Baud Rate";                        // REG_DWORD
inline constexpr const char* VALUE_DATA_BITS = "Data Bits";                        // REG_DWORD
inline constexpr const char* VALUE_STOP_BITS = "Stop Bits";                        // REG_DWORD
inline constexpr const char* VALUE_PARITY = "Parity";                              // REG_DWORD
inline constexpr const char* VALUE_FLOW_CONTROL = "Flow Control";                  // REG_DWORD
inline constexpr const char* VALUE_XON_CHAR = "Xon Char";                          // REG_SZ
inline constexpr const char* VALUE_XOFF_CHAR = "Xoff Char";                        // REG_SZ
inline constexpr const char* VALUE_DEVICE_FLAGS = "Device Flags";                  // REG_DWORD
inline constexpr const char* VALUE_CAP_BAUD_MASK = "Cap Baud Mask";                // REG_DWORD
inline constexpr const char* VALUE_CAP_DATA_BIT_MASK = "Cap Data Bit Mask";        // REG_DWORD
inline constexpr const char* VALUE_CAP_STOP_PARITY_MASK = "Cap Stop Parity Mask";  // REG_DWORD
inline constexpr const char* VALUE_CAP_SETTABLE_PARAMS = "Cap Settable Params";    // REG_DWORD
inline constexpr const char* VALUE_CAP_PROVIDERS_CAPABILITIES =
    "Cap Providers Capabilities";                                                       // REG_DWORD
inline constexpr const char* VALUE_AUTO_OPEN = "AutoOpen";                              // REG_DWORD
inline constexpr const char* VALUE_AUTO_OPEN_COMPUTER_NAME = "AutoOpen Computer Name";  // REG_SZ
inline constexpr const char* VALUE_LOGIN_SCRIPT = "Login Script";              // REG_MULTI_SZ
inline constexpr const char* VALUE_LOGIN_SCRIPT_DELAY = "Login Script Delay";  // REG_DWORD
inline constexpr const char* VALUE_MODEM_INIT = "Modem Init";                  // REG_MULTI_SZ
inline constexpr const char* VALUE_MODEM_DELAY = "Modem Delay";                // REG_DWORD

// Defaults that the readers apply when a value is missing or zero.
inline constexpr std::uint32_t DEFAULT_LOGIN_SCRIPT_DELAY = 2000;
inline constexpr std::uint32_t DEFAULT_MODEM_DELAY = 2000;
inline constexpr const char* DEFAULT_PORT_TERMINAL_TYPE = "UNKNOWN";

// "Flow Control" codes.
inline constexpr std::uint32_t FLOW_NONE = 0;
inline constexpr std::uint32_t FLOW_XON_XOFF = 1;
inline constexpr std::uint32_t FLOW_DTR_DSR = 2;
inline constexpr std::uint32_t FLOW_RTS_CTS = 3;
inline constexpr std::uint32_t FLOW_HARDWARE = 4;  // both handshakes: the modem setting

// "AutoOpen" modes: the line signal a port session waits for before each user.
inline constexpr std::uint32_t AUTO_OPEN_PROMPT = 0;  // no wait: the prompt is offered
inline constexpr std::uint32_t AUTO_OPEN_CTS = 1;
inline constexpr std::uint32_t AUTO_OPEN_DSR = 2;
inline constexpr std::uint32_t AUTO_OPEN_CARRIER = 3;

// The two halves of "Cap Stop Parity Mask" (a device's settable stop bits and
// parities) and of a port record's stop-bits-and-parity word.
inline constexpr std::uint16_t STOP_BITS_MASK = 0x00FF;
inline constexpr std::uint16_t PARITY_MASK = 0xFF00;

// --- "Device Flags" bits -----------------------------------------------------------
// Written by the service when it gives a port up (0 while it serves the port).
inline constexpr std::uint32_t DEVICE_OPEN_FAILED = 0x01;
inline constexpr std::uint32_t DEVICE_ACCESS_DENIED = 0x02;
inline constexpr std::uint32_t DEVICE_SETUP_ERROR = 0x04;
inline constexpr std::uint32_t DEVICE_BAUD_ERROR = 0x08;
inline constexpr std::uint32_t DEVICE_DATABITS_ERROR = 0x10;
inline constexpr std::uint32_t DEVICE_STOPBITS_ERROR = 0x20;
inline constexpr std::uint32_t DEVICE_PARITY_ERROR = 0x40;
inline constexpr std::uint32_t DEVICE_FLOW_ERROR = 0x80;
// Written by the utility.
inline constexpr std::uint32_t DEVICE_NOT_MANAGED = 0x100;
inline constexpr std::uint32_t DEVICE_NO_CAPS = 0x200;

}  // namespace varolan::layout
