// The utility's dialog resources: control IDs and the dialog templates (kind,
// caption, rectangle in dialog units, style of every control), kept as data so
// that each dialog class builds its controls from one table.
#pragma once

#include <span>

#include "platform/ui/dialog.h"

namespace varolan::util {

// ---- dialog resources ----
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_MAINTAIN_DIALOG = 101;
inline constexpr int IDD_REMOTE_PORT = 102;
inline constexpr int IDD_LOCAL_PORT = 103;

// ---- main dialog (101) ----
inline constexpr int IDC_REMOTE_SETUP = 104;
inline constexpr int IDC_RESET = 108;
inline constexpr int IDC_PORT_LIST = 110;
inline constexpr int IDC_PORT_SETUP = 111;
inline constexpr int IDC_PORT_REMOVE = 112;
inline constexpr int IDC_REMOTE_ESCAPE = 120;
inline constexpr int IDC_REMOTE_TERMTYPE = 121;
inline constexpr int IDC_REMOTE_PROMPT = 122;
inline constexpr int IDC_START_ON_CLOSE = 137;
inline constexpr int IDC_STOP_SERVICE = 138;
inline constexpr int IDC_ESCAPE_LABEL = 158;
inline constexpr int IDC_TERMTYPE_LABEL = 159;
inline constexpr int IDC_PROMPT_LABEL = 160;
inline constexpr int IDC_REMOTE_GROUP = 161;

// System menu entry of the About box; commands 0x1000..0x100F open it.
inline constexpr unsigned IDM_ABOUTBOX = 0x1000;

// ---- local port dialog (103) ----
inline constexpr int IDC_LOCAL_TERMTYPE = 102;
inline constexpr int IDC_BAUD = 113;
inline constexpr int IDC_DATABITS = 114;
inline constexpr int IDC_STOPBITS = 115;
inline constexpr int IDC_FLOW = 116;
inline constexpr int IDC_PARITY = 117;
inline constexpr int IDC_XON = 118;
inline constexpr int IDC_XOFF = 119;
inline constexpr int IDC_LOCAL_ESCAPE = 125;
inline constexpr int IDC_HEADER_1 = 126;
inline constexpr int IDC_HEADER_2 = 127;
inline constexpr int IDC_CHECK_BAUD = 139;
inline constexpr int IDC_CHECK_DATABITS = 140;
inline constexpr int IDC_CHECK_FLOW = 141;
inline constexpr int IDC_ENABLE_ALL = 149;
inline constexpr int IDC_DISABLE_ALL = 150;
inline constexpr int IDC_CHECK_STOPBITS = 1015;
inline constexpr int IDC_CHECK_PARITY = 1016;
inline constexpr int IDC_CHECK_ESCAPE = 1017;
inline constexpr int IDC_CHECK_TERMTYPE = 1018;
inline constexpr int IDC_CHECK_XON = 1019;
inline constexpr int IDC_CHECK_XOFF = 1020;

// ---- remote port dialog (102) ----
inline constexpr int IDC_NEW_PROMPT = 103;
inline constexpr int IDC_NEW_ESCAPE = 123;
inline constexpr int IDC_NEW_TERMTYPE = 124;

// ---- About box (100) ----
inline constexpr int IDC_ABOUT_MEMORY = 101;
inline constexpr int IDC_ABOUT_DISK = 107;
inline constexpr int IDC_ABOUT_VERSION = 163;
inline constexpr int IDC_ABOUT_ICON = 1008;

// One control of a dialog template.
struct ControlTemplate {
    ui::ControlKind kind;
    int id;
    const char* text;
    ui::Rect rect;
    unsigned style;
};

struct DialogTemplate {
    int id;
    const char* caption;  // may be replaced at run time by a string-table title
    int cx;
    int cy;
    std::span<const ControlTemplate> controls;
};

const DialogTemplate& main_dialog_template();
const DialogTemplate& local_port_template();
const DialogTemplate& remote_port_template();
const DialogTemplate& about_template();

// Creates the template's controls in table order (which is the Tab order).
// Controls whose kind the caller builds itself are skipped when `skip_id` names them.
void CreateControls(ui::Dialog& dialog, const DialogTemplate& tmpl, int skip_id = 0);

}  // namespace varolan::util
