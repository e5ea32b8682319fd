// Dialog behaviour driven headless: focus order, mnemonics, default and cancel
// keys, check boxes, list selection by keys and clicks, combo keys, data
// exchange, the system menu and nested modal runs with message boxes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/headless.h"

namespace varolan::ui {
namespace {

// A dialog shaped like a small settings form; it logs its commands.
class SampleDlg : public Dialog {
  public:
    SampleDlg() : Dialog("Sample", 200, 120) {
        AddGroupBox(IDC_STATIC, "&Group", {2, 2, 120, 60});
        AddStatic(IDC_STATIC, "&Name :", {6, 12, 40, 8}, SS_RIGHT);
        AddEdit(10, {50, 10, 60, 12});
        AddCheckBox(11, "&Active", {6, 28, 60, 10});
        AddCheckBox(12, "Disabled &box", {6, 40, 60, 10}, WS_DISABLED);
        AddStatic(IDC_STATIC, "&Ports", {6, 64, 40, 8});
        AddListBox(13, {6, 72, 100, 40}, LBS_NOTIFY | LBS_SORT | LBS_EXTENDEDSEL | LBS_USETABSTOPS);
        AddComboBox(14, {130, 80, 50, 60});
        AddButton(IDOK, "OK", {140, 6, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(IDCANCEL, "Cancel", {140, 24, 50, 14});
        AddButton(20, "&Setup...", {140, 42, 50, 14});
        AddButton(ID_HELP, "&Help", {140, 60, 50, 14});
        OnClicked(20, [this] { log.push_back("setup"); });
        OnNotify(13, LBN_SELCHANGE, [this] { log.push_back("selchange"); });
        OnNotify(13, LBN_DBLCLK, [this] { log.push_back("dblclk"); });
        OnNotify(14, CBN_SELCHANGE, [this] { log.push_back("combo"); });
        OnClicked(11, [this] { log.push_back(IsDlgButtonChecked(11) ? "checked" : "unchecked"); });
        SetHelpTopic("Sample help", "Some help.");
    }
    std::string name = "initial";
    int cancels = 0;
    int oks = 0;
    std::vector<std::string> log;

  protected:
    bool OnInitDialog() override {
        Dialog::OnInitDialog();
        for (const char* row : {"\tCOM2", "\tCOM1", "\tCOM3"}) {
            GetListBox(13)->AddString(row);
        }
        for (const char* e : {"none", "odd", "even"}) {
            GetComboBox(14)->AddString(e);
        }
        GetComboBox(14)->SetCurSel(0);
        return true;
    }
    void DoDataExchange(DataExchange& dx) override {
        dx.Text(10, name);
        dx.MaxChars(10, name, 8);
    }
    void OnOK() override {
        ++oks;
        Dialog::OnOK();
    }
    void OnCancel() override {
        ++cancels;
        Dialog::OnCancel();
    }
};

std::vector<int> focus_walk(Dialog& dlg, int presses, bool backwards) {
    std::vector<int> ids;
    for (int i = 0; i < presses; ++i) {
        dlg.HandleKey(key::Tab, false, backwards);
        ids.push_back(dlg.GetFocusId());
    }
    return ids;
}

TEST(Dialog, InitLoadsDataAndFocusesTheFirstControl) {
    HeadlessDriver drv;
    SampleDlg dlg;
    EXPECT_TRUE(drv.Start(dlg));
    EXPECT_EQ(dlg.GetDlgItemText(10), "initial");
    EXPECT_EQ(dlg.GetFocusId(), 10);
    EXPECT_TRUE(dlg.GetEdit(10)->AllSelected());
    EXPECT_EQ(dlg.GetEdit(10)->GetLimitText(), 8);
    EXPECT_FALSE(dlg.IsEnded());
}

TEST(Dialog, TabOrderSkipsStaticsDisabledAndHiddenControls) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    EXPECT_EQ(focus_walk(dlg, 8, false),
              (std::vector<int>{11, 13, 14, IDOK, IDCANCEL, 20, ID_HELP, 10}));
    EXPECT_EQ(focus_walk(dlg, 2, true), (std::vector<int>{ID_HELP, 20}));
    dlg.ShowDlgItem(IDCANCEL, false);
    dlg.EnableDlgItem(14, false);
    dlg.GotoDlgCtrl(13);
    EXPECT_EQ(focus_walk(dlg, 3, false), (std::vector<int>{IDOK, 20, ID_HELP}));
    // Disabling the control that has the focus passes it on.
    dlg.EnableDlgItem(ID_HELP, false);
    EXPECT_EQ(dlg.GetFocusId(), 10);
    EXPECT_FALSE(dlg.GotoDlgCtrl(ID_HELP));
}

TEST(Dialog, MnemonicsFocusClickAndToggle) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    // Alt+letter works from an edit; a plain letter is typed into it.
    dlg.HandleKey('a', false);
    EXPECT_EQ(dlg.GetDlgItemText(10), "a");
    EXPECT_EQ(dlg.IsDlgButtonChecked(11), 0);
    dlg.HandleKey('a', true);
    EXPECT_EQ(dlg.IsDlgButtonChecked(11), 1);
    EXPECT_EQ(dlg.GetFocusId(), 11);
    // From a check box the plain letter is enough.
    dlg.HandleKey('S');
    EXPECT_EQ(dlg.GetFocusId(), 20);
    // A static's letter goes to the control after it; a group's likewise.
    dlg.HandleKey('p');
    EXPECT_EQ(dlg.GetFocusId(), 13);
    dlg.HandleKey('n', true);
    EXPECT_EQ(dlg.GetFocusId(), 10);
    dlg.HandleKey('g', true);
    EXPECT_EQ(dlg.GetFocusId(), 10);  // the group's next control is the edit too
    // A disabled control's letter does nothing.
    dlg.HandleKey('b', true);
    EXPECT_EQ(dlg.IsDlgButtonChecked(12), 0);
    EXPECT_EQ(dlg.GetFocusId(), 10);
    dlg.HandleKey('h', true);
    EXPECT_EQ(drv.help_log(), (std::vector<std::string>{"Sample help"}));
    EXPECT_EQ(dlg.log, (std::vector<std::string>{"checked", "setup"}));
}

TEST(Dialog, SharedMnemonicCyclesWithAltAndIsIgnoredPlain) {
    HeadlessDriver drv;
    Dialog dlg("Dup", 100, 60);
    dlg.AddButton(1, "&Go", {0, 0, 40, 14});
    dlg.AddButton(2, "&Get", {0, 20, 40, 14});
    int clicks = 0;
    dlg.OnClicked(1, [&] { ++clicks; });
    dlg.OnClicked(2, [&] { ++clicks; });
    drv.Start(dlg);
    EXPECT_EQ(dlg.GetFocusId(), 1);
    EXPECT_FALSE(dlg.HandleKey('g'));
    dlg.HandleKey('g', true);
    EXPECT_EQ(dlg.GetFocusId(), 2);
    dlg.HandleKey('g', true);
    EXPECT_EQ(dlg.GetFocusId(), 1);
    EXPECT_EQ(clicks, 0);
}

TEST(Dialog, EnterAndEscapeEndTheDialogThroughTheHooks) {
    struct Case {
        const char* what;
        std::vector<KeyEvent> keys;
        int result;
        int oks;
        int cancels;
    };
    const std::vector<Case> cases = {
        {"enter in the edit presses the default button", {{key::Enter}}, IDOK, 1, 0},
        {"escape cancels", {{key::Escape}}, IDCANCEL, 0, 1},
        {"enter on the focused cancel button",
         {{key::Tab, false, true}, {key::Tab, false, true}, {key::Tab, false, true}, {key::Enter}},
         IDCANCEL,
         0,
         1},
        {"space on the focused OK button",
         {{key::Tab, false, true},
          {key::Tab, false, true},
          {key::Tab, false, true},
          {key::Tab, false, true},
          {key::Space}},
         IDOK,
         1,
         0},
        {"system menu close", {{key::Space, true}, {key::Enter}}, IDCANCEL, 0, 1},
        {"system menu letter", {{key::Space, true}, {'c'}}, IDCANCEL, 0, 1},
    };
    for (const auto& c : cases) {
        HeadlessDriver drv;
        SampleDlg dlg;
        drv.OnNextModal([&](Dialog& d) {
            for (const auto& k : c.keys) {
                d.HandleKey(k);
            }
        });
        EXPECT_EQ(dlg.DoModal(), c.result) << c.what;
        EXPECT_EQ(dlg.oks, c.oks) << c.what;
        EXPECT_EQ(dlg.cancels, c.cancels) << c.what;
        EXPECT_TRUE(drv.errors().empty()) << c.what;
    }
}

TEST(Dialog, DisabledDefaultButtonIgnoresEnter) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    dlg.EnableDlgItem(IDOK, false);
    dlg.HandleKey(key::Enter);
    EXPECT_FALSE(dlg.IsEnded());
    EXPECT_FALSE(HeadlessDriver::Click(dlg, IDOK));
    EXPECT_EQ(dlg.oks, 0);
}

TEST(Dialog, SpaceTogglesCheckBoxesAndNotifies) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    dlg.HandleKey(key::Tab);
    ASSERT_EQ(dlg.GetFocusId(), 11);
    dlg.HandleKey(key::Space);
    dlg.HandleKey(key::Space);
    EXPECT_TRUE(HeadlessDriver::Click(dlg, 11));
    EXPECT_FALSE(HeadlessDriver::Click(dlg, 12));  // disabled
    EXPECT_EQ(dlg.IsDlgButtonChecked(12), 0);
    EXPECT_EQ(dlg.log, (std::vector<std::string>{"checked", "unchecked", "checked"}));
}

TEST(Dialog, ListKeysSelectExtendToggleAndActivate) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    ListBox& list = *dlg.GetListBox(13);
    dlg.GotoDlgCtrl(13);
    ASSERT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.GetText(0), "\tCOM1");
    dlg.HandleKey(key::Down);  // first row
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{0}));
    dlg.HandleKey(key::Down, false, true);  // Shift+Down extends
    dlg.HandleKey(key::Down, false, true);
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{0, 1, 2}));
    dlg.HandleKey(key::Up);  // a plain move selects one row
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{1}));
    dlg.HandleKey(KeyEvent{key::Home, false, false, /*ctrl=*/true});  // the caret alone
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{1}));
    dlg.HandleKey(key::Space);  // Space adds the caret row
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{0, 1}));
    dlg.HandleKey(key::Space);  // and removes it again
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{1}));
    dlg.HandleKey(key::Enter);  // Enter on a row is a double click, not the default button
    EXPECT_FALSE(dlg.IsEnded());
    EXPECT_EQ(dlg.log.back(), "dblclk");
    EXPECT_EQ(std::count(dlg.log.begin(), dlg.log.end(), "selchange"), 6);
}

TEST(Dialog, ListClicksChooseRowsAndDoubleClickNotifies) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    ListBox& list = *dlg.GetListBox(13);
    EXPECT_TRUE(HeadlessDriver::ClickRow(dlg, 13, 0));
    EXPECT_EQ(dlg.GetFocusId(), 13);
    EXPECT_TRUE(HeadlessDriver::ClickRow(dlg, 13, 2, /*extend=*/true));
    EXPECT_EQ(list.GetSelCount(), 3);
    EXPECT_TRUE(HeadlessDriver::ClickRow(dlg, 13, 1, false, /*toggle=*/true));
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{0, 2}));
    EXPECT_FALSE(HeadlessDriver::ClickRow(dlg, 13, 3));
    EXPECT_TRUE(HeadlessDriver::DoubleClickRow(dlg, 13, 1));
    EXPECT_EQ(list.GetSelItems(), (std::vector<int>{1}));
    EXPECT_EQ(dlg.log, (std::vector<std::string>{"selchange", "selchange", "selchange", "selchange",
                                                 "dblclk"}));
}

TEST(Dialog, ComboKeysAndDropDown) {
    HeadlessDriver drv;
    SampleDlg dlg;
    drv.Start(dlg);
    ComboBox& combo = *dlg.GetComboBox(14);
    dlg.GotoDlgCtrl(14);
    ASSERT_EQ(combo.GetWindowText(), "none");
    dlg.HandleKey(key::Down);
    EXPECT_EQ(combo.GetWindowText(), "odd");
    dlg.HandleKey(key::Down);
    dlg.HandleKey(key::Down);  // stays on the last entry
    EXPECT_EQ(combo.GetCurSel(), 2);
    dlg.HandleKey('n');  // a combo box searches its entries; "&Name" needs Alt here
    EXPECT_EQ(combo.GetWindowText(), "none");
    // Dropped: arrows move in the list, Esc closes it without ending the dialog.
    dlg.HandleKey(key::Down, true);
    EXPECT_TRUE(combo.IsDropped());
    dlg.HandleKey(key::Down);
    EXPECT_EQ(combo.GetWindowText(), "none");
    dlg.HandleKey(key::Escape);
    EXPECT_FALSE(combo.IsDropped());
    EXPECT_FALSE(dlg.IsEnded());
    EXPECT_EQ(combo.GetWindowText(), "none");
    dlg.HandleKey(key::Space);
    dlg.HandleKey(key::Down);
    dlg.HandleKey(key::Down);
    dlg.HandleKey(key::Enter);  // chooses, does not press OK
    EXPECT_FALSE(dlg.IsEnded());
    EXPECT_EQ(combo.GetWindowText(), "even");
    EXPECT_TRUE(HeadlessDriver::SelectEntry(dlg, 14, 1));
    EXPECT_EQ(dlg.log, (std::vector<std::string>{"combo", "combo", "combo", "combo", "combo"}));
}

TEST(DataExchange, TooLongTextIsRefusedWithTheLimitInTheMessage) {
    HeadlessDriver drv;
    set_message_title("Varolan Maintenance");
    SampleDlg dlg;
    drv.OnNextModal([](Dialog& d) {
        d.GetEdit(10)->SetWindowText("123456789");  // longer than typing allows
        d.GotoDlgCtrl(11);
        d.HandleKey(key::Enter);
        EXPECT_FALSE(d.IsEnded());
        EXPECT_EQ(d.GetFocusId(), 10);
        HeadlessDriver::TypeInto(d, 10, "12345678");
        d.HandleKey(key::Enter);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.name, "12345678");
    ASSERT_EQ(drv.messages().size(), 1u);
    EXPECT_EQ(drv.messages()[0].text, "Please enter no more than 8 characters.");
    EXPECT_EQ(drv.messages()[0].title, "Varolan Maintenance");
    EXPECT_EQ(drv.messages()[0].style, MB_OK | MB_ICONEXCLAMATION);
    set_message_title("");
}

// A dialog whose button opens a nested dialog and asks a question.
class OuterDlg : public Dialog {
  public:
    OuterDlg() : Dialog("Outer", 100, 60) {
        AddButton(30, "&Open", {0, 0, 40, 14});
        AddButton(IDOK, "Close", {50, 0, 40, 14}, BS_DEFPUSHBUTTON);
        OnClicked(30, [this] {
            SampleDlg inner;
            inner_result = inner.DoModal();
            inner_name = inner.name;
            if (inner_result == IDOK) {
                answer = MessageBox("Keep \"" + inner_name + "\"?", MB_OKCANCEL);
            }
        });
        GetSystemMenu().AppendMenu(MF_SEPARATOR);
        GetSystemMenu().AppendMenu(MF_STRING, 0x1000, "About...");
    }
    int inner_result = 0;
    int answer = 0;
    std::string inner_name;
    std::vector<unsigned> sys_commands;

  protected:
    void OnSysCommand(unsigned command) override {
        sys_commands.push_back(command);
        Dialog::OnSysCommand(command);
    }
};

TEST(Modal, NestedDialogsRunInTurnAndMessagesAreAnswered) {
    HeadlessDriver drv;
    OuterDlg outer;
    drv.OnNextModal([](Dialog& d) {
        HeadlessDriver::Click(d, 30);  // runs the nested dialog inside this script
        EXPECT_FALSE(d.IsEnded());
        HeadlessDriver::Click(d, 30);
        HeadlessDriver::Click(d, IDOK);
    });
    drv.OnNextModal<SampleDlg>([](SampleDlg& d) {
        HeadlessDriver::TypeInto(d, 10, "first");
        d.HandleKey(key::Enter);
    });
    drv.OnNextModal<SampleDlg>([](SampleDlg& d) { d.HandleKey(key::Escape); });
    drv.answer_next(IDCANCEL);
    EXPECT_EQ(outer.DoModal(), IDOK);
    EXPECT_EQ(outer.inner_result, IDCANCEL);  // the second run
    EXPECT_EQ(outer.answer, IDCANCEL);        // the first run's question
    EXPECT_EQ(drv.modal_log(), (std::vector<std::string>{"Outer", "Sample", "Sample"}));
    ASSERT_EQ(drv.texts(), (std::vector<std::string>{"Keep \"first\"?"}));
    EXPECT_EQ(drv.messages()[0].style, MB_OKCANCEL | MB_ICONEXCLAMATION);
    EXPECT_TRUE(drv.errors().empty());
}

TEST(Modal, UnscriptedOrMismatchedDialogsAreCancelledAndReported) {
    HeadlessDriver drv;
    OuterDlg outer;
    drv.OnNextModal<SampleDlg>([](SampleDlg&) {});
    EXPECT_EQ(outer.DoModal(), IDCANCEL);
    SampleDlg sample;
    EXPECT_EQ(sample.DoModal(), IDCANCEL);
    EXPECT_EQ(sample.cancels, 1);
    EXPECT_EQ(drv.errors().size(), 2u);
}

TEST(SystemMenu, EntriesSendTheirCommandsAndCloseEndsLikeEscape) {
    HeadlessDriver drv;
    OuterDlg outer;
    drv.Start(outer);
    EXPECT_TRUE(HeadlessDriver::ChooseSystemCommand(outer, 0x1000));
    EXPECT_FALSE(outer.IsEnded());
    EXPECT_FALSE(outer.IsSystemMenuOpen());
    outer.HandleKey(key::Space, true);
    EXPECT_TRUE(outer.IsSystemMenuOpen());
    outer.HandleKey(key::Escape);  // closes the menu only
    EXPECT_FALSE(outer.IsSystemMenuOpen());
    EXPECT_FALSE(outer.IsEnded());
    EXPECT_FALSE(HeadlessDriver::ChooseSystemCommand(outer, 0x2000));
    EXPECT_TRUE(HeadlessDriver::ChooseSystemCommand(outer, SC_CLOSE));
    EXPECT_TRUE(outer.IsEnded());
    EXPECT_EQ(outer.GetResult(), IDCANCEL);
    EXPECT_EQ(outer.sys_commands, (std::vector<unsigned>{0x1000, SC_CLOSE}));
}

TEST(MessageSink, RecordingSinkAnswersInOrderAndOkBoxesAlwaysOk) {
    RecordingMessageSink sink;
    ScopedMessageSink scope(&sink);
    set_message_title("T");
    sink.answer_next(IDCANCEL);
    sink.answer_next(IDCANCEL);
    EXPECT_EQ(message_box("q1", MB_OKCANCEL | MB_ICONEXCLAMATION), IDCANCEL);
    EXPECT_EQ(message_box("info"), IDOK);  // an OK box cannot answer Cancel
    EXPECT_EQ(message_box("q2", MB_OKCANCEL), IDOK);
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"q1", "info", "q2"}));
    EXPECT_EQ(sink.messages()[1].style, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(sink.messages()[0].title, "T");
    set_message_title("");
}

}  // namespace
}  // namespace varolan::ui
