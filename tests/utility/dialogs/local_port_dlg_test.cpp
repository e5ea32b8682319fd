// The local port dialog driven through its controls: what it offers, what it
// checks, and what it writes into the port records.
#include "utility/dialogs/local_port_dlg.h"

#include "tests/utility/dialogs/dialog_fixture.h"

namespace varolan::util::test {
namespace {

using namespace varolan::layout;

constexpr std::uint32_t XCHAR = 0x0020;  // the provider can set Xon/Xoff characters

class LocalDlg : public DialogTest {
  protected:
    CLocalPortDlg& Open(CPortRecord* tmpl, std::vector<CPortRecord*> ports) {
        dlg_ = std::make_unique<CLocalPortDlg>(tmpl, std::move(ports));
        EXPECT_TRUE(driver_.Start(*dlg_));
        return *dlg_;
    }
    std::vector<std::string> Entries(int id) {
        std::vector<std::string> out;
        ui::ComboBox* combo = dlg_->GetComboBox(id);
        for (int i = 0; i < combo->GetCount(); ++i) {
            out.push_back(combo->GetLBText(i));
        }
        return out;
    }
    std::vector<std::uintptr_t> Data(int id) {
        std::vector<std::uintptr_t> out;
        ui::ComboBox* combo = dlg_->GetComboBox(id);
        for (int i = 0; i < combo->GetCount(); ++i) {
            out.push_back(combo->GetItemData(i));
        }
        return out;
    }
    bool Enabled(int id) { return dlg_->IsDlgItemEnabled(id); }
    bool Checked(int id) { return dlg_->IsDlgButtonChecked(id) != 0; }
    // Presses OK; true when the dialog closed.
    bool PressOk() {
        ui::HeadlessDriver::Click(*dlg_, ui::IDOK);
        return dlg_->IsEnded() && dlg_->GetResult() == ui::IDOK;
    }
    void Untick(int id) {
        if (Checked(id)) {
            ASSERT_TRUE(ui::HeadlessDriver::Click(*dlg_, id));
        }
    }

    std::unique_ptr<CLocalPortDlg> dlg_;
};

TEST_F(LocalDlg, PortThatSupportsEverything) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    p->current.baud = 0x00020000;     // 115200
    p->current.data_bits = 0x0004;    // 7
    p->current.stop_parity = 0x0402;  // 1.5, even
    p->current.flow_control = 3;      // Rts/Cts
    p->current.escape = "\x1d\x1b";
    p->current.xon = "\x01";
    p->current.xoff = "\x02";
    Open(p, {p});

    for (const auto& row : CLocalPortDlg::Rows()) {
        EXPECT_TRUE(Checked(row.check_id)) << row.check_id;
        EXPECT_TRUE(Enabled(row.check_id)) << row.check_id;
        EXPECT_TRUE(Enabled(row.control_id)) << row.control_id;
    }
    EXPECT_EQ(Entries(IDC_BAUD),
              (std::vector<std::string>{"75", "110", "150", "300", "600", "1200", "1800", "2400",
                                        "4800", "7200", "9600", "14400", "19200", "38400", "56000",
                                        "128000", "115200", "57600"}));
    EXPECT_EQ(Data(IDC_BAUD).front(), 0x1u);
    EXPECT_EQ(Data(IDC_BAUD).back(), 0x40000u);
    EXPECT_EQ(Entries(IDC_DATABITS), (std::vector<std::string>{"5", "6", "7", "8", "16"}));
    EXPECT_EQ(Entries(IDC_STOPBITS), (std::vector<std::string>{"1", "1.5", "2"}));
    EXPECT_EQ(Entries(IDC_PARITY),
              (std::vector<std::string>{"none", "odd", "even", "mark", "space"}));
    EXPECT_EQ(Data(IDC_PARITY), (std::vector<std::uintptr_t>{0x100, 0x200, 0x400, 0x800, 0x1000}));
    EXPECT_EQ(Entries(IDC_FLOW),
              (std::vector<std::string>{"none", "Xon/Xoff", "Dtr/Dsr", "Rts/Cts", "hardware"}));

    EXPECT_EQ(dlg_->GetDlgItemText(IDC_BAUD), "115200");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_DATABITS), "7");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_STOPBITS), "1.5");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_PARITY), "even");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_FLOW), "Rts/Cts");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_LOCAL_ESCAPE), "1d1b");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_LOCAL_TERMTYPE), "VT100");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_XON), "01");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_XOFF), "02");

    EXPECT_EQ(dlg_->GetDlgItemText(IDC_HEADER_1),
              "Setting Varolan local port configuration for \"COM1\".");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_HEADER_2), "Port is connected to NT device \"Serial0\".");
    EXPECT_FALSE(Enabled(IDC_ENABLE_ALL));
    EXPECT_TRUE(Enabled(IDC_DISABLE_ALL));
    EXPECT_TRUE(Enabled(ui::IDOK));

    // OK without a change leaves the port as it was, and served.
    p->current.device_flags = DEVICE_NOT_MANAGED;
    const PortSettings before = p->current;
    ASSERT_TRUE(PressOk());
    PortSettings expected = before;
    expected.device_flags = 0;
    EXPECT_EQ(p->current, expected);
}

TEST_F(LocalDlg, OnlyWhatEveryPortSupportsIsOffered) {
    PortCaps a_caps;
    a_caps.baud_mask = 0x0800 | 0x2000 | 0x00020000;  // 9600 19200 115200
    a_caps.data_bits_mask = 0x0008 | 0x0004;
    a_caps.stop_parity_mask = 0x0001 | 0x0004 | 0x0100 | 0x0400;
    a_caps.provider_caps = 0x0010 | 0x0002 | XCHAR;  // Xon/Xoff, Rts/Cts
    PortCaps b_caps;
    b_caps.baud_mask = 0x0800 | 0x00020000 | 0x00040000;  // 9600 115200 57600
    b_caps.data_bits_mask = 0x0008;
    b_caps.stop_parity_mask = 0x0001 | 0x0100 | 0x0200;
    b_caps.provider_caps = 0x0010 | 0x0002 | 0x0001 | XCHAR;
    CPortRecord* a = AddPort("Serial0", "COM1", a_caps);
    CPortRecord* b = AddPort("Serial1", "COM2", b_caps);
    Open(b, {a, b});

    EXPECT_EQ(dlg_->caps().baud_mask, 0x0800u | 0x00020000u);
    EXPECT_EQ(Entries(IDC_BAUD), (std::vector<std::string>{"9600", "115200"}));
    EXPECT_EQ(Entries(IDC_DATABITS), std::vector<std::string>{"8"});
    EXPECT_EQ(Entries(IDC_STOPBITS), std::vector<std::string>{"1"});
    EXPECT_EQ(Entries(IDC_PARITY), std::vector<std::string>{"none"});
    EXPECT_EQ(Entries(IDC_FLOW),
              (std::vector<std::string>{"none", "Xon/Xoff", "Rts/Cts", "hardware"}));
    EXPECT_EQ(Data(IDC_FLOW), (std::vector<std::uintptr_t>{0, 1, 3, 4}));
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_HEADER_1),
              "Setting Varolan local port configurations for 2 ports.");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_HEADER_2), "");
}

TEST_F(LocalDlg, TemplateValueNotOfferedSelectsTheFirstEntry) {
    PortCaps caps;
    caps.baud_mask = 0x2000 | 0x00020000;                // 19200, 115200
    for (std::uint32_t baud : {0u, 0x0800u, 0x0004u}) {  // unknown, not offered, no text
        CPortRecord* p = AddPort("Serial" + std::to_string(baud), "COM1", caps);
        p->current.baud = baud;
        Open(p, {p});
        EXPECT_EQ(dlg_->GetComboBox(IDC_BAUD)->GetCurSel(), 0) << baud;
        EXPECT_EQ(dlg_->GetDlgItemText(IDC_BAUD), "19200") << baud;
    }
}

TEST_F(LocalDlg, UnavailableSettingsAreDisabledAndLeftAlone) {
    PortCaps caps;
    caps.settable_params = 0x0002 | 0x0010;  // only baud and handshaking settable
    caps.stop_parity_mask = 0x0100;          // no stop bits at all
    CPortRecord* p = AddPort("Serial0", "COM1", caps);
    p->current.data_bits = 0x0004;
    Open(p, {p});
    for (int id : {IDC_CHECK_DATABITS, IDC_DATABITS, IDC_CHECK_STOPBITS, IDC_STOPBITS,
                   IDC_CHECK_PARITY, IDC_PARITY}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    EXPECT_FALSE(Checked(IDC_CHECK_DATABITS));
    EXPECT_EQ(dlg_->GetComboBox(IDC_DATABITS)->GetCount(), 0);
    EXPECT_TRUE(Enabled(IDC_BAUD));
    EXPECT_TRUE(Enabled(IDC_FLOW));
    // Every available box is ticked, so Enable All has nothing to do.
    EXPECT_FALSE(Enabled(IDC_ENABLE_ALL));

    ASSERT_TRUE(PressOk());
    EXPECT_EQ(p->current.data_bits, 0x0004);
    EXPECT_EQ(p->current.stop_parity, 0x0101);
}

TEST_F(LocalDlg, WithoutSpecialCharactersXonXoffRowsStayOut) {
    PortCaps caps;
    caps.provider_caps = 0xFFFFFFFF & ~XCHAR;
    CPortRecord* p = AddPort("Serial0", "COM1", caps);
    p->current.xon = "\x05";
    p->current.xoff = "\x06";
    Open(p, {p});
    for (int id : {IDC_CHECK_XON, IDC_XON, IDC_CHECK_XOFF, IDC_XOFF}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_XON), "");

    // Untick the other seven: OK and Disable All stay enabled (the disabled
    // rows count as ticked), Enable All is offered.
    ui::HeadlessDriver::Click(*dlg_, IDC_DISABLE_ALL);
    for (const auto& row : CLocalPortDlg::Rows()) {
        if (row.check_id != IDC_CHECK_XON && row.check_id != IDC_CHECK_XOFF) {
            EXPECT_FALSE(Checked(row.check_id)) << row.check_id;
            EXPECT_FALSE(Enabled(row.control_id)) << row.control_id;
        }
    }
    EXPECT_TRUE(Enabled(ui::IDOK));
    EXPECT_TRUE(Enabled(IDC_DISABLE_ALL));
    EXPECT_TRUE(Enabled(IDC_ENABLE_ALL));

    ASSERT_TRUE(PressOk());
    EXPECT_EQ(p->current.xon, "\x05");
    EXPECT_EQ(p->current.xoff, "\x06");
}

TEST_F(LocalDlg, CheckBoxesGovernTheirControlsAndTheButtons) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    Open(p, {p});
    ui::HeadlessDriver::Click(*dlg_, IDC_CHECK_PARITY);
    EXPECT_FALSE(Enabled(IDC_PARITY));
    EXPECT_TRUE(Enabled(IDC_ENABLE_ALL));
    ui::HeadlessDriver::Click(*dlg_, IDC_DISABLE_ALL);
    EXPECT_FALSE(Enabled(ui::IDOK));
    EXPECT_FALSE(Enabled(IDC_DISABLE_ALL));
    for (const auto& row : CLocalPortDlg::Rows()) {
        EXPECT_FALSE(Enabled(row.control_id)) << row.control_id;
    }
    ui::HeadlessDriver::Click(*dlg_, IDC_CHECK_XOFF);
    EXPECT_TRUE(Enabled(IDC_XOFF));
    EXPECT_TRUE(Enabled(ui::IDOK));
    ui::HeadlessDriver::Click(*dlg_, IDC_ENABLE_ALL);
    for (const auto& row : CLocalPortDlg::Rows()) {
        EXPECT_TRUE(Checked(row.check_id)) << row.check_id;
        EXPECT_TRUE(Enabled(row.control_id)) << row.control_id;
    }
    EXPECT_FALSE(Enabled(IDC_ENABLE_ALL));
}

TEST_F(LocalDlg, TextsAreCheckedInOrderBeforeAnythingIsWritten) {
    struct Case {
        const char* escape;
        const char* xon;
        const char* xoff;
        const char* message;  // nullptr: accepted
        int focus = 0;        // the control that gets the focus, when it matters
    };
    const std::string escape_msg =
        "Escape Sequence is invalid.\nEscape Sequence must consist of a string\nof paired "
        "hexidecimal characters \"0-F\".";
    const std::string xon_msg =
        "Xon character code is invalid.\nXon character must be a two digit\nhexadecimal ASCII "
        "character code.";
    const std::string xoff_msg =
        "Xoff character code is invalid.\nXoff character must be a two digit\nhexadecimal ASCII "
        "character code.";
    const std::string same_msg = "The Xon character cannot be the same\nas the Xoff character.";
    const std::string limit_msg = "Please enter no more than 2 characters.";
    const Case cases[] = {
        {"1d1", "11", "13", escape_msg.c_str()},
        {"00", "11", "13", escape_msg.c_str()},
        {"1G", "11", "13", escape_msg.c_str()},
        {"1d", "1", "13", xon_msg.c_str()},
        {"1d", "00", "13", xon_msg.c_str()},
        {"1d", "11", "x3", xoff_msg.c_str()},
        {"zz", "zz", "zz", escape_msg.c_str()},  // the escape comes first
        {"1d", "zz", "zz", xon_msg.c_str()},
        {"1d", "13", "13", same_msg.c_str()},
        {"1d", "", "11", same_msg.c_str()},  // empty Xon is 11
        // The length check of data exchange comes first of all, Xoff before Xon.
        {"zz", "111", "131", limit_msg.c_str(), IDC_XOFF},
        {"zz", "111", "13", limit_msg.c_str(), IDC_XON},
        {"1d1b", "01", "02", nullptr},
    };
    for (const Case& c : cases) {
        CPortRecord* p = AddPort("Serial0", "COM1");
        const PortSettings before = p->current;
        Open(p, {p});
        dlg_->SetDlgItemText(IDC_LOCAL_ESCAPE, c.escape);
        dlg_->SetDlgItemText(IDC_XON, c.xon);
        dlg_->SetDlgItemText(IDC_XOFF, c.xoff);
        dlg_->SetDlgItemText(IDC_LOCAL_TERMTYPE, "ANSI");
        driver_.clear();
        const bool closed = PressOk();
        if (c.message == nullptr) {
            EXPECT_TRUE(closed) << c.escape << "/" << c.xon << "/" << c.xoff;
            EXPECT_TRUE(Messages().empty());
            EXPECT_EQ(p->current.escape, "\x1d\x1b");
            EXPECT_EQ(p->current.xon, "\x01");
            EXPECT_EQ(p->current.xoff, "\x02");
            EXPECT_EQ(p->current.terminal_type, "ANSI");
        } else {
            EXPECT_FALSE(closed) << c.escape << "/" << c.xon << "/" << c.xoff;
            EXPECT_EQ(Messages(), std::vector<std::string>{c.message})
                << c.escape << "/" << c.xon << "/" << c.xoff;
            EXPECT_EQ(p->current, before);
            if (c.focus != 0) {
                EXPECT_EQ(dlg_->GetFocusId(), c.focus) << c.xon << "/" << c.xoff;
            }
        }
        db_.ports.clear();
    }
}

TEST_F(LocalDlg, EmptyTextsGiveTheDefaults) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    p->current.escape = "\x01";
    p->current.xon = "\x05";
    p->current.xoff = "\x06";
    Open(p, {p});
    ui::HeadlessDriver::TypeInto(*dlg_, IDC_LOCAL_ESCAPE, "");
    ui::HeadlessDriver::TypeInto(*dlg_, IDC_XON, "");
    ui::HeadlessDriver::TypeInto(*dlg_, IDC_XOFF, "");
    ASSERT_TRUE(PressOk());
    EXPECT_EQ(p->current.escape, "\x1d");
    EXPECT_EQ(p->current.xon, "\x11");
    EXPECT_EQ(p->current.xoff, "\x13");
}

TEST_F(LocalDlg, XonEqualToTheDefaultXoffIsRefusedWhenXoffIsDisabled) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    Open(p, {p});
    Untick(IDC_CHECK_XOFF);
    ui::HeadlessDriver::TypeInto(*dlg_, IDC_XON, "13");
    EXPECT_FALSE(PressOk());
    EXPECT_EQ(Messages(), std::vector<std::string>{
                              "The Xon character cannot be the same\nas the Xoff character."});
}

TEST_F(LocalDlg, OnlyTickedSettingsReachEveryListedPort) {
    CPortRecord* a = AddPort("Serial0", "COM1");
    CPortRecord* b = AddPort("Serial1", "COM2");
    CPortRecord* c = AddPort("Serial2", "COM3");  // not listed
    a->current.baud = 0x0040;                     // 1200
    b->current.baud = 0x2000;                     // 19200
    a->current.stop_parity = 0x0204;              // 2 stop bits, odd
    b->current.stop_parity = 0x0802;              // 1.5, mark
    Open(a, {a, b});

    Untick(IDC_CHECK_BAUD);
    Untick(IDC_CHECK_STOPBITS);
    ui::HeadlessDriver::SelectEntry(*dlg_, IDC_PARITY, 2);    // even
    ui::HeadlessDriver::SelectEntry(*dlg_, IDC_DATABITS, 0);  // 5
    ui::HeadlessDriver::SelectEntry(*dlg_, IDC_FLOW, 4);      // hardware
    ui::HeadlessDriver::TypeInto(*dlg_, IDC_LOCAL_TERMTYPE, "VT220");
    ASSERT_TRUE(PressOk());

    EXPECT_EQ(a->current.baud, 0x0040u);
    EXPECT_EQ(b->current.baud, 0x2000u);
    EXPECT_EQ(a->current.stop_parity, 0x0404);
    EXPECT_EQ(b->current.stop_parity, 0x0402);
    for (CPortRecord* r : {a, b}) {
        EXPECT_EQ(r->current.data_bits, 0x0001);
        EXPECT_EQ(r->current.flow_control, 4u);
        EXPECT_EQ(r->current.terminal_type, "VT220");
    }
    EXPECT_EQ(c->current.terminal_type, "VT100");
    EXPECT_EQ(c->current.data_bits, 0x0008);
}

TEST_F(LocalDlg, ManagementIsDecidedPerPortFromItsOwnCapabilities) {
    PortCaps no_xonxoff;
    no_xonxoff.provider_caps = 0xFFFFFFFF & ~0x0010u;
    CPortRecord* fits = AddPort("Serial0", "COM1");
    CPortRecord* lacks = AddPort("Serial1", "COM2", no_xonxoff);
    fits->current.device_flags = DEVICE_NOT_MANAGED | DEVICE_NO_CAPS | DEVICE_BAUD_ERROR;
    lacks->current.device_flags = DEVICE_PARITY_ERROR;
    Open(fits, {fits, lacks});
    EXPECT_EQ(Entries(IDC_FLOW),
              (std::vector<std::string>{"none", "Dtr/Dsr", "Rts/Cts", "hardware"}));
    ASSERT_TRUE(PressOk());
    // Only DEVICE_NOT_MANAGED is decided; the other bits stay.
    EXPECT_EQ(fits->current.device_flags, DEVICE_NO_CAPS | DEVICE_BAUD_ERROR);
    EXPECT_EQ(lacks->current.device_flags, DEVICE_PARITY_ERROR);

    // A port whose flow control stays Xon/Xoff (the box unticked) while its
    // own capabilities lack it is no longer served; the other one is.
    lacks->current.flow_control = 1;
    fits->current.flow_control = 1;
    Open(fits, {fits, lacks});
    Untick(IDC_CHECK_FLOW);
    ui::HeadlessDriver::SelectEntry(*dlg_, IDC_BAUD, 0);
    ASSERT_TRUE(PressOk());
    EXPECT_EQ(lacks->current.device_flags, DEVICE_PARITY_ERROR | DEVICE_NOT_MANAGED);
    EXPECT_EQ(fits->current.device_flags, DEVICE_NO_CAPS | DEVICE_BAUD_ERROR);
    EXPECT_EQ(lacks->current.baud, 0x0001u);
    EXPECT_EQ(lacks->current.flow_control, 1u);
}

TEST_F(LocalDlg, LongEscapeSequenceIsShownAsItsFirst127Bytes) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    p->current.escape = std::string(200, '\x1b');
    Open(p, {p});
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_LOCAL_ESCAPE).size(), 254u);
    ASSERT_TRUE(PressOk());
    EXPECT_EQ(p->current.escape, std::string(127, '\x1b'));
}

TEST_F(LocalDlg, CancelChangesNothing) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    p->current.device_flags = DEVICE_NOT_MANAGED;
    const PortSettings before = p->current;
    Open(p, {p});
    ui::HeadlessDriver::SelectEntry(*dlg_, IDC_BAUD, 0);
    ui::HeadlessDriver::Key(*dlg_, ui::key::Escape);
    EXPECT_TRUE(dlg_->IsEnded());
    EXPECT_EQ(dlg_->GetResult(), ui::IDCANCEL);
    EXPECT_EQ(p->current, before);
}

TEST_F(LocalDlg, HelpShowsTheLocalPortTopic) {
    CPortRecord* p = AddPort("Serial0", "COM1");
    Open(p, {p});
    ui::HeadlessDriver::Click(*dlg_, ui::ID_HELP);
    EXPECT_EQ(driver_.help_log(), std::vector<std::string>{"Change Local Port Configuration Help"});
}

}  // namespace
}  // namespace varolan::util::test
