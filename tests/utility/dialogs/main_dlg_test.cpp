// The main dialog driven through its controls: list rows, the handlers, the
// template port, the service control group and the system menu.
#include "utility/dialogs/maintain_dlg.h"

#include "tests/utility/dialogs/dialog_fixture.h"
#include "utility/dialogs/local_port_dlg.h"
#include "utility/dialogs/remote_port_dlg.h"

namespace varolan::util::test {
namespace {

using namespace varolan::layout;

class MainDlg : public DialogTest {
  protected:
    // Opens the dialog on the configuration.
    CMaintainDlg& Open() {
        dlg_ = std::make_unique<CMaintainDlg>(&db_, &service_, &figures_);
        EXPECT_TRUE(driver_.Start(*dlg_));
        return *dlg_;
    }
    ui::ListBox& List() { return *dlg_->GetListBox(IDC_PORT_LIST); }
    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        for (int i = 0; i < List().GetCount(); ++i) {
            rows.push_back(List().GetText(i));
        }
        return rows;
    }
    bool Enabled(int id) { return dlg_->IsDlgItemEnabled(id); }

    std::unique_ptr<CMaintainDlg> dlg_;
};

PortSettings settings(std::uint32_t baud, std::uint16_t data, std::uint16_t stop_parity,
                      std::uint32_t flow, std::uint32_t flags) {
    PortSettings s;
    s.port_name = "COM1";
    s.baud = baud;
    s.data_bits = data;
    s.stop_parity = stop_parity;
    s.flow_control = flow;
    s.device_flags = flags;
    return s;
}

TEST(MainDlgRows, StateMessagesAndColumns) {
    struct Case {
        PortSettings s;
        const char* row;
    };
    const Case cases[] = {
        {settings(0x0800, 0x0008, 0x0101, 0, 0), "\tCOM1\t9600\t8\t1\tnone\tnone"},
        {settings(0x00040000, 0x0010, 0x0802, 4, 0), "\tCOM1\t57600\t16\t1.5\tmark\thardware"},
        {settings(0x00010000, 0x0001, 0x1004, 1, 0), "\tCOM1\t128000\t5\t2\tspace\tXon/Xoff"},
        {settings(0x0800, 0x0008, 0x0101, 0, DEVICE_NOT_MANAGED | DEVICE_NO_CAPS),
         "\tCOM1\tCommunication parameters not availiable."},
        {settings(0x0800, 0x0008, 0x0101, 0, DEVICE_NOT_MANAGED | DEVICE_OPEN_FAILED),
         "\tCOM1\tDevice not set up for Varolan."},
        {settings(0x0800, 0x0008, 0x0101, 0, DEVICE_OPEN_FAILED | DEVICE_ACCESS_DENIED),
         "\tCOM1\tVarolan could not find the device."},
        {settings(0x0800, 0x0008, 0x0101, 0, DEVICE_ACCESS_DENIED | DEVICE_BAUD_ERROR),
         "\tCOM1\tVarolan could not access the device."},
        {settings(0x0800, 0x0008, 0x0101, 0, DEVICE_SETUP_ERROR),
         "\tCOM1\tVarolan encountered a misc settings error."},
        // Only the flagged columns say "error".
        {settings(0x0800, 0x0008, 0x0101, 0, DEVICE_BAUD_ERROR | DEVICE_FLOW_ERROR),
         "\tCOM1\terror\t8\t1\tnone\terror"},
        {settings(0x0800, 0x0008, 0x0101, 2,
                  DEVICE_DATABITS_ERROR | DEVICE_STOPBITS_ERROR | DEVICE_PARITY_ERROR),
         "\tCOM1\t9600\terror\terror\terror\tDtr/Dsr"},
        // A value without a text shows nothing: unknown baud, 134.5 baud, no bits.
        {settings(0, 0x0008, 0x0101, 3, 0), "\tCOM1\t\t8\t1\tnone\tRts/Cts"},
        {settings(0x0004, 0, 0x0100, 9, 0), "\tCOM1\t\t\t\tnone\t"},
        {settings(0x0800, 0x0008, 0, 0, DEVICE_NO_CAPS), "\tCOM1\t9600\t8\t\t\tnone"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CMaintainDlg::FormatPortRow(c.s), c.row);
    }
}

TEST_F(MainDlg, InitialisationFillsListEditsAndSystemMenu) {
    db_.remote.current.escape = "\x1d\x1b";
    db_.remote.current.terminal_type = "VT220";
    db_.remote.current.prompt = "Gateway";
    CPortRecord* com2 = AddPort("Serial1", "COM2");
    CPortRecord* com10 = AddPort("Serial9", "COM10");
    CPortRecord* com1 = AddPort("Serial0", "COM1");
    Open();

    // Sorted by text, so COM10 comes before COM2; each row carries its record.
    EXPECT_EQ(Rows(), (std::vector<std::string>{"\tCOM1\t9600\t8\t1\tnone\tnone",
                                                "\tCOM10\t9600\t8\t1\tnone\tnone",
                                                "\tCOM2\t9600\t8\t1\tnone\tnone"}));
    EXPECT_EQ(List().GetItemDataPtr<CPortRecord>(0), com1);
    EXPECT_EQ(List().GetItemDataPtr<CPortRecord>(1), com10);
    EXPECT_EQ(List().GetItemDataPtr<CPortRecord>(2), com2);
    EXPECT_EQ(List().GetTabStops(), (std::vector<int>{8, 50, 98, 133, 170, 206}));
    EXPECT_TRUE(List().GetRedraw());

    EXPECT_EQ(dlg_->GetDlgItemText(IDC_REMOTE_ESCAPE), "1d1b");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_REMOTE_TERMTYPE), "VT220");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_REMOTE_PROMPT), "Gateway");
    EXPECT_TRUE(dlg_->GetEdit(IDC_REMOTE_ESCAPE)->IsReadOnly());

    const auto& items = dlg_->GetSystemMenu().items();
    ASSERT_GE(items.size(), 2u);
    EXPECT_NE(items[items.size() - 2].flags & ui::MF_SEPARATOR, 0u);
    EXPECT_EQ(items.back().id, IDM_ABOUTBOX);
    EXPECT_EQ(items.back().text, "About Varolan...");

    // Nothing selected, nothing changed.
    EXPECT_FALSE(Enabled(IDC_PORT_SETUP));
    EXPECT_FALSE(Enabled(IDC_PORT_REMOVE));
    EXPECT_FALSE(Enabled(IDC_RESET));
    EXPECT_EQ(dlg_->template_port(), nullptr);
}

TEST_F(MainDlg, RemovingTwoPortsAsksWithTheCountAndKeepsThem) {
    CPortRecord* a = AddPort("Serial0", "COM1");
    CPortRecord* b = AddPort("Serial1", "COM2");
    CPortRecord* c = AddPort("Serial2", "COM3");
    b->current.device_flags = DEVICE_NO_CAPS;
    Open();
    ASSERT_TRUE(driver_.ClickRow(*dlg_, IDC_PORT_LIST, 0));
    ASSERT_TRUE(driver_.ClickRow(*dlg_, IDC_PORT_LIST, 1, /*extend=*/true));
    EXPECT_TRUE(Enabled(IDC_PORT_REMOVE));

    // Cancel changes nothing.
    driver_.answer_next(ui::IDCANCEL);
    ASSERT_TRUE(driver_.Click(*dlg_, IDC_PORT_REMOVE));
    EXPECT_FALSE(db_.modified());
    EXPECT_EQ(a->current.device_flags, 0u);

    driver_.answer_next(ui::IDOK);
    ASSERT_TRUE(driver_.Click(*dlg_, IDC_PORT_REMOVE));
    ASSERT_EQ(driver_.messages().size(), 2u);
    const auto& question = driver_.messages().back();
    EXPECT_EQ(question.text,
              "About to remove 2 ports from Varolan management.\nPress OK to confirm.");
    EXPECT_EQ(question.title, "Varolan Maintenance");
    EXPECT_EQ(question.style, ui::MB_OKCANCEL | ui::MB_ICONEXCLAMATION);

    EXPECT_EQ(Rows(), (std::vector<std::string>{"\tCOM1\tDevice not set up for Varolan.",
                                                "\tCOM2\tCommunication parameters not availiable.",
                                                "\tCOM3\t9600\t8\t1\tnone\tnone"}));
    EXPECT_TRUE(a->changed());
    EXPECT_TRUE(b->changed());
    EXPECT_FALSE(c->changed());
    EXPECT_EQ(a->current.device_flags, DEVICE_NOT_MANAGED);
    EXPECT_EQ(a->saved.device_flags, 0u);
    EXPECT_EQ(db_.ports.size(), 3u);
    EXPECT_TRUE(db_.modified());
    EXPECT_TRUE(Enabled(IDC_RESET));
}

// Rows deselected while the question is up are not removed, and the array
// slots the list did not fill never name a row.
TEST_F(MainDlg, RemovingTakesTheRowsSelectedAfterTheQuestion) {
    CPortRecord* a = AddPort("Serial0", "COM1");
    CPortRecord* b = AddPort("Serial1", "COM2");
    CPortRecord* c = AddPort("Serial2", "COM3");
    Open();
    ASSERT_TRUE(driver_.ClickRow(*dlg_, IDC_PORT_LIST, 1));
    ASSERT_TRUE(driver_.ClickRow(*dlg_, IDC_PORT_LIST, 2, /*extend=*/true));

    struct DeselectingSink : ui::MessageSink {
        ui::ListBox* list = nullptr;
        std::string text;
        int show_message(const char* t, unsigned) override {
            text = t;
            list->SetSel(2, false);
            return ui::IDOK;
        }
    } sink;
    sink.list = &List();
    {
        ui::ScopedMessageSink scoped(&sink);
        ASSERT_TRUE(driver_.Click(*dlg_, IDC_PORT_REMOVE));
    }
    EXPECT_EQ(sink.text, "About to remove 2 ports from Varolan management.\nPress OK to confirm.");
    EXPECT_FALSE(a->changed());
    EXPECT_EQ(a->current.device_flags, 0u);
    EXPECT_TRUE(b->changed());
    EXPECT_EQ(b->current.device_flags, DEVICE_NOT_MANAGED);
    EXPECT_FALSE(c->changed());
    EXPECT_EQ(c->current.device_flags, 0u);
}

TEST_F(MainDlg, ResetIsOfferedOnlyAfterAChangeAndUndoesIt) {
    CPortRecord* a = AddPort("Serial0", "COM1");
    db_.remote.saved.prompt = "Old";
    db_.remote.current.prompt = "Old";
    Open();
    EXPECT_FALSE(Enabled(IDC_RESET));

    driver_.ClickRow(*dlg_, IDC_PORT_LIST, 0);
    driver_.Click(*dlg_, IDC_PORT_REMOVE);
    db_.remote.current.prompt = "New";
    EXPECT_TRUE(Enabled(IDC_RESET));

    // Cancel keeps the changes.
    driver_.answer_next(ui::IDCANCEL);
    driver_.Click(*dlg_, IDC_RESET);
    EXPECT_TRUE(db_.modified());

    driver_.answer_next(ui::IDOK);
    driver_.Click(*dlg_, IDC_RESET);
    EXPECT_EQ(driver_.messages().back().text,
              "All changes to port configurations\nwill be reset to old values.\nPress OK to "
              "reset.\nPress Cancel to return.");
    EXPECT_FALSE(db_.modified());
    EXPECT_FALSE(a->changed());
    EXPECT_EQ(a->current.device_flags, 0u);
    EXPECT_EQ(Rows(), std::vector<std::string>{"\tCOM1\t9600\t8\t1\tnone\tnone"});
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_REMOTE_PROMPT), "Old");
    EXPECT_FALSE(Enabled(IDC_RESET));
}

TEST_F(MainDlg, ServiceControlFollowsTheServiceState) {
    struct Case {
        bool query_ok;
        DWORD state;
        bool start_enabled;
        bool stop_enabled;
    };
    const Case cases[] = {
        {true, SERVICE_STOPPED, true, false},        {true, SERVICE_STOP_PENDING, true, false},
        {true, SERVICE_RUNNING, false, true},        {true, SERVICE_PAUSED, false, false},
        {true, SERVICE_START_PENDING, false, false}, {true, SERVICE_CONTINUE_PENDING, false, false},
        {false, SERVICE_STOPPED, false, false},
    };
    for (const Case& c : cases) {
        service_.query_ok = c.query_ok;
        service_.state = c.state;
        Open();
        EXPECT_EQ(Enabled(IDC_START_ON_CLOSE), c.start_enabled) << c.state << c.query_ok;
        EXPECT_EQ(Enabled(IDC_STOP_SERVICE), c.stop_enabled) << c.state << c.query_ok;
    }
}

TEST_F(MainDlg, StartOnCloseIsUntickedAndClearedWhenTheServiceStarts) {
    AddPort("Serial0", "COM1");
    Open();
    ASSERT_TRUE(driver_.Click(*dlg_, IDC_START_ON_CLOSE));
    EXPECT_EQ(dlg_->IsDlgButtonChecked(IDC_START_ON_CLOSE), 1);
    EXPECT_EQ(dlg_->start_on_close_flags(), CMaintainDlg::START_ON_CLOSE);

    // Someone else starts the service; the next refresh unticks the box and
    // clears the flag with it, so that closing does not start it again.
    service_.state = SERVICE_RUNNING;
    driver_.ClickRow(*dlg_, IDC_PORT_LIST, 0);
    EXPECT_EQ(dlg_->IsDlgButtonChecked(IDC_START_ON_CLOSE), 0);
    EXPECT_FALSE(Enabled(IDC_START_ON_CLOSE));
    EXPECT_EQ(dlg_->start_on_close_flags(), 0u);

    service_.state = SERVICE_STOPPED;
    driver_.ClickRow(*dlg_, IDC_PORT_LIST, 0);
    driver_.Click(*dlg_, IDC_START_ON_CLOSE);  // ticks it again
    driver_.Click(*dlg_, IDC_START_ON_CLOSE);  // and clears it
    EXPECT_EQ(dlg_->start_on_close_flags(), 0u);
}

TEST_F(MainDlg, StopServiceAsksThenStopsOrReports) {
    service_.state = SERVICE_RUNNING;
    Open();

    driver_.answer_next(ui::IDCANCEL);
    driver_.Click(*dlg_, IDC_STOP_SERVICE);
    EXPECT_EQ(service_.stops, 0);
    EXPECT_EQ(driver_.messages().back().text, "Press OK to attempt to stop the Varolan Service.");

    service_.stop_ok = false;
    driver_.Click(*dlg_, IDC_STOP_SERVICE);
    EXPECT_EQ(service_.stops, 1);
    EXPECT_EQ(driver_.messages().back().text, "Error attempting to stop Varolan.");
    EXPECT_TRUE(Enabled(IDC_STOP_SERVICE));

    // A stop that leaves the service stopping offers "Start on Close." at once.
    service_.stop_ok = true;
    driver_.Click(*dlg_, IDC_STOP_SERVICE);
    EXPECT_EQ(service_.stops, 2);
    EXPECT_TRUE(Enabled(IDC_START_ON_CLOSE));
    EXPECT_FALSE(Enabled(IDC_STOP_SERVICE));
}

TEST_F(MainDlg, TemplatePortIsTheLastPortSelectedAlone) {
    CPortRecord* a = AddPort("Serial0", "COM1");
    CPortRecord* b = AddPort("Serial1", "COM2");
    CPortRecord* c = AddPort("Serial2", "COM3");
    b->current.baud = 0x2000;  // 19200
    c->current.baud = 0x2000;
    a->current.baud = 0x0040;  // 1200
    Open();
    driver_.ClickRow(*dlg_, IDC_PORT_LIST, 0);
    EXPECT_EQ(dlg_->template_port(), a);
    driver_.ClickRow(*dlg_, IDC_PORT_LIST, 2, /*extend=*/true);
    EXPECT_EQ(dlg_->template_port(), a);

    std::string header;
    std::string baud;
    driver_.OnNextModal<CLocalPortDlg>([&](CLocalPortDlg& d) {
        header = d.GetDlgItemText(IDC_HEADER_1);
        baud = d.GetDlgItemText(IDC_BAUD);
        ui::HeadlessDriver::Click(d, ui::IDOK);
    });
    ASSERT_TRUE(driver_.Click(*dlg_, IDC_PORT_SETUP));
    EXPECT_TRUE(driver_.errors().empty());
    EXPECT_EQ(header, "Setting Varolan local port configurations for 3 ports.");
    EXPECT_EQ(baud, "1200");
    for (CPortRecord* r : {a, b, c}) {
        EXPECT_TRUE(r->changed());
        EXPECT_EQ(r->current.baud, 0x0040u);
    }
    EXPECT_TRUE(db_.modified());
    EXPECT_TRUE(Enabled(IDC_RESET));
}

TEST_F(MainDlg, WithoutATemplateTheFirstSelectedPortSeedsTheDialog) {
    AddPort("Serial0", "COM1");
    CPortRecord* b = AddPort("Serial1", "COM2");
    AddPort("Serial2", "COM3");
    Open();
    // Ctrl-clicks add rows one by one; the first one makes the template, so
    // select two at once through the list itself.
    List().SetSel(1, true);
    List().SetSel(2, true);
    dlg_->SendCommand(IDC_PORT_LIST, ui::LBN_SELCHANGE);
    EXPECT_EQ(dlg_->template_port(), nullptr);

    // Cancel: the records stay unchanged.
    driver_.OnNextModal([](ui::Dialog& d) { ui::HeadlessDriver::Click(d, ui::IDCANCEL); });
    driver_.Click(*dlg_, IDC_PORT_SETUP);
    EXPECT_EQ(dlg_->template_port(), b);
    EXPECT_FALSE(b->changed());
    EXPECT_FALSE(db_.modified());
}

TEST_F(MainDlg, DoubleClickOpensSetup) {
    AddPort("Serial0", "COM1");
    Open();
    driver_.OnNextModal([](ui::Dialog& d) { ui::HeadlessDriver::Click(d, ui::IDCANCEL); });
    ASSERT_TRUE(driver_.DoubleClickRow(*dlg_, IDC_PORT_LIST, 0));
    EXPECT_EQ(driver_.modal_log(),
              std::vector<std::string>{"Varolan Maintenance : Change Local Port Configuration"});
}

TEST_F(MainDlg, RemoteSetupRefreshesTheTextsOnOkOnly) {
    db_.remote.current.escape = "\x1d";
    Open();
    driver_.OnNextModal([](ui::Dialog& d) { ui::HeadlessDriver::Click(d, ui::IDCANCEL); });
    driver_.Click(*dlg_, IDC_REMOTE_SETUP);
    EXPECT_FALSE(db_.modified());

    driver_.OnNextModal<CRemotePortDlg>([](CRemotePortDlg& d) {
        ui::HeadlessDriver::TypeInto(d, IDC_NEW_ESCAPE, "1b");
        ui::HeadlessDriver::TypeInto(d, IDC_NEW_PROMPT, "Hello");
        ui::HeadlessDriver::Click(d, ui::IDOK);
    });
    driver_.Click(*dlg_, IDC_REMOTE_SETUP);
    EXPECT_TRUE(db_.modified());
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_REMOTE_ESCAPE), "1b");
    EXPECT_EQ(dlg_->GetDlgItemText(IDC_REMOTE_PROMPT), "Hello");
    EXPECT_TRUE(Enabled(IDC_RESET));
}

TEST_F(MainDlg, SystemCommandsOfTheAboutRangeOpenTheAboutBox) {
    Open();
    driver_.OnNextModal([](ui::Dialog& d) { ui::HeadlessDriver::Click(d, ui::IDOK); });
    ASSERT_TRUE(driver_.ChooseSystemCommand(*dlg_, IDM_ABOUTBOX));
    driver_.OnNextModal([](ui::Dialog&) {});
    dlg_->SendSysCommand(0x1005);
    driver_.OnNextModal([](ui::Dialog&) {});
    dlg_->SendSysCommand(0x100F);
    dlg_->SendSysCommand(0x1010);  // outside the range: default handling
    dlg_->SendSysCommand(0x0FFF);
    EXPECT_EQ(driver_.modal_log(),
              (std::vector<std::string>{"About Varolan", "About Varolan", "About Varolan"}));
    EXPECT_FALSE(dlg_->IsEnded());
    EXPECT_EQ(driver_.pending_scripts(), 0u);

    // The system menu's Close ends the dialog like Esc.
    dlg_->SendSysCommand(ui::SC_CLOSE);
    EXPECT_TRUE(dlg_->IsEnded());
    EXPECT_EQ(dlg_->GetResult(), ui::IDCANCEL);
}

TEST_F(MainDlg, HelpShowsTheMainTopic) {
    Open();
    driver_.Click(*dlg_, ui::ID_HELP);
    EXPECT_EQ(driver_.help_log(), std::vector<std::string>{"Varolan Maintenance Help"});
    EXPECT_NE(dlg_->help_text().find("Device not set up for Varolan."), std::string::npos);
}

}  // namespace
}  // namespace varolan::util::test
