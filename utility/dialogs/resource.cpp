#include "utility/dialogs/resource.h"

namespace varolan::util {

namespace {

using ui::ControlKind;
using ui::IDC_STATIC;

constexpr int IDOK = ui::IDOK;
constexpr int IDCANCEL = ui::IDCANCEL;

constexpr unsigned TAB = ui::WS_TABSTOP;
constexpr unsigned RO_EDIT = ui::ES_READONLY | ui::ES_AUTOHSCROLL | ui::WS_BORDER | TAB;
constexpr unsigned EDIT = ui::ES_AUTOHSCROLL | ui::WS_BORDER | TAB;
constexpr unsigned COMBO = ui::WS_VSCROLL | TAB;

// Main dialog: the pipe users' settings, service control and the port list.
constexpr ControlTemplate MAIN_CONTROLS[] = {
    {ControlKind::GroupBox, IDC_REMOTE_GROUP, "Remote Port Configuration", {4, 2, 171, 69}, 0},
    {ControlKind::Static, IDC_ESCAPE_LABEL, "&Escape Sequence :", {7, 20, 67, 8}, ui::SS_RIGHT},
    {ControlKind::Edit, IDC_REMOTE_ESCAPE, "", {76, 18, 50, 12}, RO_EDIT},
    {ControlKind::Static, IDC_TERMTYPE_LABEL, "&Terminal Type :", {6, 37, 67, 8}, ui::SS_RIGHT},
    {ControlKind::Edit, IDC_REMOTE_TERMTYPE, "", {76, 35, 50, 12}, RO_EDIT},
    {ControlKind::Static, IDC_PROMPT_LABEL, "&Prompt :", {6, 54, 67, 8}, ui::SS_RIGHT},
    {ControlKind::Edit, IDC_REMOTE_PROMPT, "", {76, 52, 50, 12}, RO_EDIT},
    {ControlKind::Button, IDC_REMOTE_SETUP, "Set&up...", {131, 34, 39, 14}, TAB},
    {ControlKind::GroupBox, IDC_STATIC, "Varolan Service Control", {178, 2, 100, 69}, 0},
    {ControlKind::CheckBox, IDC_START_ON_CLOSE, "St&art on Close.", {197, 19, 62, 10}, TAB},
    {ControlKind::Button, IDC_STOP_SERVICE, "St&op Service...", {185, 41, 86, 14}, TAB},
    {ControlKind::GroupBox, IDC_STATIC, "&Local Port Configuration", {4, 74, 329, 202}, 0},
    {ControlKind::Static, IDC_STATIC, "Port Name", {12, 88, 40, 8}, ui::SS_CENTER},
    {ControlKind::Static, IDC_STATIC, "Baud Rate", {54, 88, 42, 8}, ui::SS_CENTER},
    {ControlKind::Static, IDC_STATIC, "Data Bits", {98, 88, 36, 8}, ui::SS_CENTER},
    {ControlKind::Static, IDC_STATIC, "Stop Bits", {135, 88, 40, 8}, ui::SS_CENTER},
    {ControlKind::Static, IDC_STATIC, "Parity", {176, 88, 30, 8}, ui::SS_CENTER},
    {ControlKind::Static, IDC_STATIC, "Flow Control", {208, 88, 48, 8}, ui::SS_CENTER},
    {ControlKind::ListBox,
     IDC_PORT_LIST,
     "",
     {10, 100, 255, 169},
     ui::LBS_NOTIFY | ui::LBS_SORT | ui::LBS_USETABSTOPS | ui::LBS_EXTENDEDSEL | ui::WS_VSCROLL |
         ui::WS_BORDER | TAB},
    {ControlKind::Button, IDC_PORT_SETUP, "&Setup...", {274, 101, 50, 14}, ui::WS_GROUP | TAB},
    {ControlKind::Button, IDC_PORT_REMOVE, "&Remove...", {274, 127, 50, 14}, TAB},
    {ControlKind::Button, IDOK, "Close", {282, 7, 50, 14}, ui::BS_DEFPUSHBUTTON | TAB},
    {ControlKind::Button, IDC_RESET, "Reset...", {282, 31, 50, 14}, TAB},
    {ControlKind::Button, ui::ID_HELP, "&Help", {282, 55, 50, 14}, TAB},
};

// Local port dialog: nine settings, each a check box with the control it governs.
constexpr ControlTemplate LOCAL_CONTROLS[] = {
    {ControlKind::Static, IDC_HEADER_1, "", {8, 4, 284, 8}, ui::SS_NOPREFIX},
    {ControlKind::Static, IDC_HEADER_2, "", {8, 14, 284, 8}, ui::SS_NOPREFIX},
    {ControlKind::CheckBox, IDC_CHECK_BAUD, "&Baud Rate :", {8, 30, 74, 10}, TAB},
    {ControlKind::ComboBox, IDC_BAUD, "", {84, 30, 52, 12}, COMBO},
    {ControlKind::CheckBox, IDC_CHECK_DATABITS, "&Data Bits :", {8, 46, 74, 10}, TAB},
    {ControlKind::ComboBox, IDC_DATABITS, "", {84, 46, 52, 12}, COMBO},
    {ControlKind::CheckBox, IDC_CHECK_FLOW, "&Flow Control :", {8, 62, 74, 10}, TAB},
    {ControlKind::ComboBox, IDC_FLOW, "", {84, 62, 52, 12}, COMBO},
    {ControlKind::CheckBox, IDC_CHECK_STOPBITS, "&Stop Bits :", {8, 78, 74, 10}, TAB},
    {ControlKind::ComboBox, IDC_STOPBITS, "", {84, 78, 52, 12}, COMBO},
    {ControlKind::CheckBox, IDC_CHECK_PARITY, "&Parity :", {8, 94, 74, 10}, TAB},
    {ControlKind::ComboBox, IDC_PARITY, "", {84, 94, 52, 12}, COMBO},
    {ControlKind::CheckBox, IDC_CHECK_ESCAPE, "&Escape Sequence :", {144, 30, 84, 10}, TAB},
    {ControlKind::Edit, IDC_LOCAL_ESCAPE, "", {232, 30, 60, 12}, EDIT},
    {ControlKind::CheckBox, IDC_CHECK_TERMTYPE, "&Terminal Type :", {144, 46, 84, 10}, TAB},
    {ControlKind::Edit, IDC_LOCAL_TERMTYPE, "", {232, 46, 60, 12}, EDIT},
    {ControlKind::CheckBox, IDC_CHECK_XON, "&Xon Char :", {144, 62, 84, 10}, TAB},
    {ControlKind::Edit, IDC_XON, "", {232, 62, 24, 12}, EDIT},
    {ControlKind::CheckBox, IDC_CHECK_XOFF, "Xoff &Char :", {144, 78, 84, 10}, TAB},
    {ControlKind::Edit, IDC_XOFF, "", {232, 78, 24, 12}, EDIT},
    {ControlKind::Button, IDC_ENABLE_ALL, "E&nable All Settings", {8, 118, 96, 14}, TAB},
    {ControlKind::Button, IDC_DISABLE_ALL, "D&isable All Settings", {108, 118, 96, 14}, TAB},
    {ControlKind::Button, IDOK, "OK", {144, 144, 44, 14}, ui::BS_DEFPUSHBUTTON | TAB},
    {ControlKind::Button, IDCANCEL, "Cancel", {196, 144, 44, 14}, TAB},
    {ControlKind::Button, ui::ID_HELP, "&Help", {248, 144, 44, 14}, TAB},
};

// Remote port dialog: the pipe users' three settings.
constexpr ControlTemplate REMOTE_CONTROLS[] = {
    {ControlKind::Static, IDC_STATIC, "New &Escape Sequence :", {8, 8, 92, 8}, ui::SS_RIGHT},
    {ControlKind::Edit, IDC_NEW_ESCAPE, "", {104, 8, 128, 12}, EDIT},
    {ControlKind::Static, IDC_STATIC, "New &Terminal Type :", {8, 24, 92, 8}, ui::SS_RIGHT},
    {ControlKind::Edit, IDC_NEW_TERMTYPE, "", {104, 24, 128, 12}, EDIT},
    {ControlKind::Static, IDC_STATIC, "New &Prompt :", {8, 40, 92, 8}, ui::SS_RIGHT},
    {ControlKind::Edit, IDC_NEW_PROMPT, "", {104, 40, 128, 12}, EDIT},
    {ControlKind::Button, IDOK, "OK", {88, 64, 44, 14}, ui::BS_DEFPUSHBUTTON | TAB},
    {ControlKind::Button, IDCANCEL, "Cancel", {140, 64, 44, 14}, TAB},
    {ControlKind::Button, ui::ID_HELP, "&Help", {192, 64, 44, 14}, TAB},
};

// About box. The icon control (1008) is built by the dialog itself, at the
// size its picture needs.
constexpr ControlTemplate ABOUT_CONTROLS[] = {
    {ControlKind::Static, IDC_ABOUT_ICON, "", {8, 8, 76, 88}, ui::SS_NOPREFIX | ui::WS_DISABLED},
    {ControlKind::Static, IDC_ABOUT_VERSION, "", {96, 8, 132, 8}, ui::SS_NOPREFIX},
    {ControlKind::Static,
     IDC_STATIC,
     "Terminal-to-network gateway",
     {96, 18, 132, 8},
     ui::SS_NOPREFIX},
    {ControlKind::Static, IDC_STATIC, "", {96, 32, 132, 1}, ui::SS_BLACKRECT},
    {ControlKind::Static, IDC_STATIC, "Physical Memory:", {96, 44, 68, 8}, ui::SS_NOPREFIX},
    {ControlKind::Static, IDC_ABOUT_MEMORY, "", {168, 44, 64, 8}, ui::SS_NOPREFIX},
    {ControlKind::Static, IDC_STATIC, "Disk Space:", {96, 56, 68, 8}, ui::SS_NOPREFIX},
    {ControlKind::Static, IDC_ABOUT_DISK, "", {168, 56, 64, 8}, ui::SS_NOPREFIX},
    {ControlKind::Button, IDOK, "OK", {188, 80, 44, 14}, ui::BS_DEFPUSHBUTTON | TAB},
};

constexpr DialogTemplate MAIN_DIALOG{IDD_MAINTAIN_DIALOG, "Varolan Maintenance", 338, 280,
                                     MAIN_CONTROLS};
constexpr DialogTemplate LOCAL_DIALOG{IDD_LOCAL_PORT,
                                      "Varolan Maintenance : Change Local Port Configuration", 300,
                                      162, LOCAL_CONTROLS};
constexpr DialogTemplate REMOTE_DIALOG{IDD_REMOTE_PORT,
                                       "Varolan Maintenance : Change Remote Port Configuration",
                                       244, 84, REMOTE_CONTROLS};
constexpr DialogTemplate ABOUT_DIALOG{IDD_ABOUTBOX, "About Varolan", 240, 100, ABOUT_CONTROLS};

}  // namespace

const DialogTemplate& main_dialog_template() {
    return MAIN_DIALOG;
}
const DialogTemplate& local_port_template() {
    return LOCAL_DIALOG;
}
const DialogTemplate& remote_port_template() {
    return REMOTE_DIALOG;
}
const DialogTemplate& about_template() {
    return ABOUT_DIALOG;
}

void CreateControls(ui::Dialog& dialog, const DialogTemplate& tmpl, int skip_id) {
    for (const ControlTemplate& c : tmpl.controls) {
        if (skip_id != 0 && c.id == skip_id) {
            continue;
        }
        ui::Control* made = nullptr;
        switch (c.kind) {
            case ControlKind::Static:
                made = &dialog.AddStatic(c.id, c.text, c.rect, c.style);
                break;
            case ControlKind::GroupBox:
                made = &dialog.AddGroupBox(c.id, c.text, c.rect, c.style);
                break;
            case ControlKind::Edit:
                made = &dialog.AddEdit(c.id, c.rect, c.style);
                break;
            case ControlKind::Button:
                made = &dialog.AddButton(c.id, c.text, c.rect, c.style);
                break;
            case ControlKind::CheckBox:
                made = &dialog.AddCheckBox(c.id, c.text, c.rect, c.style);
                break;
            case ControlKind::ListBox:
                made = &dialog.AddListBox(c.id, c.rect, c.style);
                break;
            case ControlKind::ComboBox:
                made = &dialog.AddComboBox(c.id, c.rect, c.style);
                break;
        }
        if (made != nullptr && (c.style & ui::WS_DISABLED) != 0) {
            made->EnableWindow(false);
        }
    }
}

}  // namespace varolan::util
