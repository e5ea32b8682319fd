// A small dialog on the real terminal, driven by the tmux test. Writes the
// outcome to the file named by its first argument when the dialog closes.
#include <cstdio>
#include <string>

#include "platform/ui/dialog.h"
#include "platform/ui/message.h"
#include "platform/ui/screen.h"

namespace {

using namespace varolan::ui;

class DemoDlg : public Dialog {
  public:
    DemoDlg() : Dialog("UI Demo", 200, 112) {
        AddStatic(IDC_STATIC, "&Name :", {4, 10, 36, 8}, SS_RIGHT);
        AddEdit(10, {44, 8, 80, 12});
        AddCheckBox(11, "&Verbose", {44, 26, 80, 10});
        AddGroupBox(IDC_STATIC, "&Ports", {4, 40, 130, 64});
        AddListBox(12, {10, 52, 118, 48},
                   LBS_NOTIFY | LBS_SORT | LBS_EXTENDEDSEL | LBS_USETABSTOPS | WS_VSCROLL);
        AddButton(IDOK, "OK", {146, 8, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(IDCANCEL, "Cancel", {146, 28, 50, 14});
        AddButton(14, "&Ask...", {146, 48, 50, 14});
        AddButton(ID_HELP, "&Help", {146, 68, 50, 14});
        OnClicked(14,
                  [this] { asked = MessageBox("Really ask?\nPress OK to confirm.", MB_OKCANCEL); });
        SetHelpTopic("UI Demo help", "This is the help of the demo dialog.");
        GetSystemMenu().AppendMenu(MF_SEPARATOR);
        GetSystemMenu().AppendMenu(MF_STRING, 0x1000, "About Demo...");
    }
    std::string name = "abc";
    int verbose = 0;
    int asked = 0;
    unsigned about = 0;

  protected:
    bool OnInitDialog() override {
        Dialog::OnInitDialog();
        ListBox& list = *GetListBox(12);
        list.SetTabStops({8, 40});
        for (const char* row : {"\tCOM2\t9600", "\tCOM1\t1200", "\tCOM10\t300"}) {
            list.AddString(row);
        }
        return true;
    }
    void DoDataExchange(DataExchange& dx) override {
        dx.Text(10, name);
        dx.MaxChars(10, name, 12);
        dx.Check(11, verbose);
    }
    void OnSysCommand(unsigned command) override {
        if ((command & 0xFFF0u) == 0x1000) {
            about = command;
            message_box("Demo version 1", MB_OK | MB_ICONEXCLAMATION);
            return;
        }
        Dialog::OnSysCommand(command);
    }
};

// A dialog larger than 80x24 at full size (337 x 280 units), to see it fitted.
class WideDlg : public Dialog {
  public:
    WideDlg() : Dialog("Wide Demo", 337, 280) {
        AddGroupBox(161, "Remote Port Configuration", {4, 2, 171, 69});
        AddStatic(158, "&Escape Sequence :", {7, 20, 67, 8}, SS_RIGHT);
        AddEdit(120, {76, 18, 50, 12}, ES_READONLY | ES_AUTOHSCROLL);
        AddStatic(159, "&Terminal Type :", {6, 37, 67, 8}, SS_RIGHT);
        AddEdit(121, {76, 35, 50, 12}, ES_READONLY | ES_AUTOHSCROLL);
        AddStatic(160, "&Prompt :", {6, 54, 67, 8}, SS_RIGHT);
        AddEdit(122, {76, 52, 50, 12}, ES_READONLY | ES_AUTOHSCROLL);
        AddButton(104, "Set&up...", {131, 34, 39, 14});
        AddGroupBox(IDC_STATIC, "Varolan Service Control", {178, 2, 100, 69});
        AddCheckBox(137, "St&art on Close.", {197, 19, 62, 10});
        AddButton(138, "St&op Service...", {185, 41, 86, 14});
        AddGroupBox(IDC_STATIC, "&Local Port Configuration", {4, 74, 329, 202});
        const char* heads[] = {"Port Name", "Baud Rate", "Data Bits",
                               "Stop Bits", "Parity",    "Flow Control"};
        const int xs[] = {12, 54, 98, 135, 176, 208};
        for (int i = 0; i < 6; ++i) {
            AddStatic(IDC_STATIC, heads[i], {xs[i], 88, 40, 8}, SS_CENTER);
        }
        AddListBox(
            110, {10, 100, 255, 169},
            LBS_NOTIFY | LBS_SORT | LBS_USETABSTOPS | LBS_EXTENDEDSEL | WS_VSCROLL | WS_BORDER);
        AddButton(111, "&Setup...", {274, 101, 50, 14}, WS_GROUP);
        AddButton(112, "&Remove...", {274, 127, 50, 14});
        AddButton(IDOK, "Close", {282, 7, 50, 14}, BS_DEFPUSHBUTTON);
        AddButton(108, "Reset...", {282, 31, 50, 14});
        AddButton(ID_HELP, "&Help", {282, 55, 50, 14});
    }

  protected:
    bool OnInitDialog() override {
        ListBox& list = *GetListBox(110);
        list.SetTabStops({8, 50, 98, 133, 170, 206});
        list.AddString("\tCOM1\t9600\t8\t1\tnone\tRts/Cts");
        list.AddString("\tCOM2\tDevice not set up for Varolan.");
        SetDlgItemText(120, "1d");
        SetDlgItemText(121, "vt100");
        SetDlgItemText(122, "Welcome to the gateway, whose prompt scrolls");
        return true;
    }
};

}  // namespace

int main(int argc, char** argv) {
    set_message_title("Varolan Maintenance");
    if (argc > 2 && std::string(argv[2]) == "--wide") {
        WideDlg wide;
        ScreenSession session;
        const int r = wide.DoModal();
        EndScreen();
        if (std::FILE* f = std::fopen(argv[1], "w")) {
            std::fprintf(f, "result=%d\n", r);
            std::fclose(f);
        }
        return 0;
    }
    int result = 0;
    DemoDlg dlg;
    {
        ScreenSession session;
        result = dlg.DoModal();
    }
    if (argc > 1) {
        if (std::FILE* f = std::fopen(argv[1], "w")) {
            std::fprintf(f, "result=%d name=%s verbose=%d asked=%d about=%u\n", result,
                         dlg.name.c_str(), dlg.verbose, dlg.asked, dlg.about);
            std::fclose(f);
        }
    }
    return 0;
}
