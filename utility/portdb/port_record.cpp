#include "utility/portdb/port_record.h"

#include <array>
#include <memory>
#include <utility>

#include "common/store_layout.h"
#include "platform/core/text.h"
#include "platform/serial/comm.h"
#include "utility/portdb/store_io.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace layout = varolan::layout;

// --- registry numbers <-> in-memory bits ------------------------------------------------

namespace {

struct BaudEntry {
    std::uint32_t rate;
    std::uint32_t bit;
};

constexpr std::array<BaudEntry, 18> BAUD_TABLE{{
    {75, serial::BAUD_075},
    {110, serial::BAUD_110},
    {150, serial::BAUD_150},
    {300, serial::BAUD_300},
    {600, serial::BAUD_600},
    {1200, serial::BAUD_1200},
    {1800, serial::BAUD_1800},
    {2400, serial::BAUD_2400},
    {4800, serial::BAUD_4800},
    {7200, serial::BAUD_7200},
    {9600, serial::BAUD_9600},
    {14400, serial::BAUD_14400},
    {19200, serial::BAUD_19200},
    {38400, serial::BAUD_38400},
    {56000, serial::BAUD_56K},
    {128000, serial::BAUD_128K},
    {115200, serial::BAUD_115200},
    {57600, serial::BAUD_57600},
}};

struct DataBitsEntry {
    std::uint32_t number;
    std::uint16_t bit;
};

constexpr std::array<DataBitsEntry, 5> DATA_BITS_TABLE{{
    {5, serial::DATABITS_5},
    {6, serial::DATABITS_6},
    {7, serial::DATABITS_7},
    {8, serial::DATABITS_8},
    {16, serial::DATABITS_16},
}};

constexpr std::array<std::uint16_t, 5> PARITY_BITS{serial::PARITY_NONE, serial::PARITY_ODD,
                                                   serial::PARITY_EVEN, serial::PARITY_MARK,
                                                   serial::PARITY_SPACE};

// A character default from its string-table pair, or the byte itself should
// the table text not convert.
ByteString character_default(unsigned id, char fallback) {
    ByteString value(1, fallback);
    ByteString converted;
    if (hex_to_bytes(load_string(id), converted) && !converted.empty()) {
        value = converted;
    }
    return value;
}

}  // namespace

std::uint32_t baud_rate_to_bit(std::uint32_t rate) {
    for (const BaudEntry& e : BAUD_TABLE) {
        if (e.rate == rate) {
            return e.bit;
        }
    }
    return 0;
}

std::uint32_t baud_bit_to_rate(std::uint32_t bit) {
    for (const BaudEntry& e : BAUD_TABLE) {
        if (e.bit == bit) {
            return e.rate;
        }
    }
    return 0;
}

std::uint16_t data_bits_to_bit(std::uint32_t bits) {
    for (const DataBitsEntry& e : DATA_BITS_TABLE) {
        if (e.number == bits) {
            return e.bit;
        }
    }
    return 0;
}

std::uint32_t data_bits_bit_to_number(std::uint16_t bit) {
    for (const DataBitsEntry& e : DATA_BITS_TABLE) {
        if (e.bit == bit) {
            return e.number;
        }
    }
    return 0;
}

std::uint16_t stop_bits_to_bit(std::uint32_t code) {
    switch (code) {
        case 0:
            return serial::STOPBITS_10;
        case 1:
            return serial::STOPBITS_15;
        case 2:
            return serial::STOPBITS_20;
        default:
            return 0;
    }
}

std::uint32_t stop_bits_code(std::uint16_t stop_parity) {
    switch (stop_parity & layout::STOP_BITS_MASK) {
        case serial::STOPBITS_15:
            return 1;
        case serial::STOPBITS_20:
            return 2;
        default:
            return 0;
    }
}

std::uint16_t parity_to_bit(std::uint32_t code) {
    return code < PARITY_BITS.size() ? PARITY_BITS[code] : 0;
}

std::uint32_t parity_code(std::uint16_t stop_parity) {
    switch (stop_parity & layout::PARITY_MASK) {
        case serial::PARITY_ODD:
            return 1;
        case serial::PARITY_EVEN:
            return 2;
        case serial::PARITY_MARK:
            return 3;
        case serial::PARITY_SPACE:
            return 4;
        default:
            return 0;
    }
}

// --- byte strings as hexadecimal text ----------------------------------------------------

std::string bytes_to_hex(std::string_view bytes) {
    const std::size_t n = bytes.size() < HEX_DISPLAY_LIMIT ? bytes.size() : HEX_DISPLAY_LIMIT;
    std::string text;
    text.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        text.push_back(hex_digit(b >> 4));
        text.push_back(hex_digit(b));
    }
    return text;
}

bool hex_to_bytes(std::string_view text, ByteString& target) {
    if (text.empty()) {
        return true;
    }
    ByteString bytes;
    std::size_t i = 0;
    for (; i + 1 < text.size(); i += 2) {
        const int hi = hex_digit_value(text[i]);
        const int lo = hex_digit_value(text[i + 1]);
        if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
            return false;
        }
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    if (i < text.size()) {
        return false;  // one character left over
    }
    target = std::move(bytes);
    return true;
}

// --- PortCaps --------------------------------------------------------------------------------

namespace {

// The five capability values in their stored order, with the messages of a
// failed read and a failed write. The two 16-bit masks are stored
// zero-extended and read back from the low 16 bits.
struct CapValue {
    const char* name;
    unsigned read_message;
    unsigned write_message;
    std::uint32_t (*get)(const PortCaps&);
    void (*set)(PortCaps&, std::uint32_t);
};

const CapValue CAP_VALUES[] = {
    {layout::VALUE_CAP_BAUD_MASK, IDS_ERR_GET_CAP_BAUD, IDS_ERR_SET_CAP_BAUD,
     [](const PortCaps& c) { return c.baud_mask; },
     [](PortCaps& c, std::uint32_t v) { c.baud_mask = v; }},
    {layout::VALUE_CAP_DATA_BIT_MASK, IDS_ERR_GET_CAP_DATABITS, IDS_ERR_SET_CAP_DATABITS,
     [](const PortCaps& c) { return std::uint32_t{c.data_bits_mask}; },
     [](PortCaps& c, std::uint32_t v) { c.data_bits_mask = static_cast<std::uint16_t>(v); }},
    {layout::VALUE_CAP_STOP_PARITY_MASK, IDS_ERR_GET_CAP_STOPPARITY, IDS_ERR_SET_CAP_STOPPARITY,
     [](const PortCaps& c) { return std::uint32_t{c.stop_parity_mask}; },
     [](PortCaps& c, std::uint32_t v) { c.stop_parity_mask = static_cast<std::uint16_t>(v); }},
    {layout::VALUE_CAP_SETTABLE_PARAMS, IDS_ERR_GET_CAP_PARAMS, IDS_ERR_SET_CAP_PARAMS,
     [](const PortCaps& c) { return c.settable_params; },
     [](PortCaps& c, std::uint32_t v) { c.settable_params = v; }},
    {layout::VALUE_CAP_PROVIDERS_CAPABILITIES, IDS_ERR_GET_CAP_PROVIDER, IDS_ERR_SET_CAP_PROVIDER,
     [](const PortCaps& c) { return c.provider_caps; },
     [](PortCaps& c, std::uint32_t v) { c.provider_caps = v; }},
};

}  // namespace

bool PortCaps::ReadCaps(const reg::Key& key) {
    for (const CapValue& v : CAP_VALUES) {
        std::uint32_t value = 0;
        if (!read_dword(key, v.name, value)) {
            message_box_id(v.read_message);
            return false;
        }
        v.set(*this, value);  // masks read before a failure keep their new values
    }
    return true;
}

bool PortCaps::WriteCaps(const reg::Key& key) const {
    for (const CapValue& v : CAP_VALUES) {
        if (!write_dword(key, v.name, v.get(*this))) {
            message_box_id(v.write_message);
            return false;
        }
    }
    return true;
}

bool write_session_defaults(const reg::Key& key) {
    struct SessionValue {
        const char* name;
        DWORD type;
        unsigned message;
    };
    const SessionValue session[] = {
        {layout::VALUE_AUTO_OPEN, reg::REG_DWORD, IDS_NAME_AUTO_OPEN},
        {layout::VALUE_AUTO_OPEN_COMPUTER_NAME, reg::REG_SZ, IDS_NAME_AUTO_OPEN_COMPUTER},
        {layout::VALUE_LOGIN_SCRIPT, reg::REG_MULTI_SZ, IDS_NAME_LOGIN_SCRIPT},
        {layout::VALUE_LOGIN_SCRIPT_DELAY, reg::REG_DWORD, IDS_NAME_LOGIN_SCRIPT_DELAY},
        {layout::VALUE_MODEM_DELAY, reg::REG_DWORD, IDS_NAME_MODEM_DELAY},
        {layout::VALUE_MODEM_INIT, reg::REG_MULTI_SZ, IDS_NAME_MODEM_INIT},
    };
    for (const SessionValue& v : session) {
        const bool ok = v.type == reg::REG_DWORD ? write_dword(key, v.name, 0)
                                                 : write_empty(key, v.name, v.type);
        if (!ok) {
            message_box_id(v.message);
            return false;
        }
    }
    return true;
}

bool PortCaps::QueryDeviceCaps(std::string_view com_name) {
    const std::string name(com_name);
    std::unique_ptr<serial::CommPort> port;
    if (serial::comm_opener().open(name.c_str(), port) != ERROR_SUCCESS || !port) {
        return false;
    }
    serial::COMMPROP props;
    const bool ok = port->GetCommProperties(&props);
    port->close();
    if (!ok) {
        message_box_fmt(IDS_ERR_COMM_PROPERTIES, com_name);
        return false;
    }
    baud_mask = props.dwSettableBaud;
    data_bits_mask = props.wSettableData;
    stop_parity_mask = props.wSettableStopParity;
    settable_params = props.dwSettableParams;
    provider_caps = props.dwProvCapabilities;
    return true;
}

void PortCaps::IntersectCaps(const PortCaps& other) {
    baud_mask &= other.baud_mask;
    data_bits_mask &= other.data_bits_mask;
    stop_parity_mask &= other.stop_parity_mask;
    settable_params &= other.settable_params;
    provider_caps &= other.provider_caps;
}

bool PortCaps::settings_fit_caps(const PortSettings& s) const {
    if ((settable_params & serial::SP_BAUD) && (baud_mask & s.baud) == 0) {
        return false;
    }
    if ((settable_params & serial::SP_DATABITS) && (data_bits_mask & s.data_bits) == 0) {
        return false;
    }
    const std::uint16_t stop_parity = stop_parity_mask & s.stop_parity;
    if ((settable_params & serial::SP_STOPBITS) && (stop_parity & layout::STOP_BITS_MASK) == 0) {
        return false;
    }
    if ((settable_params & serial::SP_PARITY) && (stop_parity & layout::PARITY_MASK) == 0) {
        return false;
    }
    if (s.flow_control == layout::FLOW_XON_XOFF && (provider_caps & serial::PCF_XONXOFF) == 0) {
        return false;
    }
    if (s.flow_control == layout::FLOW_HARDWARE &&
        (provider_caps & (serial::PCF_DTRDSR | serial::PCF_RTSCTS)) == 0) {
        return false;
    }
    return true;
}

// --- PortSettings ----------------------------------------------------------------------------

PortSettings::PortSettings()
    : escape(character_default(IDS_DEFAULT_ESCAPE, 0x1D)),
      xon(character_default(IDS_DEFAULT_XON, 0x11)),
      xoff(character_default(IDS_DEFAULT_XOFF, 0x13)) {}

namespace {

// The eleven settings values in their stored order; the messages of a failed
// read and write are numbered in the same order. A value is a string field,
// or a number converted to and from the in-memory bits (parity is ORed into
// the stop/parity word after the stop bits).
struct SettingValue {
    const char* name;
    std::string PortSettings::*text;  // null for a number
    std::uint32_t (*to_store)(const PortSettings&);
    void (*from_store)(PortSettings&, std::uint32_t);
};

const SettingValue SETTING_VALUES[] = {
    {layout::VALUE_PORT_NAME, &PortSettings::port_name, nullptr, nullptr},
    {layout::VALUE_BAUD_RATE, nullptr,
     [](const PortSettings& s) { return baud_bit_to_rate(s.baud); },
     [](PortSettings& s, std::uint32_t n) { s.baud = baud_rate_to_bit(n); }},
    {layout::VALUE_DATA_BITS, nullptr,
     [](const PortSettings& s) { return data_bits_bit_to_number(s.data_bits); },
     [](PortSettings& s, std::uint32_t n) { s.data_bits = data_bits_to_bit(n); }},
    {layout::VALUE_STOP_BITS, nullptr,
     [](const PortSettings& s) { return stop_bits_code(s.stop_parity); },
     [](PortSettings& s, std::uint32_t n) { s.stop_parity = stop_bits_to_bit(n); }},
    {layout::VALUE_PARITY, nullptr,
     [](const PortSettings& s) { return parity_code(s.stop_parity); },
     [](PortSettings& s, std::uint32_t n) {
         s.stop_parity = static_cast<std::uint16_t>(s.stop_parity | parity_to_bit(n));
     }},
    {layout::VALUE_FLOW_CONTROL, nullptr, [](const PortSettings& s) { return s.flow_control; },
     [](PortSettings& s, std::uint32_t n) { s.flow_control = n; }},
    {layout::VALUE_ESCAPE_CHAR, &PortSettings::escape, nullptr, nullptr},
    {layout::VALUE_TERMINAL_TYPE, &PortSettings::terminal_type, nullptr, nullptr},
    {layout::VALUE_XON_CHAR, &PortSettings::xon, nullptr, nullptr},
    {layout::VALUE_XOFF_CHAR, &PortSettings::xoff, nullptr, nullptr},
    {layout::VALUE_DEVICE_FLAGS, nullptr, [](const PortSettings& s) { return s.device_flags; },
     [](PortSettings& s, std::uint32_t n) { s.device_flags = n; }},
};

}  // namespace

bool PortSettings::ReadSettings(const reg::Key& key) {
    unsigned message = IDS_ERR_GET_SETTING_FIRST;
    for (const SettingValue& v : SETTING_VALUES) {
        std::uint32_t number = 0;
        const bool ok = v.text != nullptr ? read_string(key, v.name, this->*v.text)
                                          : read_dword(key, v.name, number);
        if (!ok) {
            message_box_id(message);
            return false;  // fields read before keep their new values
        }
        if (v.text == nullptr) {
            v.from_store(*this, number);
        }
        ++message;
    }
    return true;
}

bool PortSettings::WriteSettings(const reg::Key& key) const {
    unsigned message = IDS_ERR_SET_SETTING_FIRST;
    for (const SettingValue& v : SETTING_VALUES) {
        const bool ok = v.text != nullptr ? write_string(key, v.name, this->*v.text)
                                          : write_dword(key, v.name, v.to_store(*this));
        if (!ok) {
            message_box_id(message);
            return false;
        }
        ++message;
    }
    return true;
}

bool PortSettings::InitFromDevice(const reg::Key& key, std::string_view com_name,
                                  std::uint32_t flags) {
    port_name = std::string(com_name);
    device_flags = flags;

    bool from_device = false;
    std::unique_ptr<serial::CommPort> port;
    if (serial::comm_opener().open(port_name.c_str(), port) == ERROR_SUCCESS && port) {
        serial::DCB dcb;
        if (port->GetCommState(&dcb)) {
            baud = baud_rate_to_bit(dcb.BaudRate);
            data_bits = data_bits_to_bit(dcb.ByteSize);
            stop_parity = static_cast<std::uint16_t>(stop_bits_to_bit(dcb.StopBits) |
                                                     parity_to_bit(dcb.Parity));
            // The utility proposes Xon/Xoff whatever the line's handshake is now.
            flow_control = layout::FLOW_XON_XOFF;
            from_device = true;
        }
        port->close();
    }
    if (!from_device) {
        baud = serial::BAUD_9600;
        data_bits = serial::DATABITS_8;
        stop_parity = serial::STOPBITS_10 | serial::PARITY_NONE;
        flow_control = layout::FLOW_NONE;
    }
    return WriteSettings(key);
}

// --- CPortRecord -------------------------------------------------------------------------------

CPortRecord::CPortRecord(std::string nt_device_name) : device_name(std::move(nt_device_name)) {}

CPortRecord::~CPortRecord() = default;

std::string CPortRecord::port_key_path(std::string_view product_key_path) const {
    std::string path(product_key_path);
    path.push_back('\\');
    path += device_name;
    return path;
}

bool CPortRecord::UpdateComName(std::string_view product_key_path, std::string_view com_name) {
    if (com_name == saved.port_name) {
        return true;
    }
    const std::string path = port_key_path(product_key_path);
    reg::Key key;
    if (reg::open_key(reg::hklm(), path, reg::KEY_SET_VALUE, key) != ERROR_SUCCESS) {
        message_box_fmt(IDS_ERR_OPEN_DEVICE_KEY, path);
        return false;
    }
    saved.port_name = std::string(com_name);
    if (!saved.WriteSettings(key)) {
        message_box_fmt(IDS_ERR_SET_DEVICE_INFO, device_name);
        return false;
    }
    return true;
}

bool CPortRecord::CreatePortKey(std::string_view product_key_path, std::string_view com_name) {
    const std::string path = port_key_path(product_key_path);
    reg::Key key;
    if (reg::create_key(reg::hklm(), path, reg::KEY_WRITE, key) != ERROR_SUCCESS) {
        message_box_fmt(IDS_ERR_CREATE_DEVICE_KEY, path);
        return false;
    }
    std::uint32_t device_flags = 0;
    if (!caps.QueryDeviceCaps(com_name)) {
        device_flags |= layout::DEVICE_NO_CAPS;
    }
    if (!caps.WriteCaps(key) || !write_session_defaults(key)) {
        message_box_fmt(IDS_ERR_WRITE_CAPS_INFO, device_name);
        return false;
    }
    if (!saved.InitFromDevice(key, com_name, device_flags | layout::DEVICE_NOT_MANAGED)) {
        message_box_fmt(IDS_ERR_WRITE_LOCAL_INFO, device_name);
        return false;
    }
    return true;
}

void CPortRecord::ApplySettings(const PortSettings& values, const SettingsChoice& chosen) {
    PortSettings& s = current;
    if (chosen.baud) {
        s.baud = values.baud;
    }
    if (chosen.data_bits) {
        s.data_bits = values.data_bits;
    }
    if (chosen.stop_bits) {
        s.stop_parity = static_cast<std::uint16_t>((s.stop_parity & layout::PARITY_MASK) |
                                                   (values.stop_parity & layout::STOP_BITS_MASK));
    }
    if (chosen.parity) {
        s.stop_parity = static_cast<std::uint16_t>((s.stop_parity & layout::STOP_BITS_MASK) |
                                                   (values.stop_parity & layout::PARITY_MASK));
    }
    if (chosen.flow_control) {
        s.flow_control = values.flow_control;
    }
    if (chosen.escape) {
        s.escape = values.escape;
    }
    if (chosen.terminal_type) {
        s.terminal_type = values.terminal_type;
    }
    if (chosen.xon) {
        s.xon = values.xon;
    }
    if (chosen.xoff) {
        s.xoff = values.xoff;
    }
    if (caps.settings_fit_caps(s)) {
        s.device_flags &= ~layout::DEVICE_NOT_MANAGED;
    } else {
        s.device_flags |= layout::DEVICE_NOT_MANAGED;
    }
}

bool CPortRecord::DeletePortKey(std::string_view product_key_path) {
    return reg::delete_key(reg::hklm(), port_key_path(product_key_path)) == ERROR_SUCCESS;
}

}  // namespace varolan::util
