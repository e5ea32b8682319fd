// Whole runs of the utility on a private store and device map: load, the main
// dialog driven by a script, save, the optional service start, the exit code.
#include "utility/dialogs/maintain_app.h"

#include <fstream>

#include "platform/registry/registry.h"
#include "platform/serial/fake_comm.h"
#include "tests/support/process.h"
#include "tests/utility/dialogs/dialog_fixture.h"
#include "tools/varolan-reg/regtool.h"
#include "utility/dialogs/local_port_dlg.h"
#include "utility/dialogs/maintain_dlg.h"
#include "utility/dialogs/remote_port_dlg.h"

namespace varolan::util::test {
namespace {

using namespace varolan::layout;

const std::string kProduct = PRODUCT_KEY_UTILITY;

class MaintainRun : public DialogTest {
  protected:
    void SetUp() override {
        reg::clear_faults();
        reg::reset_store();
        reg::Key product;
        ASSERT_EQ(reg::create_key(reg::hklm(), PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                  ERROR_SUCCESS);
        for (const char* name : {VALUE_ESCAPE_CHAR, VALUE_TERMINAL_TYPE, VALUE_PROMPT}) {
            const std::string value = name == VALUE_ESCAPE_CHAR ? "\x1b" : "initial";
            ASSERT_EQ(reg::set_value(product, name, reg::REG_SZ,
                                     reinterpret_cast<const std::uint8_t*>(value.c_str()),
                                     static_cast<DWORD>(value.size() + 1)),
                      ERROR_SUCCESS);
        }
        std::ofstream(dir_.str("devicemap")) << "Serial0=ttyS0\nSerial1=ttyS1\n";
        for (const char* com : {"ttyS0", "ttyS1"}) {
            auto line = opener_.add_line(com);
            serial::COMMPROP p;
            p.dwSettableBaud = 0x0800 | 0x2000;  // 9600, 19200
            p.wSettableData = 0x0008;
            p.wSettableStopParity = 0x0001 | 0x0100;
            p.dwSettableParams = 0x1F;
            p.dwProvCapabilities = 0x13 | 0x20;
            line->set_properties(p);
        }
    }
    void TearDown() override {
        reg::clear_faults();
        reg::reset_store();
    }

    // One run with `script` driving the main dialog.
    int Run(std::function<void(CMaintainDlg&)> script) {
        driver_.OnNextModal<CMaintainDlg>(std::move(script));
        CMaintainApp app(&service_, &figures_);
        EXPECT_TRUE(app.InitInstance());
        const int code = app.Run();
        EXPECT_TRUE(driver_.errors().empty()) << driver_.errors().front();
        // The line on standard error: for a failure only, one line.
        failure_line_ = FailureLine(app.failure());
        EXPECT_EQ(app.failure().cause.empty(), code == 0) << failure_line_;
        EXPECT_EQ(failure_line_.find('\n'), std::string::npos);
        return code;
    }
    std::string failure_line_;
    static std::string Export() {
        std::string text;
        std::string error;
        EXPECT_EQ(regtool::export_key("", text, error), ERROR_SUCCESS) << error;
        return text;
    }
    static std::optional<std::uint32_t> Dword(const std::string& path, const char* name) {
        reg::Key key;
        if (reg::open_key(reg::hklm(), path, reg::KEY_READ, key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::uint32_t v = 0;
        DWORD size = 4;
        if (reg::query_value(key, name, nullptr, reinterpret_cast<std::uint8_t*>(&v), &size) !=
            ERROR_SUCCESS) {
            return std::nullopt;
        }
        return v;
    }
    static std::string Text(const std::string& path, const char* name) {
        reg::Key key;
        if (reg::open_key(reg::hklm(), path, reg::KEY_READ, key) != ERROR_SUCCESS) {
            return "<no key>";
        }
        std::uint8_t data[512];
        DWORD size = sizeof data;
        if (reg::query_value(key, name, nullptr, data, &size) != ERROR_SUCCESS) {
            return "<no value>";
        }
        std::string s(reinterpret_cast<char*>(data), size);
        if (!s.empty() && s.back() == '\0') {
            s.pop_back();
        }
        return s;
    }
    static void ChangePrompt(CMaintainDlg& d, const std::string& prompt) {
        // The remote dialog is nested in the script of the main dialog.
        auto* driver = dynamic_cast<ui::HeadlessDriver*>(&ui::modal_runner());
        ASSERT_NE(driver, nullptr);
        driver->OnNextModal<CRemotePortDlg>([prompt](CRemotePortDlg& r) {
            ui::HeadlessDriver::TypeInto(r, IDC_NEW_ESCAPE, "1d");
            ui::HeadlessDriver::TypeInto(r, IDC_NEW_PROMPT, prompt);
            ui::HeadlessDriver::Click(r, ui::IDOK);
        });
        ui::HeadlessDriver::Click(d, IDC_REMOTE_SETUP);
    }

    ::varolan::test::TempDir dir_;
    ::varolan::test::ScopedEnv registry_env_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    ::varolan::test::ScopedEnv devicemap_env_{"VAROLAN_DEVICEMAP", dir_.str("devicemap")};
    serial::FakeCommOpener opener_;
};

TEST_F(MaintainRun, NothingChangedWritesNothing) {
    // The first run creates the port keys (new ports are not served).
    ASSERT_EQ(Run([](CMaintainDlg& d) { ui::HeadlessDriver::Click(d, ui::IDOK); }), 0);
    EXPECT_EQ(Dword(kProduct, VALUE_NUMBER_OF_PORTS), 2u);
    EXPECT_EQ(Dword(kProduct + "\\Serial0", VALUE_DEVICE_FLAGS), DEVICE_NOT_MANAGED);
    const std::string before = Export();

    std::vector<std::string> rows;
    ASSERT_EQ(Run([&](CMaintainDlg& d) {
                  ui::ListBox* list = d.GetListBox(IDC_PORT_LIST);
                  for (int i = 0; i < list->GetCount(); ++i) {
                      rows.push_back(list->GetText(i));
                  }
                  ui::HeadlessDriver::Key(d, ui::key::Escape);
              }),
              0);
    EXPECT_EQ(rows, (std::vector<std::string>{"\tttyS0\tDevice not set up for Varolan.",
                                              "\tttyS1\tDevice not set up for Varolan."}));
    EXPECT_EQ(Export(), before);
    EXPECT_EQ(service_.starts, 0);
    EXPECT_TRUE(Messages().empty()) << Messages().front();
}

TEST_F(MaintainRun, EveryWayOfClosingSaves) {
    struct Case {
        const char* prompt;
        std::function<void(CMaintainDlg&)> close;
    };
    const Case cases[] = {
        {"closed", [](CMaintainDlg& d) { ui::HeadlessDriver::Click(d, ui::IDOK); }},
        {"escaped", [](CMaintainDlg& d) { ui::HeadlessDriver::Key(d, ui::key::Escape); }},
        {"menu", [](CMaintainDlg& d) { ui::HeadlessDriver::ChooseSystemCommand(d, ui::SC_CLOSE); }},
    };
    for (const Case& c : cases) {
        const int code = Run([&](CMaintainDlg& d) {
            ChangePrompt(d, c.prompt);
            c.close(d);
            EXPECT_TRUE(d.IsEnded()) << c.prompt;
        });
        EXPECT_EQ(code, 0);
        EXPECT_EQ(Text(kProduct, VALUE_PROMPT), c.prompt);
        EXPECT_EQ(Text(kProduct, VALUE_ESCAPE_CHAR), "\x1d");
    }
}

TEST_F(MaintainRun, SetupOfOnePortIsSavedAndServed) {
    const int code = Run([](CMaintainDlg& d) {
        auto* driver = dynamic_cast<ui::HeadlessDriver*>(&ui::modal_runner());
        ASSERT_NE(driver, nullptr);
        ui::HeadlessDriver::ClickRow(d, IDC_PORT_LIST, 1);
        driver->OnNextModal<CLocalPortDlg>([](CLocalPortDlg& l) {
            ui::ComboBox* baud = l.GetComboBox(IDC_BAUD);
            ASSERT_EQ(baud->GetCount(), 2);
            ui::HeadlessDriver::SelectEntry(l, IDC_BAUD, 1);  // 19200
            ui::HeadlessDriver::SelectEntry(l, IDC_FLOW, 0);  // none
            ui::HeadlessDriver::Click(l, ui::IDOK);
        });
        ui::HeadlessDriver::Click(d, IDC_PORT_SETUP);
        EXPECT_EQ(d.GetListBox(IDC_PORT_LIST)->GetText(1), "\tttyS1\t19200\t8\t1\tnone\tnone");
        ui::HeadlessDriver::Click(d, ui::IDOK);
    });
    EXPECT_EQ(code, 0);
    const std::string port = kProduct + "\\Serial1";
    EXPECT_EQ(Dword(port, VALUE_BAUD_RATE), 19200u);
    EXPECT_EQ(Dword(port, VALUE_DEVICE_FLAGS), 0u);
    EXPECT_EQ(Dword(kProduct + "\\Serial0", VALUE_DEVICE_FLAGS), DEVICE_NOT_MANAGED);
}

TEST_F(MaintainRun, UnreadableConfigurationEndsWithMinusOne) {
    ASSERT_EQ(reg::delete_key(reg::hklm(), PRODUCT_KEY), ERROR_SUCCESS);
    CMaintainApp app(&service_, &figures_);
    app.InitInstance();
    EXPECT_EQ(app.Run(), EXIT_LOAD_FAILED);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Error finding the base Varolan registration.",
                                                    "Error reading Varolan port information."}));
    EXPECT_TRUE(driver_.modal_log().empty());
    // The box stays as it is; the line after the screen names store, cause, remedy.
    EXPECT_EQ(FailureLine(app.failure()),
              "maintain: " + reg::store_path() +
                  ": the configuration could not be read: the key "
                  "HKLM\\SOFTWARE\\Brismoor\\Varolan\\Version 1.3 does not exist; run "
                  "`tarnix install` to create it");
}

TEST_F(MaintainRun, FailedSaveEndsWithMinusTwoAndStartsNothing) {
    const int code = Run([](CMaintainDlg& d) {
        ui::HeadlessDriver::Click(d, IDC_START_ON_CLOSE);
        ChangePrompt(d, "lost");
        reg::inject_fault(reg::Op::open_key, PRODUCT_KEY, "", ERROR_ACCESS_DENIED, 0);
        ui::HeadlessDriver::Click(d, ui::IDOK);
    });
    reg::clear_faults();
    EXPECT_EQ(code, EXIT_SAVE_FAILED);
    EXPECT_EQ(service_.starts, 0);
    ASSERT_FALSE(Messages().empty());
    EXPECT_EQ(Messages().back(), "Error update the Varolan port information.");
    EXPECT_EQ(Text(kProduct, VALUE_PROMPT), "initial");
    EXPECT_NE(failure_line_.find("could not be saved: access to the key "
                                 "HKLM\\SOFTWARE\\Brismoor\\Varolan\\Version 1.3 was denied"),
              std::string::npos)
        << failure_line_;
}

TEST_F(MaintainRun, StartOnCloseStartsAfterSaving) {
    std::string prompt_at_start;
    service_.on_start = [&] { prompt_at_start = Text(kProduct, VALUE_PROMPT); };
    EXPECT_EQ(Run([](CMaintainDlg& d) {
                  ChangePrompt(d, "saved first");
                  ui::HeadlessDriver::Click(d, IDC_START_ON_CLOSE);
                  ui::HeadlessDriver::Click(d, ui::IDOK);
              }),
              0);
    EXPECT_EQ(service_.starts, 1);
    EXPECT_EQ(prompt_at_start, "saved first");

    service_.start_ok = false;
    EXPECT_EQ(Run([](CMaintainDlg& d) {
                  ui::HeadlessDriver::Click(d, IDC_START_ON_CLOSE);
                  ui::HeadlessDriver::Click(d, ui::IDOK);
              }),
              EXIT_START_FAILED);
    EXPECT_EQ(Messages().back(), "Error encountered attempting to start Varolan.");
    EXPECT_NE(failure_line_.find("saved, but the Varolan service could not be started; "
                                 "`tarnix start` tells why"),
              std::string::npos)
        << failure_line_;

    // Not installed: the box cannot be ticked and nothing is started.
    service_.query_ok = false;
    service_.starts = 0;
    EXPECT_EQ(Run([](CMaintainDlg& d) {
                  EXPECT_FALSE(d.IsDlgItemEnabled(IDC_START_ON_CLOSE));
                  ui::HeadlessDriver::Click(d, IDC_START_ON_CLOSE);
                  ui::HeadlessDriver::Click(d, ui::IDOK);
              }),
              0);
    EXPECT_EQ(service_.starts, 0);
}

}  // namespace
}  // namespace varolan::util::test
