// The utility's string table: every text the configuration utility shows, loaded
// by number at the moment of use. Texts are kept byte for byte as the users of
// the utility know them ("\n" is a line break inside a message box).
//
// Numbering:
//   3-39     value texts of the line settings (combo boxes and port list columns):
//            3-21 baud rates by BAUD_* bit position (bit 0 "75" ... bit 18 "57600";
//            5 is "134.5", which is never offered), 22-26 data bits, 27-29 stop
//            bits, 30-34 parity, 35-39 flow control
//   40-42    the character defaults as hexadecimal pairs ("1D", "11", "13")
//   143      the service name "Varolan"
//   200-239  application, main dialog and service control texts
//   240-249  About box texts
//   300-319  local port dialog texts
//   320-329  remote port dialog texts
//   330      the dialog framework's length check
//   400-449  port record messages
//   450-499  configuration database messages
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varolan::util {

// --- value texts ------------------------------------------------------------------
inline constexpr unsigned IDS_BAUD_FIRST = 3;  // + bit position, bits 0..18
inline constexpr unsigned IDS_BAUD_LAST = 21;
inline constexpr unsigned IDS_BAUD_134_5 = 5;
inline constexpr unsigned IDS_DATABITS_FIRST = 22;  // 5, 6, 7, 8, 16
inline constexpr unsigned IDS_STOPBITS_FIRST = 27;  // 1, 1.5, 2
inline constexpr unsigned IDS_PARITY_FIRST = 30;    // none, odd, even, mark, space
inline constexpr unsigned IDS_FLOW_FIRST = 35;      // none, Xon/Xoff, Dtr/Dsr, Rts/Cts, hardware
inline constexpr unsigned IDS_FLOW_LAST = 39;

inline constexpr unsigned IDS_DEFAULT_ESCAPE = 40;  // "1D"
inline constexpr unsigned IDS_DEFAULT_XON = 41;     // "11"
inline constexpr unsigned IDS_DEFAULT_XOFF = 42;    // "13"

inline constexpr unsigned IDS_SERVICE_NAME = 143;  // "Varolan"

// --- application, main dialog, service control ------------------------------------------
inline constexpr unsigned IDS_APP_TITLE = 200;     // "Varolan Maintenance"
inline constexpr unsigned IDS_ABOUTBOX = 201;      // "About Varolan..."
inline constexpr unsigned IDS_COLUMN_ERROR = 202;  // "error"
inline constexpr unsigned IDS_STATE_NO_PARAMS = 203;
inline constexpr unsigned IDS_STATE_NOT_SET_UP = 204;
inline constexpr unsigned IDS_STATE_NOT_FOUND = 205;
inline constexpr unsigned IDS_STATE_NO_ACCESS = 206;
inline constexpr unsigned IDS_STATE_MISC_ERROR = 207;
inline constexpr unsigned IDS_ERR_READING_PORT_INFO = 208;
inline constexpr unsigned IDS_ERR_UPDATE_PORT_INFO = 209;
inline constexpr unsigned IDS_ERR_START_SERVICE = 210;
inline constexpr unsigned IDS_CONFIRM_REMOVE = 211;  // %d
inline constexpr unsigned IDS_CONFIRM_RESET = 212;
inline constexpr unsigned IDS_CONFIRM_STOP = 213;
inline constexpr unsigned IDS_ERR_STOP_SERVICE = 214;

// --- About box ------------------------------------------------------------------------------
inline constexpr unsigned IDS_ABOUT_TITLE = 240;      // "About Varolan"
inline constexpr unsigned IDS_ABOUT_VERSION = 241;    // "Varolan Version 1.3"
inline constexpr unsigned IDS_ABOUT_MEMORY = 242;     // "%lu KB"
inline constexpr unsigned IDS_ABOUT_DISK = 243;       // "%lu KB Free"
inline constexpr unsigned IDS_ABOUT_DISK_NONE = 244;  // "Unavailable"

// --- local port dialog ----------------------------------------------------------------------
inline constexpr unsigned IDS_LOCAL_TITLE = 300;
inline constexpr unsigned IDS_LOCAL_HEADER_ONE = 301;     // %s = COM name
inline constexpr unsigned IDS_LOCAL_HEADER_DEVICE = 302;  // %s = NT device name
inline constexpr unsigned IDS_LOCAL_HEADER_MANY = 303;    // %d = count
inline constexpr unsigned IDS_ERR_ESCAPE_INVALID = 304;
inline constexpr unsigned IDS_ERR_XON_INVALID = 305;
inline constexpr unsigned IDS_ERR_XOFF_INVALID = 306;
inline constexpr unsigned IDS_ERR_XON_LENGTH = 307;
inline constexpr unsigned IDS_ERR_XOFF_LENGTH = 308;
inline constexpr unsigned IDS_ERR_XON_EQUALS_XOFF = 309;

// --- remote port dialog ---------------------------------------------------------------------
inline constexpr unsigned IDS_REMOTE_TITLE = 320;
inline constexpr unsigned IDS_ERR_ESCAPE_EMPTY = 321;

inline constexpr unsigned IDS_FRAMEWORK_MAX_CHARS = 330;  // %1 = the limit

// --- port records -----------------------------------------------------------------------------
inline constexpr unsigned IDS_ERR_OPEN_DEVICE_KEY = 400;    // %s = port key path
inline constexpr unsigned IDS_ERR_SET_DEVICE_INFO = 401;    // %s = NT device name
inline constexpr unsigned IDS_ERR_CREATE_DEVICE_KEY = 402;  // %s = port key path
inline constexpr unsigned IDS_ERR_WRITE_CAPS_INFO = 403;    // %s = NT device name
inline constexpr unsigned IDS_ERR_WRITE_LOCAL_INFO = 404;   // %s = NT device name
inline constexpr unsigned IDS_ERR_COMM_PROPERTIES = 405;    // %s = COM name
// Capability writes, in writing order: five masks, then the six session values
// whose message is the value's own name.
inline constexpr unsigned IDS_ERR_SET_CAP_BAUD = 406;
inline constexpr unsigned IDS_ERR_SET_CAP_DATABITS = 407;
inline constexpr unsigned IDS_ERR_SET_CAP_STOPPARITY = 408;
inline constexpr unsigned IDS_ERR_SET_CAP_PARAMS = 409;
inline constexpr unsigned IDS_ERR_SET_CAP_PROVIDER = 410;
inline constexpr unsigned IDS_NAME_AUTO_OPEN = 411;
inline constexpr unsigned IDS_NAME_AUTO_OPEN_COMPUTER = 412;
inline constexpr unsigned IDS_NAME_LOGIN_SCRIPT = 413;
inline constexpr unsigned IDS_NAME_LOGIN_SCRIPT_DELAY = 414;
inline constexpr unsigned IDS_NAME_MODEM_DELAY = 415;
inline constexpr unsigned IDS_NAME_MODEM_INIT = 416;
// Capability reads, in reading order.
inline constexpr unsigned IDS_ERR_GET_CAP_BAUD = 417;
inline constexpr unsigned IDS_ERR_GET_CAP_DATABITS = 418;
inline constexpr unsigned IDS_ERR_GET_CAP_STOPPARITY = 419;
inline constexpr unsigned IDS_ERR_GET_CAP_PARAMS = 420;
inline constexpr unsigned IDS_ERR_GET_CAP_PROVIDER = 421;
// Settings writes (422-432) and reads (433-443), each in value order: port name,
// baud rate, data bits, stop bits, parity, flow control, escape sequence,
// terminal type, Xon, Xoff, device flags.
inline constexpr unsigned IDS_ERR_SET_SETTING_FIRST = 422;
inline constexpr unsigned IDS_ERR_GET_SETTING_FIRST = 433;

// --- configuration database ---------------------------------------------------------------------
inline constexpr unsigned IDS_ERR_UPDATE_MAIN_REGISTRY = 450;
inline constexpr unsigned IDS_ERR_FIND_BASE = 451;
inline constexpr unsigned IDS_ERR_READ_REMOTE = 452;           // %s = value name
inline constexpr unsigned IDS_ERR_OPEN_PORT_KEY = 453;         // %s = NT device name
inline constexpr unsigned IDS_ERR_READ_DEVICE_CAPS = 454;      // %s = NT device name
inline constexpr unsigned IDS_ERR_READ_DEVICE_SETTINGS = 455;  // %s = NT device name
inline constexpr unsigned IDS_ERR_READ_LOCAL_INFO = 456;       // %s = NT device name
inline constexpr unsigned IDS_ERR_UPDATE_COM_NAME = 457;       // %s = NT device name
inline constexpr unsigned IDS_ERR_UPDATE_DEVICE_CAPS = 458;    // %s = NT device name
inline constexpr unsigned IDS_ERR_CREATE_REGISTRY = 459;       // %s = NT device name
inline constexpr unsigned IDS_ERR_DELETE_DEVICE_KEY = 460;     // %s = port key path
inline constexpr unsigned IDS_ERR_OPEN_BASE_KEY = 461;         // %s = product key path
inline constexpr unsigned IDS_ERR_UPDATE_REMOTE = 462;
inline constexpr unsigned IDS_ERR_UPDATE_LOCAL_INFO = 463;  // %s = NT device name

// The text of entry `id`; empty when the table has no such entry.
std::string load_string(unsigned id);

// The text of entry `id` with its one conversion (%s, %d or %1) replaced by `arg`.
// Only the first conversion is replaced; "%%" stands for a percent sign.
std::string format_string(unsigned id, std::string_view arg);
std::string format_string(unsigned id, long arg);
// The same on a text that is not a table entry.
std::string format_text(std::string_view text, std::string_view arg);

// Value texts of the line settings by their in-memory encoding (see the port
// records): 0 when the value has no text (0, BAUD_134_5, BAUD_USER, several bits).
unsigned baud_text_id(std::uint32_t baud_bit);
unsigned databits_text_id(std::uint32_t databits_bit);
unsigned stopbits_text_id(std::uint32_t stop_parity);  // uses the low byte
unsigned parity_text_id(std::uint32_t stop_parity);    // uses the high byte
unsigned flow_text_id(std::uint32_t flow_control);     // 0..4

}  // namespace varolan::util
