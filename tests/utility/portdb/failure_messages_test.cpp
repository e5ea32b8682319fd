// Every failure message of the port records and the configuration database,
// each produced by one injected failure at its step: the messages in their
// order, the result, and whether the operation went on or stopped.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/utility/portdb/port_db_fixture.h"
#include "utility/portdb/port_database.h"

namespace varolan::util {
namespace {

// The world every case starts from: the stored port "ttyS0" (listed), the new
// device "ttyS1" (listed), the pipe users' settings; optionally variations.
enum World : unsigned {
    kPlain = 0,
    kRenamed = 1,  // ttyS0 is now listed as ttyUSB0
    kNoCaps = 2,   // ttyS0 was stored without capabilities (0x300)
    kStale = 4,    // a stored port "old0" is no longer listed
};

enum class Phase {
    load,  // the fault is in place when the database is constructed
    step,  // after ReadConfiguration, the fault is put in place and one step runs
    save,  // after a clean load and edits of ttyS0, ttyS1 and the prompt
};

struct Case {
    std::string name;
    unsigned world;
    Phase phase;
    reg::Op op;
    std::string key;    // full key path; empty with `device_fault`
    std::string value;  // value name, empty = any
    std::vector<std::string> messages;
    bool result;  // loaded, the step's result or SaveAll's
    std::function<void(const CPortDatabase&)> then = {};
    std::function<bool(CPortDatabase&)> step = {};
    std::string device_fault = {};  // GetCommProperties of this COM name fails instead
};

const std::string kS0 = port_path("ttyS0");
const std::string kS1 = port_path("ttyS1");

// Checks shared by many cases.
std::string stored_text(const std::string& path, const char* name) {
    reg::Key key;
    if (reg::open_key(reg::hklm(), path, reg::KEY_READ, key) != ERROR_SUCCESS) {
        return "<no key>";
    }
    char data[512] = {};
    DWORD size = sizeof data;
    if (reg::query_value(key, name, nullptr, reinterpret_cast<std::uint8_t*>(data), &size) !=
        ERROR_SUCCESS) {
        return "<no value>";
    }
    return std::string(data);
}
std::uint32_t stored_dword(const std::string& path, const char* name) {
    reg::Key key;
    std::uint32_t v = 0xDEADBEEF;
    DWORD size = 4;
    if (reg::open_key(reg::hklm(), path, reg::KEY_READ, key) == ERROR_SUCCESS) {
        reg::query_value(key, name, nullptr, reinterpret_cast<std::uint8_t*>(&v), &size);
    }
    return v;
}
bool exists(const std::string& path) {
    reg::Key key;
    return reg::open_key(reg::hklm(), path, reg::KEY_READ, key) == ERROR_SUCCESS;
}

void new_port_left_out(const CPortDatabase& db) {
    EXPECT_EQ(db.find("ttyS1"), nullptr);
    ASSERT_NE(db.find("ttyS0"), nullptr);
    EXPECT_EQ(stored_dword(kProduct, "Number of Ports"), 1u);
}
void both_ports_loaded(const CPortDatabase& db) {
    ASSERT_NE(db.find("ttyS0"), nullptr);
    ASSERT_NE(db.find("ttyS1"), nullptr);
    EXPECT_EQ(stored_dword(kProduct, "Number of Ports"), 2u);
}
void ttys0_refilled(const CPortDatabase& db) {
    both_ports_loaded(db);
    EXPECT_EQ(db.find("ttyS0")->saved.device_flags, 0x100u);
    EXPECT_EQ(stored_dword(kS0, "AutoOpen"), 0u);
}
void load_stopped_early(const CPortDatabase&) {
    EXPECT_FALSE(exists(kS1));
}
void ports_saved(const CPortDatabase&) {
    EXPECT_EQ(stored_dword(kS1, "Baud Rate"), 115200u);
}

const char* const kSettingNames[] = {"Port Name", "Baud Rate",    "Data Bits",   "Stop Bits",
                                     "Parity",    "Flow Control", "Escape Char", "Terminal Type",
                                     "Xon Char",  "Xoff Char",    "Device Flags"};
const char* const kCapNames[] = {"Cap Baud Mask", "Cap Data Bit Mask", "Cap Stop Parity Mask",
                                 "Cap Settable Params", "Cap Providers Capabilities"};
const char* const kCapAndSessionNames[] = {"Cap Baud Mask",
                                           "Cap Data Bit Mask",
                                           "Cap Stop Parity Mask",
                                           "Cap Settable Params",
                                           "Cap Providers Capabilities",
                                           "AutoOpen",
                                           "AutoOpen Computer Name",
                                           "Login Script",
                                           "Login Script Delay",
                                           "Modem Delay",
                                           "Modem Init"};

std::vector<Case> cases() {
    using reg::Op;
    std::vector<Case> c;

    // --- reading the configuration ---
    c.push_back({"product key missing",
                 kPlain,
                 Phase::load,
                 Op::open_key,
                 kProduct,
                 "",
                 {msg(IDS_ERR_FIND_BASE)},
                 false,
                 load_stopped_early});
    for (const char* name : {"Escape Char", "Terminal Type", "Prompt"}) {
        c.push_back({std::string("remote ") + name,
                     kPlain,
                     Phase::load,
                     Op::query_value,
                     kProduct,
                     name,
                     {msg(IDS_ERR_READ_REMOTE, name)},
                     true,
                     [name = std::string(name)](const CPortDatabase& db) {
                         both_ports_loaded(db);
                         EXPECT_EQ(db.remote.saved.prompt, name == "Prompt" ? "" : "Hello");
                         EXPECT_EQ(db.remote.saved.terminal_type,
                                   name == "Terminal Type" ? "" : "VT220");
                     }});
    }
    c.push_back({"port key cannot be opened",
                 kPlain,
                 Phase::load,
                 Op::open_key,
                 kS0,
                 "",
                 {msg(IDS_ERR_OPEN_PORT_KEY, "ttyS0")},
                 false,
                 load_stopped_early});
    for (unsigned i = 0; i < 5; ++i) {
        c.push_back({std::string("read ") + kCapNames[i],
                     kPlain,
                     Phase::load,
                     Op::query_value,
                     kS0,
                     kCapNames[i],
                     {msg(IDS_ERR_GET_CAP_BAUD + i), msg(IDS_ERR_READ_DEVICE_CAPS, "ttyS0"),
                      msg(IDS_ERR_READ_LOCAL_INFO, "ttyS0")},
                     true,
                     ttys0_refilled});
    }
    for (unsigned i = 0; i < 11; ++i) {
        c.push_back(
            {std::string("read ") + kSettingNames[i],
             kPlain,
             Phase::load,
             Op::query_value,
             kS0,
             kSettingNames[i],
             {msg(IDS_ERR_GET_SETTING_FIRST + i), msg(IDS_ERR_READ_DEVICE_SETTINGS, "ttyS0"),
              msg(IDS_ERR_READ_LOCAL_INFO, "ttyS0")},
             true,
             ttys0_refilled});
    }

    // --- synchronising with the device map ---
    c.push_back({"no device map",
                 kPlain,
                 Phase::load,
                 Op::open_key,
                 layout::SERIALCOMM_KEY,
                 "",
                 {},
                 true,
                 [](const CPortDatabase& db) {
                     EXPECT_TRUE(db.ports.empty());
                     EXPECT_FALSE(exists(kS0));
                     EXPECT_EQ(stored_dword(kProduct, "Number of Ports"), 0u);
                 }});
    c.push_back({"renamed: rewrite refused",
                 kRenamed,
                 Phase::load,
                 Op::set_value,
                 kS0,
                 "Port Name",
                 {msg(IDS_ERR_SET_SETTING_FIRST), msg(IDS_ERR_SET_DEVICE_INFO, "ttyS0"),
                  msg(IDS_ERR_UPDATE_COM_NAME, "ttyS0")},
                 true,
                 [](const CPortDatabase& db) {
                     both_ports_loaded(db);
                     EXPECT_EQ(stored_text(kS0, "Port Name"), "ttyS0");
                 }});
    c.push_back({"renamed: flags rewrite refused",
                 kRenamed,
                 Phase::load,
                 Op::set_value,
                 kS0,
                 "Device Flags",
                 {msg(IDS_ERR_SET_SETTING_FIRST + 10), msg(IDS_ERR_SET_DEVICE_INFO, "ttyS0"),
                  msg(IDS_ERR_UPDATE_COM_NAME, "ttyS0")},
                 true,
                 both_ports_loaded});
    c.push_back({"renamed: port key cannot be opened",
                 kRenamed,
                 Phase::step,
                 Op::open_key,
                 kS0,
                 "",
                 {msg(IDS_ERR_OPEN_DEVICE_KEY, kS0), msg(IDS_ERR_UPDATE_COM_NAME, "ttyS0")},
                 true,
                 [](const CPortDatabase& db) { EXPECT_NE(db.find("ttyS1"), nullptr); },
                 [](CPortDatabase& db) { return db.SyncWithSerialComm(); }});
    c.push_back({"caps refresh: port key cannot be opened",
                 kNoCaps,
                 Phase::step,
                 Op::open_key,
                 kS0,
                 "",
                 {msg(IDS_ERR_OPEN_PORT_KEY, "ttyS0")},
                 true,
                 [](const CPortDatabase& db) {
                     EXPECT_EQ(db.find("ttyS0")->saved.device_flags, 0x300u);
                     EXPECT_NE(db.find("ttyS1"), nullptr);
                 },
                 [](CPortDatabase& db) { return db.SyncWithSerialComm(); }});
    // A refresh writes the five capability values only.
    for (unsigned i = 0; i < 5; ++i) {
        c.push_back({std::string("caps refresh: ") + kCapNames[i],
                     kNoCaps,
                     Phase::load,
                     Op::set_value,
                     kS0,
                     kCapNames[i],
                     {msg(IDS_ERR_SET_CAP_BAUD + i), msg(IDS_ERR_UPDATE_DEVICE_CAPS, "ttyS0")},
                     true,
                     [](const CPortDatabase& db) {
                         both_ports_loaded(db);
                         EXPECT_EQ(db.find("ttyS0")->saved.device_flags, 0x300u);
                     }});
    }
    c.push_back({"new device: key cannot be created",
                 kPlain,
                 Phase::load,
                 Op::create_key,
                 kS1,
                 "",
                 {msg(IDS_ERR_CREATE_DEVICE_KEY, kS1), msg(IDS_ERR_CREATE_REGISTRY, "ttyS1")},
                 true,
                 new_port_left_out});
    for (unsigned i = 0; i < 11; ++i) {
        c.push_back({std::string("new device: ") + kCapAndSessionNames[i],
                     kPlain,
                     Phase::load,
                     Op::set_value,
                     kS1,
                     kCapAndSessionNames[i],
                     {msg(IDS_ERR_SET_CAP_BAUD + i), msg(IDS_ERR_WRITE_CAPS_INFO, "ttyS1"),
                      msg(IDS_ERR_CREATE_REGISTRY, "ttyS1")},
                     true,
                     new_port_left_out});
    }
    for (unsigned i = 0; i < 11; ++i) {
        c.push_back({std::string("new device: ") + kSettingNames[i],
                     kPlain,
                     Phase::load,
                     Op::set_value,
                     kS1,
                     kSettingNames[i],
                     {msg(IDS_ERR_SET_SETTING_FIRST + i), msg(IDS_ERR_WRITE_LOCAL_INFO, "ttyS1"),
                      msg(IDS_ERR_CREATE_REGISTRY, "ttyS1")},
                     true,
                     new_port_left_out});
    }
    {
        Case d{"new device: properties unreadable",
               kPlain,
               Phase::load,
               Op::open_key,
               "",
               "",
               {msg(IDS_ERR_COMM_PROPERTIES, "ttyS1")},
               true,
               [](const CPortDatabase& db) {
                   both_ports_loaded(db);
                   EXPECT_EQ(stored_dword(kS1, "Device Flags"), 0x300u);
                   EXPECT_EQ(stored_dword(kS1, "Cap Baud Mask"), 0xEFFFFFFFu);
               }};
        d.device_fault = "ttyS1";
        c.push_back(d);
    }
    {
        // A port stored without capabilities whose properties still cannot be
        // read: reported, nothing rewritten, the flags keep DEVICE_NO_CAPS.
        Case d{"caps refresh: properties unreadable",
               kNoCaps,
               Phase::load,
               Op::open_key,
               "",
               "",
               {msg(IDS_ERR_COMM_PROPERTIES, "ttyS0")},
               true,
               [](const CPortDatabase& db) {
                   both_ports_loaded(db);
                   EXPECT_EQ(db.find("ttyS0")->saved.device_flags, 0x300u);
                   EXPECT_EQ(stored_dword(kS0, "Cap Baud Mask"), 0x00000800u);
                   EXPECT_EQ(stored_dword(kS0, "AutoOpen"), 3u);
               }};
        d.device_fault = "ttyS0";
        c.push_back(d);
    }

    // --- removing stale keys and counting ---
    c.push_back({"stale key cannot be deleted",
                 kStale,
                 Phase::load,
                 Op::delete_key,
                 port_path("old0"),
                 "",
                 {msg(IDS_ERR_DELETE_DEVICE_KEY, port_path("old0"))},
                 false,
                 [](const CPortDatabase&) { EXPECT_TRUE(exists(port_path("old0"))); }});
    c.push_back({"port count not written",
                 kPlain,
                 Phase::load,
                 Op::set_value,
                 kProduct,
                 "Number of Ports",
                 {msg(IDS_ERR_UPDATE_MAIN_REGISTRY)},
                 true,
                 [](const CPortDatabase& db) {
                     EXPECT_EQ(db.ports.size(), 2u);
                     EXPECT_EQ(db.find("ttyS0")->current, db.find("ttyS0")->saved);
                 }});
    c.push_back({"port count: product key cannot be opened",
                 kPlain,
                 Phase::step,
                 Op::open_key,
                 kProduct,
                 "",
                 {msg(IDS_ERR_OPEN_BASE_KEY, kProduct)},
                 false,
                 {},
                 [](CPortDatabase& db) { return db.WritePortCount(); }});

    // --- saving ---
    c.push_back({"save: product key cannot be opened",
                 kPlain,
                 Phase::save,
                 Op::open_key,
                 kProduct,
                 "",
                 {msg(IDS_ERR_OPEN_BASE_KEY, kProduct)},
                 false,
                 [](const CPortDatabase&) {
                     EXPECT_EQ(stored_dword(kS1, "Baud Rate"), 19200u);  // as first written
                     EXPECT_EQ(stored_text(kProduct, "Prompt"), "Hello");
                 }});
    for (const char* name : {"Escape Char", "Terminal Type", "Prompt"}) {
        c.push_back({std::string("save: remote ") + name,
                     kPlain,
                     Phase::save,
                     Op::set_value,
                     kProduct,
                     name,
                     {msg(IDS_ERR_UPDATE_REMOTE)},
                     false,
                     [name = std::string(name)](const CPortDatabase& db) {
                         ports_saved(db);
                         EXPECT_EQ(stored_dword(kS0, "Baud Rate"), 115200u);
                         // The remote values stop at the first failure.
                         EXPECT_EQ(stored_text(kProduct, "Terminal Type"),
                                   name == "Prompt" ? "ANSI" : "VT220");
                         EXPECT_EQ(stored_text(kProduct, "Prompt"), "Hello");
                     }});
    }
    c.push_back({"save: port key cannot be opened",
                 kPlain,
                 Phase::save,
                 Op::open_key,
                 kS0,
                 "",
                 {msg(IDS_ERR_OPEN_PORT_KEY, "ttyS0")},
                 false,
                 [](const CPortDatabase& db) {
                     ports_saved(db);
                     EXPECT_EQ(stored_dword(kS0, "Baud Rate"), 9600u);
                     EXPECT_EQ(stored_text(kProduct, "Prompt"), "Saved");
                 }});
    for (unsigned i = 0; i < 11; ++i) {
        c.push_back({std::string("save: ") + kSettingNames[i],
                     kPlain,
                     Phase::save,
                     Op::set_value,
                     kS0,
                     kSettingNames[i],
                     {msg(IDS_ERR_SET_SETTING_FIRST + i), msg(IDS_ERR_UPDATE_LOCAL_INFO, "ttyS0")},
                     false,
                     ports_saved});
    }
    return c;
}

class FailureMessages : public PortDbFixture {
  protected:
    void build(unsigned world) {
        store_remote("\x1d", "VT220", "Hello");
        store_port("ttyS0", "ttyS0", (world & kNoCaps) ? 0x300 : 0x100);
        const std::string com0 = (world & kRenamed) ? "ttyUSB0" : "ttyS0";
        set_device_map({{"ttyS0", com0}, {"ttyS1", "ttyS1"}});
        lines_.clear();
        lines_[com0] = add_device(com0);
        lines_["ttyS1"] = add_device("ttyS1");
        if (world & kStale) {
            store_port("old0", "ttyS7");
        }
    }
    std::map<std::string, std::shared_ptr<serial::FakeLine>> lines_;
};

TEST_F(FailureMessages, EachStepReportsAndGoesOnOrStops) {
    for (const Case& tc : cases()) {
        SCOPED_TRACE(tc.name);
        // A fresh store per case.
        TearDown();
        opener_.remove_line("ttyS0");
        opener_.remove_line("ttyUSB0");
        opener_.remove_line("ttyS1");
        const test::TempDir dir;
        const test::ScopedEnv env("VAROLAN_REGISTRY", dir.str("registry.db"));
        SetUp();
        build(tc.world);
        sink_.clear();

        const auto inject = [&] {
            if (!tc.device_fault.empty()) {
                lines_.at(tc.device_fault)->fail_call(serial::CommCall::GetCommProperties);
            } else {
                reg::inject_fault(tc.op, tc.key, tc.value, ERROR_ACCESS_DENIED, 1);
            }
        };
        bool result = false;
        std::unique_ptr<CPortDatabase> db;
        switch (tc.phase) {
            case Phase::load:
                inject();
                db = std::make_unique<CPortDatabase>();
                result = db->loaded();
                break;
            case Phase::step:
                db = std::make_unique<CPortDatabase>(CPortDatabase::NoLoad{});
                ASSERT_TRUE(db->ReadConfiguration());
                ASSERT_TRUE(sink_.shown.empty());
                inject();
                result = tc.step(*db);
                break;
            case Phase::save:
                db = std::make_unique<CPortDatabase>();
                ASSERT_TRUE(db->loaded());
                ASSERT_TRUE(sink_.shown.empty()) << sink_.texts()[0];
                for (const char* name : {"ttyS0", "ttyS1"}) {
                    db->find(name)->current.baud = 0x20000;  // 115200
                    db->find(name)->set_changed();
                }
                db->remote.current.terminal_type = "ANSI";
                db->remote.current.prompt = "Saved";
                db->set_modified();
                inject();
                result = db->SaveAll();
                break;
        }
        EXPECT_EQ(sink_.texts(), tc.messages);
        EXPECT_EQ(result, tc.result);
        for (const auto& shown : sink_.shown) {
            EXPECT_EQ(shown.style, MB_OK | MB_ICONEXCLAMATION);
        }
        if (tc.then) {
            tc.then(*db);
        }
        db.reset();
        reg::clear_faults();
    }
    TearDown();
}

}  // namespace
}  // namespace varolan::util
