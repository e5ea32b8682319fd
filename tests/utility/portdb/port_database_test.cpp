// Loading, synchronising and saving the configuration against a private store,
// device map and fake serial lines.
#include <gtest/gtest.h>

#include "tests/utility/portdb/port_db_fixture.h"
#include "utility/portdb/port_database.h"

namespace varolan::util {
namespace {

using Db = PortDbFixture;

TEST_F(Db, LoadsRemoteSettingsAndKnownPorts) {
    store_remote("\x1d\x1b", "VT220", "Gateway");
    store_port("ttyS0", "ttyS0");
    set_device_map({{"ttyS0", "ttyS0"}});
    add_device("ttyS0");

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty()) << sink_.texts()[0];
    EXPECT_FALSE(db.modified());
    EXPECT_EQ(db.product_key_path, "SOFTWARE\\Brismoor\\Varolan\\Version 1.3");
    EXPECT_EQ(db.remote.saved.escape, "\x1d\x1b");
    EXPECT_EQ(db.remote.saved.terminal_type, "VT220");
    EXPECT_EQ(db.remote.saved.prompt, "Gateway");
    EXPECT_EQ(db.remote.current, db.remote.saved);

    ASSERT_EQ(db.ports.size(), 1u);
    const CPortRecord* r = db.find("ttyS0");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, CPortRecord::PRESENT);
    EXPECT_EQ(r->saved.port_name, "ttyS0");
    EXPECT_EQ(r->saved.baud, 0x0800u);
    EXPECT_EQ(r->saved.data_bits, 0x0008);
    EXPECT_EQ(r->saved.stop_parity, 0x0101);
    EXPECT_EQ(r->saved.flow_control, 1u);
    EXPECT_EQ(r->saved.terminal_type, "VT100");
    EXPECT_EQ(r->caps.baud_mask, 0x0800u);
    EXPECT_EQ(r->caps.provider_caps, 0x10u);
    EXPECT_EQ(r->current, r->saved);
    EXPECT_EQ(dword(kProduct, "Number of Ports"), 1u);
}

TEST_F(Db, WithoutTheProductKeyNothingLoads) {
    ASSERT_EQ(reg::delete_key(reg::hklm(), kProduct), ERROR_SUCCESS);
    CPortDatabase db;
    EXPECT_FALSE(db.loaded());
    EXPECT_EQ(sink_.texts(), std::vector<std::string>{msg(IDS_ERR_FIND_BASE)});
}

TEST_F(Db, WithoutSerialCommEveryPortKeyIsDeleted) {
    store_port("ttyS0", "ttyS0");
    store_port("ttyS1", "ttyS1", 0x100);
    reg::inject_fault(reg::Op::open_key, layout::SERIALCOMM_KEY, "", ERROR_FILE_NOT_FOUND, 0);

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty());
    EXPECT_TRUE(db.ports.empty());
    EXPECT_FALSE(key_exists(port_path("ttyS0")));
    EXPECT_FALSE(key_exists(port_path("ttyS1")));
    EXPECT_EQ(dword(kProduct, "Number of Ports"), 0u);
}

TEST_F(Db, UnreadablePortKeyIsLeftOutOrRefilled) {
    // ttyS0 is still listed: its key is refilled from the device. ttyS1 is not:
    // its key stays in the store, neither counted nor deleted.
    store_port("ttyS0", "ttyS0");
    store_port("ttyS1", "ttyS1");
    drop_value(port_path("ttyS0"), "Parity");
    drop_value(port_path("ttyS1"), "Cap Data Bit Mask");
    set_device_map({{"ttyS0", "ttyS0"}});
    add_device("ttyS0");

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_EQ(sink_.texts(), (std::vector<std::string>{
                                 msg(IDS_ERR_GET_SETTING_FIRST + 4),  // parity
                                 msg(IDS_ERR_READ_DEVICE_SETTINGS, "ttyS0"),
                                 msg(IDS_ERR_READ_LOCAL_INFO, "ttyS0"),
                                 msg(IDS_ERR_GET_CAP_DATABITS),
                                 msg(IDS_ERR_READ_DEVICE_CAPS, "ttyS1"),
                                 msg(IDS_ERR_READ_LOCAL_INFO, "ttyS1"),
                             }));
    ASSERT_EQ(db.ports.size(), 1u);
    const CPortRecord* r = db.find("ttyS0");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->saved.device_flags, 0x100u);
    EXPECT_EQ(dword(port_path("ttyS0"), "Parity"), 2u);  // from the line state: even
    EXPECT_EQ(dword(port_path("ttyS0"), "Device Flags"), 0x100u);
    EXPECT_EQ(dword(port_path("ttyS0"), "AutoOpen"), 0u);
    EXPECT_TRUE(key_exists(port_path("ttyS1")));
    EXPECT_EQ(dword(port_path("ttyS1"), "Baud Rate"), 9600u);
    EXPECT_EQ(dword(kProduct, "Number of Ports"), 1u);
}

TEST_F(Db, ChangedComNameRewritesAllElevenValues) {
    store_port("usb-1", "ttyUSB0");
    // Values that do not survive the trip through memory show the rewrite.
    put_dword(port_path("usb-1"), "Baud Rate", 12345);
    put_dword(port_path("usb-1"), "Stop Bits", 7);
    put_dword(port_path("usb-1"), "Device Flags", 0x08);
    set_device_map({{"usb-1", "ttyUSB1"}});
    add_device("ttyUSB1");

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty());
    const std::string p = port_path("usb-1");
    EXPECT_EQ(text(p, "Port Name"), "ttyUSB1");
    EXPECT_EQ(dword(p, "Baud Rate"), 0u);
    EXPECT_EQ(dword(p, "Stop Bits"), 0u);
    EXPECT_EQ(dword(p, "Data Bits"), 8u);
    EXPECT_EQ(dword(p, "Flow Control"), 1u);
    EXPECT_EQ(text(p, "Terminal Type"), "VT100");
    EXPECT_EQ(dword(p, "Device Flags"), 0x08u);
    // The capabilities and the session values are left alone.
    EXPECT_EQ(dword(p, "Cap Baud Mask"), 0x0800u);
    EXPECT_EQ(dword(p, "AutoOpen"), 3u);
    EXPECT_EQ(db.find("usb-1")->current.port_name, "ttyUSB1");
}

TEST_F(Db, NewDeviceThatCannotBeOpenedGetsDefaults) {
    set_device_map({{"ttyS4", "ttyS4"}});  // no such line

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty());
    const std::string p = port_path("ttyS4");
    EXPECT_EQ(dword(p, "Cap Baud Mask"), 0xEFFFFFFFu);
    EXPECT_EQ(dword(p, "Cap Data Bit Mask"), 0xFFFFu);
    EXPECT_EQ(dword(p, "Cap Stop Parity Mask"), 0xFFFFu);
    EXPECT_EQ(dword(p, "Cap Settable Params"), 0xFFFFFFFFu);
    EXPECT_EQ(dword(p, "Cap Providers Capabilities"), 0xFFFFFFFFu);
    EXPECT_EQ(dword(p, "Baud Rate"), 9600u);
    EXPECT_EQ(dword(p, "Data Bits"), 8u);
    EXPECT_EQ(dword(p, "Stop Bits"), 0u);
    EXPECT_EQ(dword(p, "Parity"), 0u);
    EXPECT_EQ(dword(p, "Flow Control"), 0u);
    EXPECT_EQ(dword(p, "Device Flags"), 0x300u);
    EXPECT_EQ(text(p, "Port Name"), "ttyS4");
    EXPECT_EQ(text(p, "Escape Char"), "\x1d");
    EXPECT_EQ(text(p, "Xon Char"), "\x11");
    EXPECT_EQ(text(p, "Xoff Char"), "\x13");
    EXPECT_EQ(text(p, "Terminal Type"), "");
    // The six session values, empty or zero.
    DWORD type = 0;
    EXPECT_EQ(raw(p, "Login Script", &type)->size(), 0u);
    EXPECT_EQ(type, reg::REG_MULTI_SZ);
    EXPECT_EQ(raw(p, "Modem Init")->size(), 0u);
    EXPECT_EQ(raw(p, "AutoOpen Computer Name")->size(), 0u);
    EXPECT_EQ(dword(p, "AutoOpen"), 0u);
    EXPECT_EQ(dword(p, "Login Script Delay"), 0u);
    EXPECT_EQ(dword(p, "Modem Delay"), 0u);
    const CPortRecord* r = db.find("ttyS4");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, CPortRecord::PRESENT);
    EXPECT_EQ(r->current.device_flags, 0x300u);
    EXPECT_EQ(dword(kProduct, "Number of Ports"), 1u);
}

TEST_F(Db, NewDeviceThatOpensTakesItsLineState) {
    set_device_map({{"ttyS0", "ttyS0"}, {"ttyS1", "ttyS1"}});
    auto line0 = add_device("ttyS0", 19200, 7, 2, 2);  // 19200 7E2
    add_device("ttyS1", 230400, 8, 0, 0);              // a rate outside the table

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty());
    const std::string p0 = port_path("ttyS0");
    EXPECT_EQ(dword(p0, "Baud Rate"), 19200u);
    EXPECT_EQ(dword(p0, "Data Bits"), 7u);
    EXPECT_EQ(dword(p0, "Stop Bits"), 2u);
    EXPECT_EQ(dword(p0, "Parity"), 2u);
    EXPECT_EQ(dword(p0, "Flow Control"), 1u);
    EXPECT_EQ(dword(p0, "Device Flags"), 0x100u);
    EXPECT_EQ(dword(p0, "Cap Baud Mask"), device_properties().dwSettableBaud);
    EXPECT_EQ(dword(p0, "Cap Providers Capabilities"), 0x13u);
    EXPECT_EQ(dword(port_path("ttyS1"), "Baud Rate"), 0u);
    EXPECT_EQ(db.find("ttyS1")->saved.baud, 0u);
    EXPECT_EQ(dword(kProduct, "Number of Ports"), 2u);
    // Every device opened was closed again and its line left as it was.
    EXPECT_FALSE(line0->is_open());
    EXPECT_TRUE(line0->log_of(serial::LineEvent::state_set).empty());
}

TEST_F(Db, CapabilitiesThatBecomeReadableAreRecordedAtLoadAndSessionValuesKept) {
    store_port("ttyS0", "ttyS0", 0x300);
    set_device_map({{"ttyS0", "ttyS0"}});
    add_device("ttyS0");
    // Session values an administrator set with the store tool.
    put_dword(port_path("ttyS0"), "AutoOpen", 3);
    put_dword(port_path("ttyS0"), "Modem Delay", 500);
    put_string(port_path("ttyS0"), "Modem Init", std::string("ATZ\0", 4), reg::REG_MULTI_SZ);
    const std::vector<std::uint8_t> init = {'A', 'T', 'Z', 0, 0};

    {
        CPortDatabase db;
        ASSERT_TRUE(db.loaded());
        EXPECT_TRUE(sink_.shown.empty());
        const std::string p = port_path("ttyS0");
        EXPECT_EQ(dword(p, "Cap Baud Mask"), device_properties().dwSettableBaud);
        EXPECT_EQ(dword(p, "Cap Stop Parity Mask"), 0x0505u);
        EXPECT_EQ(dword(p, "AutoOpen"), 3u);
        EXPECT_EQ(dword(p, "Modem Delay"), 500u);
        EXPECT_EQ(raw(p, "Modem Init"), init);
        // In memory only: the store keeps the bit until the settings are written.
        EXPECT_EQ(db.find("ttyS0")->saved.device_flags, 0x100u);
        EXPECT_EQ(db.find("ttyS0")->current.device_flags, 0x100u);
        EXPECT_EQ(dword(p, "Device Flags"), 0x300u);

        db.find("ttyS0")->set_changed();
        db.set_modified();
        EXPECT_TRUE(db.SaveAll());
        EXPECT_EQ(dword(p, "Device Flags"), 0x100u);
    }
    // Known capabilities are not asked for again.
    sink_.clear();
    put_dword(port_path("ttyS0"), "AutoOpen", 2);
    CPortDatabase again;
    ASSERT_TRUE(again.loaded());
    EXPECT_EQ(dword(port_path("ttyS0"), "AutoOpen"), 2u);
}

TEST_F(Db, NamesDifferingOnlyInCaseAreOnePort) {
    // Store key names are case-insensitive: the listed "TTYS0" is the stored
    // "ttyS0", so its key must be neither recreated nor deleted as stale.
    store_port("ttyS0", "ttyS0");
    put_dword(port_path("ttyS0"), "Baud Rate", 19200);
    set_device_map({{"TTYS0", "ttyS0"}});
    add_device("ttyS0");

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty());
    ASSERT_EQ(db.ports.size(), 1u);
    ASSERT_NE(db.find("TTYS0"), nullptr);
    EXPECT_TRUE(key_exists(port_path("ttyS0")));
    EXPECT_EQ(dword(port_path("ttyS0"), "Baud Rate"), 19200u);
    EXPECT_EQ(dword(kProduct, "Number of Ports"), 1u);
}

TEST_F(Db, SaveWritesOnlyWhatChanged) {
    store_remote("\x1d", "VT100", "");
    store_port("ttyS0", "ttyS0", 0x100);
    store_port("ttyS1", "ttyS1", 0x100);
    set_device_map({{"ttyS0", "ttyS0"}, {"ttyS1", "ttyS1"}});
    add_device("ttyS0");
    add_device("ttyS1");

    CPortDatabase db;
    ASSERT_TRUE(db.loaded());
    CPortRecord* r0 = db.find("ttyS0");
    r0->current.baud = 0x2000;
    r0->current.stop_parity = 0x0204;
    r0->current.escape = "\x1b";
    r0->current.device_flags = 0;
    r0->set_changed();
    db.find("ttyS1")->current.baud = 0x2000;  // edited but not marked changed
    db.remote.current.prompt = "Welcome";
    db.set_modified();

    ASSERT_TRUE(db.SaveAll());
    EXPECT_TRUE(sink_.shown.empty());
    EXPECT_EQ(dword(port_path("ttyS0"), "Baud Rate"), 19200u);
    EXPECT_EQ(dword(port_path("ttyS0"), "Stop Bits"), 2u);
    EXPECT_EQ(dword(port_path("ttyS0"), "Parity"), 1u);
    EXPECT_EQ(text(port_path("ttyS0"), "Escape Char"), "\x1b");
    EXPECT_EQ(dword(port_path("ttyS0"), "Device Flags"), 0u);
    EXPECT_EQ(dword(port_path("ttyS1"), "Baud Rate"), 9600u);
    EXPECT_EQ(text(kProduct, "Prompt"), "Welcome");
    EXPECT_EQ(text(kProduct, "Terminal Type"), "VT100");
    // Saving copies nothing back and clears no flag.
    EXPECT_EQ(r0->saved.baud, 0x0800u);
    EXPECT_TRUE(r0->changed());
    EXPECT_TRUE(db.modified());
}

TEST_F(Db, NothingChangedOrRevertedWritesNothing) {
    store_remote("\x1d", "VT100", "");
    store_port("ttyS0", "ttyS0");
    set_device_map({{"ttyS0", "ttyS0"}});
    add_device("ttyS0");
    CPortDatabase db;
    ASSERT_TRUE(db.loaded());

    // Any write, creation or deletion from here on would fail and be reported.
    reg::inject_fault(reg::Op::set_value, "", "", ERROR_ACCESS_DENIED, 0);
    reg::inject_fault(reg::Op::create_key, "", "", ERROR_ACCESS_DENIED, 0);
    reg::inject_fault(reg::Op::delete_key, "", "", ERROR_ACCESS_DENIED, 0);
    EXPECT_TRUE(db.SaveAll());

    CPortRecord* r = db.find("ttyS0");
    r->current.baud = 0x2000;
    r->set_changed();
    db.remote.current.prompt = "changed";
    db.set_modified();
    db.RevertToSaved();
    EXPECT_FALSE(db.modified());
    EXPECT_FALSE(r->changed());
    EXPECT_TRUE(r->present());
    EXPECT_EQ(r->current, r->saved);
    EXPECT_EQ(db.remote.current, db.remote.saved);
    EXPECT_TRUE(db.SaveAll());
    EXPECT_TRUE(sink_.shown.empty());
}

// The store checks access rights, but a step asking for more than it needs
// would pass unnoticed: each key is opened with exactly the rights its step
// names, in step order.
TEST_F(Db, KeysAreOpenedWithTheRightsOfTheirStep) {
    using reg::Op;
    struct Opened {
        Op op;
        std::string path;
        DWORD access;
        bool operator==(const Opened&) const = default;
    };
    std::vector<Opened> opened;
    const auto record = [&opened](Op op, const std::string& path, DWORD access) {
        opened.push_back({op, path, access});
    };
    // old0 is stale, ttyS0 now listed as ttyUSB0, ttyS1 new, ttyS2 without
    // capabilities that can now be read.
    store_port("old0", "ttyS7");
    store_port("ttyS0", "ttyS0");
    store_port("ttyS2", "ttyS2", 0x300);
    set_device_map({{"ttyS0", "ttyUSB0"}, {"ttyS1", "ttyS1"}, {"ttyS2", "ttyS2"}});
    add_device("ttyUSB0");
    add_device("ttyS1");
    add_device("ttyS2");

    const std::string p = "SOFTWARE\\Brismoor\\Varolan\\Version 1.3";
    const DWORD read_write = 0x2001F;
    const DWORD key_read = 0x20019;
    const DWORD key_write = 0x20006;
    const DWORD set_value = 0x0002;

    reg::set_open_observer(record);
    CPortDatabase db;
    reg::set_open_observer({});
    ASSERT_TRUE(db.loaded());
    EXPECT_TRUE(sink_.shown.empty()) << sink_.texts()[0];
    EXPECT_EQ(opened, (std::vector<Opened>{
                          {Op::open_key, p, read_write},             // read the configuration
                          {Op::open_key, p + "\\old0", read_write},  // each port key
                          {Op::open_key, p + "\\ttyS0", read_write},
                          {Op::open_key, p + "\\ttyS2", read_write},
                          {Op::open_key, "HARDWARE\\DEVICEMAP\\SERIALCOMM", key_read},
                          {Op::open_key, p + "\\ttyS0", set_value},    // new COM name
                          {Op::create_key, p + "\\ttyS1", key_write},  // new device
                          {Op::open_key, p + "\\ttyS2", key_write},    // capabilities refresh
                          {Op::open_key, p, key_write},                // "Number of Ports"
                      }));

    opened.clear();
    db.find("ttyS0")->set_changed();
    db.find("ttyS2")->set_changed();
    db.set_modified();
    reg::set_open_observer(record);
    EXPECT_TRUE(db.SaveAll());
    reg::set_open_observer({});
    EXPECT_EQ(opened, (std::vector<Opened>{
                          {Op::open_key, p, key_write},
                          {Op::open_key, p + "\\ttyS0", key_write},
                          {Op::open_key, p + "\\ttyS2", key_write},
                      }));
}

TEST_F(Db, BeginEditingCopiesSavedIntoCurrentKeepingFlags) {
    CPortDatabase db{CPortDatabase::NoLoad{}};
    auto record = std::make_unique<CPortRecord>("ttyS9");
    record->saved.port_name = "ttyS9";
    record->saved.baud = 0x0800;
    record->flags = CPortRecord::CHANGED;
    db.ports.emplace("ttyS9", std::move(record));
    db.remote.saved.prompt = "p";
    db.flags = CPortDatabase::MODIFIED;
    db.BeginEditing();
    EXPECT_EQ(db.find("ttyS9")->current, db.find("ttyS9")->saved);
    EXPECT_EQ(db.remote.current.prompt, "p");
    EXPECT_TRUE(db.find("ttyS9")->changed());
    EXPECT_TRUE(db.modified());
    EXPECT_FALSE(db.loaded());
}

}  // namespace
}  // namespace varolan::util
