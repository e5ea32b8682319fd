// The volatile SERIALCOMM key, the sysfs scan and fault injection.

#include <filesystem>

#include "tests/platform/registry/store_fixture.h"

namespace varolan::test {
namespace {

using namespace varolan::reg;
namespace fs = std::filesystem;

class DeviceMapTest : public StoreTest {
  protected:
    std::vector<std::pair<std::string, std::string>> listed(const Key& key) {
        std::vector<std::pair<std::string, std::string>> out;
        std::string name;
        DWORD type = 0;
        std::vector<std::uint8_t> data;
        for (DWORD i = 0; enum_value(key, i, name, &type, &data) == 0; ++i) {
            EXPECT_EQ(type, REG_SZ);
            EXPECT_FALSE(data.empty());
            EXPECT_EQ(data.back(), 0);
            out.emplace_back(name, std::string(data.begin(), data.end() - 1));
        }
        return out;
    }
    using Ports = std::vector<std::pair<std::string, std::string>>;
};

TEST_F(DeviceMapTest, FileFormListsPortsInFileOrder) {
    // Each name becomes a port key's name: a separator in it would make nested
    // keys, and a key name holds at most 255 characters.
    const std::string longest(255, 'L');
    write_file(dir_.str("devicemap"),
               "# ports of this machine\n"
               "Serial0=ttyS0\n"
               "\n"
               "  Pty One = pts/3  \r\n"
               "not a line\n"
               "=ttyS9\n"
               "Empty=\n"
               "serial0=ttyS5\n"
               "\\Device\\Serial1=ttyS1\n"
               "Back\\=ttyS2\n" +
                   std::string(256, 'M') + "=ttyS3\n" + longest + "=ttyS4\n" +
                   "usb-FTDI-if00=ttyUSB0");
    Key key;
    ASSERT_EQ(open_key(hklm(), "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, key), 0);
    EXPECT_EQ(listed(key), (Ports{{"Serial0", "ttyS0"},
                                  {"Pty One", "pts/3"},
                                  {longest, "ttyS4"},
                                  {"usb-FTDI-if00", "ttyUSB0"}}));
    std::uint8_t buf[256];
    DWORD size = sizeof buf;
    DWORD type = 0;
    ASSERT_EQ(query_value(key, "PTY ONE", &type, buf, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "pts/3");
    EXPECT_EQ(query_value(key, "ttyS0", &type, buf, &size), (LONG)ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceMapTest, KeyIsReadOnlyAndMadeAtOpen) {
    write_file(dir_.str("devicemap"), "A=ttyS0\n");
    Key key;
    ASSERT_EQ(create_key(hklm(), "hardware\\devicemap\\serialcomm", KEY_ALL_ACCESS, key), 0);
    std::uint8_t one = 1;
    EXPECT_EQ(set_value(key, "A", REG_SZ, &one, 1), (LONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(set_value(key, "B", REG_SZ, &one, 1), (LONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(delete_value(key, "A"), (LONG)ERROR_ACCESS_DENIED);
    Key sub;
    EXPECT_EQ(create_key(key, "Sub", KEY_ALL_ACCESS, sub), (LONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(create_key(hklm(), "HARDWARE\\Other", KEY_ALL_ACCESS, sub),
              (LONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_key(key, "Sub", KEY_READ, sub), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(delete_key(hklm(), "HARDWARE\\DEVICEMAP\\SERIALCOMM"), (LONG)ERROR_ACCESS_DENIED);
    EXPECT_EQ(delete_key(hklm(), "HARDWARE"), (LONG)ERROR_ACCESS_DENIED);

    // A handle keeps the list it was opened with; the next open sees the change.
    write_file(dir_.str("devicemap"), "B=ttyS1\n");
    EXPECT_EQ(listed(key), (Ports{{"A", "ttyS0"}}));
    Key again;
    ASSERT_EQ(open_key(hklm(), "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, again), 0);
    EXPECT_EQ(listed(again), (Ports{{"B", "ttyS1"}}));

    // A missing file gives an empty list, not a missing key.
    fs::remove(dir_.str("devicemap"));
    ASSERT_EQ(open_key(hklm(), "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, again), 0);
    EXPECT_TRUE(listed(again).empty());
}

TEST_F(DeviceMapTest, HardwareTreeIsReachableByEnumeration) {
    create("Software");
    Key root;
    ASSERT_EQ(open_key(hklm(), "", KEY_READ, root), 0);
    EXPECT_EQ(subkeys(root), (std::vector<std::string>{"HARDWARE", "Software"}));
    Key hw;
    ASSERT_EQ(open_key(hklm(), "Hardware", KEY_READ, hw), 0);
    EXPECT_EQ(subkeys(hw), std::vector<std::string>{"DEVICEMAP"});
    Key map;
    ASSERT_EQ(open_key(hw, "DeviceMap", KEY_READ, map), 0);
    EXPECT_EQ(subkeys(map), std::vector<std::string>{"SERIALCOMM"});
}

class SysfsScanTest : public ::testing::Test {
  protected:
    // One tty in the fake sysfs: `driver` makes it real, `type` is the
    // serial core's port type file (empty = none).
    void tty(const std::string& name, bool driver, const std::string& type = "") {
        fs::path entry = dir_.path() / "sys/class/tty" / name;
        fs::create_directories(entry / "device");
        if (driver) {
            fs::create_directories(dir_.path() / "sys/bus/drivers/fake");
            fs::create_directory_symlink(dir_.path() / "sys/bus/drivers/fake",
                                         entry / "device" / "driver");
        }
        if (!type.empty()) {
            FILE* f = std::fopen((entry / "type").c_str(), "w");
            std::fputs(type.c_str(), f);
            std::fclose(f);
        }
    }
    void link(const std::string& dir, const std::string& name, const std::string& tty) {
        fs::path d = dir_.path() / "dev/serial" / dir;
        fs::create_directories(d);
        fs::create_symlink("../../" + tty, d / name);
    }
    std::vector<SerialPort> scan() { return scan_serial_ports(dir_.str("sys"), dir_.str("dev")); }
    TempDir dir_;
};

TEST_F(SysfsScanTest, KeepsRealPortsNamedByStableIdentity) {
    tty("ttyS0", true, "4\n");
    tty("ttyS1", true, "0\n");  // placeholder without a UART
    tty("ttyS2", true, "4");
    tty("ttyS10", true, "4");
    tty("tty0", false);  // a console: no driver
    tty("ttyUSB0", true);
    tty("ttyUSB1", true);
    tty("ttyACM0", true);
    link("by-id", "usb-FTDI_FT232R_A50285BI-if00-port0", "ttyUSB0");
    link("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0");
    link("by-path", "pci-0000:00:14.0-usb-0:2:1.0", "ttyACM0");
    link("by-id", "usb-Odd\\Name-if00", "ttyUSB1");  // not usable as a key name
    std::vector<std::pair<std::string, std::string>> got;
    for (const SerialPort& p : scan()) {
        got.emplace_back(p.name, p.tty);
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{
                       {"pci-0000:00:14.0-usb-0:2:1.0", "ttyACM0"},
                       {"ttyS0", "ttyS0"},
                       {"ttyS2", "ttyS2"},
                       {"ttyS10", "ttyS10"},
                       {"usb-FTDI_FT232R_A50285BI-if00-port0", "ttyUSB0"},
                       {"ttyUSB1", "ttyUSB1"},
                   }));
}

TEST_F(SysfsScanTest, MissingTreeGivesNoPorts) {
    EXPECT_TRUE(scan().empty());
}

class FaultTest : public StoreTest {};

TEST_F(FaultTest, MatchesOperationKeyAndValue) {
    Key key = create("Software\\X");
    inject_fault(Op::set_value, "\\software\\x\\", "V", ERROR_CANTWRITE);
    EXPECT_EQ(set(key, "other", REG_DWORD, dword(1)), 0);
    Key other = create("Software\\Y");
    EXPECT_EQ(set(other, "v", REG_DWORD, dword(1)), 0);
    EXPECT_EQ(set(key, "v", REG_DWORD, dword(1)), (LONG)ERROR_CANTWRITE);
    EXPECT_EQ(set(key, "v", REG_DWORD, dword(1)), 0);  // count 1: the next call goes through

    inject_fault(Op::query_value, "", "", ERROR_ACCESS_DENIED, 0);
    DWORD size = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(query_value(other, "v", nullptr, nullptr, &size), (LONG)ERROR_ACCESS_DENIED);
    }
    clear_faults();
    EXPECT_EQ(query_value(other, "v", nullptr, nullptr, &size), 0);

    inject_fault(Op::open_key, "HARDWARE\\DEVICEMAP\\SERIALCOMM", "", ERROR_FILE_NOT_FOUND, 2);
    Key map;
    EXPECT_EQ(open_key(hklm(), "HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, map),
              (LONG)ERROR_FILE_NOT_FOUND);
    Key hw;
    ASSERT_EQ(open_key(hklm(), "HARDWARE\\DEVICEMAP", KEY_READ, hw), 0);
    EXPECT_EQ(open_key(hw, "SERIALCOMM", KEY_READ, map), (LONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_key(hw, "SERIALCOMM", KEY_READ, map), 0);

    struct Case {
        Op op;
        LONG (*call)(const Key&);
    };
    const Case cases[] = {
        {Op::create_key,
         [](const Key& k) {
             Key s;
             return create_key(k, "N", KEY_READ, s);
         }},
        {Op::enum_key,
         [](const Key& k) {
             std::string n;
             return enum_key(k, 0, n);
         }},
        {Op::enum_value,
         [](const Key& k) {
             std::string n;
             return enum_value(k, 0, n, nullptr, nullptr);
         }},
        {Op::delete_value, [](const Key& k) { return delete_value(k, "v"); }},
        {Op::delete_key, [](const Key&) { return delete_key(hklm(), "Software\\Y\\N"); }},
    };
    for (const Case& c : cases) {
        inject_fault(c.op, "", "", ERROR_GEN_FAILURE);
        EXPECT_EQ(c.call(other), (LONG)ERROR_GEN_FAILURE) << static_cast<int>(c.op);
        EXPECT_NE(c.call(other), (LONG)ERROR_GEN_FAILURE) << static_cast<int>(c.op);
    }
}

}  // namespace
}  // namespace varolan::test
