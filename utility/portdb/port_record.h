// The utility's in-memory records of one serial port and of the pipe users'
// settings, and the reading and writing of one port key.
//
// In memory the line settings are held as the single bit of the matching
// capability mask (BAUD_*, DATABITS_*, STOPBITS_* | PARITY_*); in the store they
// are the plain numbers the service puts into the device control block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

namespace varolan::util {

// Raw bytes (escape sequences, Xon and Xoff characters); never holds a NUL.
using ByteString = std::string;

// Access masks of the utility's key opens.
inline constexpr DWORD KEY_READ_WRITE = 0x2001F;  // KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY

// Buffer sizes of the utility's reads.
inline constexpr DWORD STRING_READ_BUFFER = 512;

// The pipe users' settings (product key "Escape Char", "Terminal Type", "Prompt").
struct RemoteSettings {
    ByteString escape;
    std::string terminal_type;
    std::string prompt;

    bool operator==(const RemoteSettings&) const = default;
};

struct RemoteSettingsPair {
    RemoteSettings saved;
    RemoteSettings current;
};

struct PortSettings;

// The capability masks of one device as the device reports them.
struct PortCaps {
    std::uint32_t baud_mask = 0xEFFFFFFF;  // every bit but BAUD_USER
    std::uint16_t data_bits_mask = 0xFFFF;
    std::uint16_t stop_parity_mask = 0xFFFF;
    std::uint32_t settable_params = 0xFFFFFFFF;
    std::uint32_t provider_caps = 0xFFFFFFFF;

    // Reads the five "Cap ..." values, stopping at the first failure (reported).
    bool ReadCaps(const reg::Key& key);
    // Writes the five masks, stopping at the first failure (reported).
    bool WriteCaps(const reg::Key& key) const;
    // Opens the device and takes its masks; false without a message when the
    // device cannot be opened, with a message when its properties cannot be read.
    bool QueryDeviceCaps(std::string_view com_name);
    // ANDs each mask with the other's.
    void IntersectCaps(const PortCaps& other);
    // Whether `settings` can be applied on a device with these capabilities.
    bool settings_fit_caps(const PortSettings& settings) const;

    bool operator==(const PortCaps&) const = default;
};

// Writes the six session values ("AutoOpen" to "Modem Init", which the
// utility has no controls for) as zero or empty, stopping at the first
// failure (reported with the value's name). Done for a new port key only: a
// capability refresh leaves the values an administrator set.
bool write_session_defaults(const reg::Key& key);

// One port's settings: the saved copy (as in the port key) or the current copy
// (as edited).
struct PortSettings {
    std::string port_name;           // COM name
    std::uint32_t baud = 0;          // one BAUD_* bit, 0 = unknown
    std::uint16_t data_bits = 0;     // one DATABITS_* bit, 0 = unknown
    std::uint16_t stop_parity = 0;   // low byte STOPBITS_* bit, high byte PARITY_* bit
    std::uint32_t flow_control = 0;  // 0 none, 1 Xon/Xoff, 2 Dtr/Dsr, 3 Rts/Cts, 4 hardware
    ByteString escape;               // default 0x1D
    std::string terminal_type;
    ByteString xon;                  // default 0x11
    ByteString xoff;                 // default 0x13
    std::uint32_t device_flags = 0;  // "Device Flags" bits

    PortSettings();

    // The eleven settings values in their order, stopping at the first failure
    // (reported); fields read before a failure keep their new values.
    bool ReadSettings(const reg::Key& key);
    bool WriteSettings(const reg::Key& key) const;
    // Takes the line settings from the device's current state (or 9600 8N1 and
    // no flow control when it cannot be read) and writes the settings.
    bool InitFromDevice(const reg::Key& key, std::string_view com_name, std::uint32_t device_flags);

    bool operator==(const PortSettings&) const = default;
};

// The settings of an edit that reach the ports: one flag per setting (the
// local port dialog ticks them).
struct SettingsChoice {
    bool baud = false;
    bool data_bits = false;
    bool stop_bits = false;
    bool parity = false;
    bool flow_control = false;
    bool escape = false;
    bool terminal_type = false;
    bool xon = false;
    bool xoff = false;
};

// One serial port known to the utility. Owned by the database's map.
class CPortRecord {
  public:
    // Bits of `flags`.
    static constexpr std::uint32_t CHANGED = 0x1;  // current settings must be saved
    static constexpr std::uint32_t PRESENT = 0x2;  // listed in SERIALCOMM during this run

    explicit CPortRecord(std::string nt_device_name);
    virtual ~CPortRecord();
    CPortRecord(const CPortRecord&) = delete;
    CPortRecord& operator=(const CPortRecord&) = delete;

    // Creates (or opens and overwrites) the port key for a newly listed device.
    bool CreatePortKey(std::string_view product_key_path, std::string_view com_name);
    // Rewrites the saved settings when the device's COM name changed.
    bool UpdateComName(std::string_view product_key_path, std::string_view com_name);
    // Deletes the port key (no message; the caller reports).
    bool DeletePortKey(std::string_view product_key_path);

    // Copies the chosen settings of `values` into the current settings (stop
    // bits and parity each into its own half of the stop/parity word, the
    // other half keeping the port's value), then decides whether the service
    // manages the port: DEVICE_NOT_MANAGED cleared when the port's own
    // capabilities take the result, set otherwise. No other flag changes.
    void ApplySettings(const PortSettings& values, const SettingsChoice& chosen);

    // product key path, a backslash, the NT device name.
    std::string port_key_path(std::string_view product_key_path) const;

    bool changed() const { return (flags & CHANGED) != 0; }
    bool present() const { return (flags & PRESENT) != 0; }
    void set_changed() { flags |= CHANGED; }

    std::uint32_t flags = 0;
    PortCaps caps;
    PortSettings saved;
    PortSettings current;
    std::string device_name;  // NT device name: port key name and map key
};

// --- registry numbers <-> in-memory bits ------------------------------------------------

std::uint32_t baud_rate_to_bit(std::uint32_t rate);  // 0 when not in the table
std::uint32_t baud_bit_to_rate(std::uint32_t bit);   // 0 when not in the table
std::uint16_t data_bits_to_bit(std::uint32_t bits);  // 5, 6, 7, 8, 16
std::uint32_t data_bits_bit_to_number(std::uint16_t bit);
std::uint16_t stop_bits_to_bit(std::uint32_t code);       // 0 -> 0x01, 1 -> 0x02, 2 -> 0x04
std::uint32_t stop_bits_code(std::uint16_t stop_parity);  // from the low byte
std::uint16_t parity_to_bit(std::uint32_t code);          // 0 -> 0x0100 ... 4 -> 0x1000
std::uint32_t parity_code(std::uint16_t stop_parity);     // from the high byte

// --- byte strings as hexadecimal text ----------------------------------------------------

// At most this many bytes are shown.
inline constexpr std::size_t HEX_DISPLAY_LIMIT = 127;

// Two lower-case hex digits per byte; bytes past the 127th are left out.
std::string bytes_to_hex(std::string_view bytes);
// Pairs of hex digits (either case) to bytes; a 00 pair, a non-hex character or
// an odd length fails and leaves `target` unchanged. An empty text succeeds and
// leaves `target` unchanged.
bool hex_to_bytes(std::string_view text, ByteString& target);

}  // namespace varolan::util
