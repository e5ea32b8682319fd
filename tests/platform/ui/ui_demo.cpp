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

}  // namespace

int main(int argc, char** argv) {
    set_message_title("Varolan Maintenance");
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
