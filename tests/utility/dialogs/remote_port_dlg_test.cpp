// The remote port dialog: the escape sequence checks and what reaches the
// database's current remote settings.
#include "utility/dialogs/remote_port_dlg.h"

#include "tests/utility/dialogs/dialog_fixture.h"

namespace varolan::util::test {
namespace {

class RemoteDlg : public DialogTest {
  protected:
    CRemotePortDlg& Open() {
        dlg_ = std::make_unique<CRemotePortDlg>(&db_.remote);
        EXPECT_TRUE(driver_.Start(*dlg_));
        return *dlg_;
    }
    std::unique_ptr<CRemotePortDlg> dlg_;
};

TEST_F(RemoteDlg, EscapeTextsAcceptedAndRefused) {
    const std::string invalid =
        "Escape Sequence is invalid.\nEscape Sequence must consist of a string\nof paired "
        "hexidecimal characters \"0-F\".";
    const std::string empty = "You must enter an Escape Sequence.";
    struct Case {
        const char* text;
        const char* stored;   // nullptr: refused
        std::string message;  // the refusal
    };
    const Case cases[] = {
        {"1d", "\x1d", ""},       {"1D1B", "\x1d\x1b", ""}, {"1d1b", "\x1d\x1b", ""},
        {"", nullptr, empty},     {"1", nullptr, invalid},  {"1d1", nullptr, invalid},
        {"00", nullptr, invalid}, {"zz", nullptr, invalid}, {"1d00", nullptr, invalid},
    };
    for (const Case& c : cases) {
        db_.remote.saved = {"\x01", "OLD", "Old prompt"};
        db_.remote.current = db_.remote.saved;
        Open();
        driver_.clear();
        ui::HeadlessDriver::TypeInto(*dlg_, IDC_NEW_ESCAPE, c.text);
        ui::HeadlessDriver::TypeInto(*dlg_, IDC_NEW_TERMTYPE, "");
        ui::HeadlessDriver::TypeInto(*dlg_, IDC_NEW_PROMPT, "");
        ui::HeadlessDriver::Click(*dlg_, ui::IDOK);
        if (c.stored != nullptr) {
            EXPECT_TRUE(dlg_->IsEnded()) << c.text;
            EXPECT_EQ(dlg_->GetResult(), ui::IDOK);
            EXPECT_EQ(db_.remote.current.escape, c.stored);
            // Empty terminal type and prompt are taken as they are.
            EXPECT_EQ(db_.remote.current.terminal_type, "");
            EXPECT_EQ(db_.remote.current.prompt, "");
            EXPECT_TRUE(Messages().empty());
        } else {
            EXPECT_FALSE(dlg_->IsEnded()) << c.text;
            EXPECT_EQ(Messages(), std::vector<std::string>{c.message}) << c.text;
            EXPECT_EQ(db_.remote.current, db_.remote.saved);
        }
        for (const auto& m : driver_.messages()) {
            EXPECT_EQ(m.style, ui::MB_OK | ui::MB_ICONEXCLAMATION);
            EXPECT_EQ(m.title, "Varolan Maintenance");
        }
    }
}

TEST_F(RemoteDlg, InitialisationShowsTheCurrentSettings) {
    db_.remote.current = {"\x1d\x1b", "VT220", "Welcome"};
    Open();
    EXPECT_EQ(dlg_->GetWindowText(), "Varolan Maintenance : Change Remote Port Configuration");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_NEW_ESCAPE), "1d1b");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_NEW_TERMTYPE), "VT220");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_NEW_PROMPT), "Welcome");
    ui::HeadlessDriver::Click(*dlg_, ui::IDOK);
    EXPECT_EQ(db_.remote.current, (RemoteSettings{"\x1d\x1b", "VT220", "Welcome"}));
}

TEST_F(RemoteDlg, LongEscapeSequenceKeepsItsFirst127Bytes) {
    db_.remote.current.escape = std::string(130, '\x1b');
    Open();
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_NEW_ESCAPE).size(), 254u);
    ui::HeadlessDriver::Click(*dlg_, ui::IDOK);
    EXPECT_EQ(db_.remote.current.escape, std::string(127, '\x1b'));
}

TEST_F(RemoteDlg, CancelLeavesTheSettings) {
    db_.remote.current = {"\x1d", "VT100", "P"};
    Open();
    ui::HeadlessDriver::TypeInto(*dlg_, IDC_NEW_ESCAPE, "1b");
    ui::HeadlessDriver::Click(*dlg_, ui::IDCANCEL);
    EXPECT_EQ(dlg_->GetResult(), ui::IDCANCEL);
    EXPECT_EQ(db_.remote.current, (RemoteSettings{"\x1d", "VT100", "P"}));
}

}  // namespace
}  // namespace varolan::util::test
