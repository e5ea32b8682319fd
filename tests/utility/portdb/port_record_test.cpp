// Value conversions, defaults, hexadecimal text and capability checks of the
// port records (no store involved).
#include <gtest/gtest.h>

#include <string>

#include "utility/portdb/port_record.h"

namespace varolan::util {
namespace {

TEST(Conversions, BaudRatesMapToTheirBitsBothWays) {
    const struct {
        std::uint32_t rate;
        std::uint32_t bit;
    } table[] = {{75, 0x1},         {110, 0x2},      {150, 0x8},      {300, 0x10},
                 {600, 0x20},       {1200, 0x40},    {1800, 0x80},    {2400, 0x100},
                 {4800, 0x200},     {7200, 0x400},   {9600, 0x800},   {14400, 0x1000},
                 {19200, 0x2000},   {38400, 0x4000}, {56000, 0x8000}, {128000, 0x10000},
                 {115200, 0x20000}, {57600, 0x40000}};
    for (const auto& row : table) {
        EXPECT_EQ(baud_rate_to_bit(row.rate), row.bit) << row.rate;
        EXPECT_EQ(baud_bit_to_rate(row.bit), row.rate) << row.rate;
    }
    // 134.5 baud and rates outside the table have no bit; 0 writes as 0.
    EXPECT_EQ(baud_bit_to_rate(0x4), 0u);
    EXPECT_EQ(baud_rate_to_bit(134), 0u);
    EXPECT_EQ(baud_rate_to_bit(230400), 0u);
    EXPECT_EQ(baud_rate_to_bit(0), 0u);
    EXPECT_EQ(baud_bit_to_rate(0), 0u);
    EXPECT_EQ(baud_bit_to_rate(0x800 | 0x1000), 0u);
}

TEST(Conversions, DataStopAndParityCodes) {
    const std::uint32_t numbers[] = {5, 6, 7, 8, 16};
    std::uint16_t bit = 1;
    for (std::uint32_t n : numbers) {
        EXPECT_EQ(data_bits_to_bit(n), bit);
        EXPECT_EQ(data_bits_bit_to_number(bit), n);
        bit = static_cast<std::uint16_t>(bit << 1);
    }
    EXPECT_EQ(data_bits_to_bit(9), 0u);
    EXPECT_EQ(data_bits_bit_to_number(0x20), 0u);

    EXPECT_EQ(stop_bits_to_bit(0), 0x01);
    EXPECT_EQ(stop_bits_to_bit(1), 0x02);
    EXPECT_EQ(stop_bits_to_bit(2), 0x04);
    EXPECT_EQ(stop_bits_to_bit(3), 0);
    EXPECT_EQ(stop_bits_code(0x0102), 1u);
    EXPECT_EQ(stop_bits_code(0x0104), 2u);
    EXPECT_EQ(stop_bits_code(0x0101), 0u);
    EXPECT_EQ(stop_bits_code(0x0100), 0u);  // no stop bit writes as one

    const std::uint16_t parity_bits[] = {0x0100, 0x0200, 0x0400, 0x0800, 0x1000};
    for (std::uint32_t code = 0; code < 5; ++code) {
        EXPECT_EQ(parity_to_bit(code), parity_bits[code]);
        EXPECT_EQ(parity_code(static_cast<std::uint16_t>(parity_bits[code] | 0x01)), code);
    }
    EXPECT_EQ(parity_to_bit(5), 0);
    EXPECT_EQ(parity_code(0x0001), 0u);
}

TEST(Defaults, ValueTypesStartAsDocumented) {
    const PortSettings s;
    EXPECT_EQ(s.port_name, "");
    EXPECT_EQ(s.baud, 0u);
    EXPECT_EQ(s.data_bits, 0u);
    EXPECT_EQ(s.stop_parity, 0u);
    EXPECT_EQ(s.flow_control, 0u);
    EXPECT_EQ(s.escape, "\x1d");
    EXPECT_EQ(s.xon, "\x11");
    EXPECT_EQ(s.xoff, "\x13");
    EXPECT_EQ(s.terminal_type, "");
    EXPECT_EQ(s.device_flags, 0u);

    const PortCaps c;
    EXPECT_EQ(c.baud_mask, 0xEFFFFFFFu);
    EXPECT_EQ(c.data_bits_mask, 0xFFFF);
    EXPECT_EQ(c.stop_parity_mask, 0xFFFF);
    EXPECT_EQ(c.settable_params, 0xFFFFFFFFu);
    EXPECT_EQ(c.provider_caps, 0xFFFFFFFFu);

    const RemoteSettings r;
    EXPECT_TRUE(r.escape.empty() && r.terminal_type.empty() && r.prompt.empty());

    const CPortRecord record("ttyS0");
    EXPECT_EQ(record.flags, 0u);
    EXPECT_EQ(record.device_name, "ttyS0");
    EXPECT_EQ(record.port_key_path("SOFTWARE\\X"), "SOFTWARE\\X\\ttyS0");
}

TEST(Hex, BytesShowAsLowerCasePairs) {
    EXPECT_EQ(bytes_to_hex(""), "");
    EXPECT_EQ(bytes_to_hex("\x1d\x1b"), "1d1b");
    EXPECT_EQ(bytes_to_hex("\xff\x01"), "ff01");
    // At most 127 bytes are shown; later bytes are left out.
    std::string expected;
    for (int i = 0; i < 127; ++i) {
        expected += "41";
    }
    EXPECT_EQ(bytes_to_hex(std::string(200, '\x41')), expected);
    EXPECT_EQ(bytes_to_hex(std::string(127, '\x41')), expected);
}

TEST(Hex, TextConvertsBackOrLeavesTheTargetAlone) {
    const struct {
        const char* text;
        bool ok;
        const char* bytes;  // target afterwards (starts as "\x7f")
    } table[] = {
        {"1d1b", true, "\x1d\x1b"}, {"1D1B", true, "\x1d\x1b"}, {"1d", true, "\x1d"},
        {"", true, "\x7f"},                                 // empty: success, unchanged
        {"1d1", false, "\x7f"},                             // odd length
        {"1", false, "\x7f"},       {"00", false, "\x7f"},  // a NUL byte is refused
        {"1d00", false, "\x7f"},    {"1G", false, "\x7f"},      {"zz", false, "\x7f"},
        {" 1d", false, "\x7f"},     {"fF", true, "\xff"},
    };
    for (const auto& row : table) {
        ByteString target = "\x7f";
        EXPECT_EQ(hex_to_bytes(row.text, target), row.ok) << row.text;
        EXPECT_EQ(target, row.bytes) << row.text;
    }
}

TEST(Caps, IntersectAndsEveryMask) {
    PortCaps a;
    PortCaps b;
    b.baud_mask = 0x0800 | 0x2000;
    b.data_bits_mask = 0x000C;
    b.stop_parity_mask = 0x0105;
    b.settable_params = 0x1F;
    b.provider_caps = 0x13;
    a.IntersectCaps(b);
    EXPECT_EQ(a, b);
    PortCaps c;
    c.baud_mask = 0x0800;
    c.provider_caps = 0x20;
    a.IntersectCaps(c);
    EXPECT_EQ(a.baud_mask, 0x0800u);
    EXPECT_EQ(a.provider_caps, 0u);
}

TEST(Caps, SettingsFitRulesInOrder) {
    PortCaps caps;
    caps.baud_mask = 0x0800;         // 9600 only
    caps.data_bits_mask = 0x0008;    // 8 only
    caps.stop_parity_mask = 0x0101;  // one stop bit, no parity
    caps.settable_params = 0x0F;     // parity, baud, data bits, stop bits
    caps.provider_caps = 0;          // no handshake, no Xon/Xoff

    PortSettings fits;
    fits.baud = 0x0800;
    fits.data_bits = 0x0008;
    fits.stop_parity = 0x0101;
    fits.flow_control = 0;

    const struct {
        const char* what;
        void (*change)(PortSettings&);
        bool fit;
    } table[] = {
        {"as they are", [](PortSettings&) {}, true},
        {"other baud", [](PortSettings& s) { s.baud = 0x2000; }, false},
        {"unknown baud", [](PortSettings& s) { s.baud = 0; }, false},
        {"other data bits", [](PortSettings& s) { s.data_bits = 0x0004; }, false},
        {"two stop bits", [](PortSettings& s) { s.stop_parity = 0x0104; }, false},
        {"even parity", [](PortSettings& s) { s.stop_parity = 0x0401; }, false},
        {"Xon/Xoff", [](PortSettings& s) { s.flow_control = 1; }, false},
        {"Dtr/Dsr", [](PortSettings& s) { s.flow_control = 2; }, true},
        {"Rts/Cts", [](PortSettings& s) { s.flow_control = 3; }, true},
        {"hardware", [](PortSettings& s) { s.flow_control = 4; }, false},
    };
    for (const auto& row : table) {
        PortSettings s = fits;
        row.change(s);
        EXPECT_EQ(caps.settings_fit_caps(s), row.fit) << row.what;
    }

    // Stop bits and parity share one mask (stop bits in the low byte, parity
    // in the high byte) and are checked each on its own: with only one of
    // them settable, only that half counts.
    const struct {
        const char* what;
        std::uint32_t settable;
        std::uint16_t stop_parity;
        bool fit;
    } halves[] = {
        {"stop bits settable, parity odd", 0x08, 0x0201, true},
        {"stop bits settable, two stop bits", 0x08, 0x0104, false},
        {"parity settable, two stop bits", 0x01, 0x0104, true},
        {"parity settable, parity odd", 0x01, 0x0201, false},
    };
    for (const auto& row : halves) {
        PortCaps one = caps;
        one.settable_params = row.settable;
        PortSettings s = fits;
        s.stop_parity = row.stop_parity;
        EXPECT_EQ(one.settings_fit_caps(s), row.fit) << row.what;
    }

    // A setting the device cannot set is not checked at all.
    PortCaps lax = caps;
    lax.settable_params = 0;
    PortSettings odd = fits;
    odd.baud = 0x2000;
    odd.stop_parity = 0x0404;
    EXPECT_TRUE(lax.settings_fit_caps(odd));
    // Handshake and Xon/Xoff bits accept the flow controls that need them.
    PortCaps shake = caps;
    shake.provider_caps = 0x02 | 0x10;
    PortSettings hw = fits;
    hw.flow_control = 4;
    EXPECT_TRUE(shake.settings_fit_caps(hw));
    hw.flow_control = 1;
    EXPECT_TRUE(shake.settings_fit_caps(hw));
}

TEST(Record, ApplySettingsTakesTheChosenOnesAndDecidesManagement) {
    CPortRecord port("ttyS0");
    port.caps.baud_mask = 0x0800 | 0x2000;                  // 9600, 19200
    port.caps.data_bits_mask = 0x0008;                      // 8
    port.caps.stop_parity_mask = 0x0001 | 0x0004 | 0x0300;  // 1 or 2 stop bits; none, odd
    port.caps.settable_params = 0x0F;
    port.caps.provider_caps = 0x10;  // Xon/Xoff
    PortSettings before;
    before.baud = 0x0800;
    before.data_bits = 0x0008;
    before.stop_parity = 0x0101;
    before.flow_control = 0;
    before.escape = "\x1d";
    before.terminal_type = "vt100";
    before.device_flags = 0x100 | 0x08;  // not managed, and a baud error seen by the service

    PortSettings values;
    values.baud = 0x2000;
    values.data_bits = 0x0004;  // 7: the port cannot
    values.stop_parity = 0x0204;
    values.flow_control = 1;
    values.escape = "\x1b";
    values.terminal_type = "ansi";
    values.xon = "\x01";
    values.xoff = "\x02";

    const struct {
        const char* what;
        SettingsChoice chosen;
        void (*expect)(PortSettings&);  // turns `before` into the result
    } rows[] = {
        {"nothing", {}, [](PortSettings& s) { s.device_flags = 0x08; }},
        {"parity alone keeps the stop bits",
         {.parity = true},
         [](PortSettings& s) {
             s.stop_parity = 0x0201;
             s.device_flags = 0x08;
         }},
        {"stop bits alone keep the parity",
         {.stop_bits = true},
         [](PortSettings& s) {
             s.stop_parity = 0x0104;
             s.device_flags = 0x08;
         }},
        {"data bits the port cannot take",
         {.data_bits = true},
         [](PortSettings& s) { s.data_bits = 0x0004; }},
        {"every setting",
         {true, true, true, true, true, true, true, true, true},
         [](PortSettings& s) {
             s.baud = 0x2000;
             s.data_bits = 0x0004;
             s.stop_parity = 0x0204;
             s.flow_control = 1;
             s.escape = "\x1b";
             s.terminal_type = "ansi";
             s.xon = "\x01";
             s.xoff = "\x02";
         }},
    };
    for (const auto& row : rows) {
        port.current = before;
        port.ApplySettings(values, row.chosen);
        PortSettings wanted = before;
        row.expect(wanted);
        EXPECT_EQ(port.current, wanted) << row.what;
    }
}

}  // namespace
}  // namespace varolan::util
