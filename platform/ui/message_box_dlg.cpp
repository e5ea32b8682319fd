#include "platform/ui/message_box_dlg.h"

#include <algorithm>
#include <vector>

#include "platform/ui/layout.h"

namespace varolan::ui {

MessageBoxDlg::MessageBoxDlg(const std::string& title, const std::string& text, unsigned style,
                             int screen_cols)
    : Dialog(title, 0, 0), ok_only_((style & MB_TYPEMASK) != MB_OKCANCEL) {
    const int max_text = std::max(20, std::min(70, screen_cols > 0 ? screen_cols - 14 : 70));
    const std::vector<std::string> lines = WrapText(text, max_text);
    int width = 0;
    for (const auto& line : lines) {
        width = std::max(width, static_cast<int>(line.size()));
    }
    const bool icon = (style & MB_ICONMASK) != 0;
    const int text_col = icon ? 8 : 2;
    const int buttons = ok_only_ ? 10 : 22;
    int cols = std::max({text_col + width + 2, buttons + 4, static_cast<int>(title.size()) + 6});
    const int text_rows = std::max(static_cast<int>(lines.size()), icon ? 3 : 1);
    const int rows = text_rows + 4;
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        joined += (i ? "\n" : "") + lines[i];
    }
    if (icon) {
        AddStatic(IDC_STATIC, "  ^\n / \\\n/ ! \\", {8, 8, 20, 24}, SS_NOPREFIX);
    }
    AddStatic(IDC_STATIC, joined, {text_col * 4, 8, width * 4, text_rows * 8}, SS_NOPREFIX);
    const int button_row = (text_rows + 2) * 8;
    const int left = (cols - buttons) / 2;
    AddButton(IDOK, "OK", {left * 4, button_row, 40, 8}, BS_DEFPUSHBUTTON);
    if (!ok_only_) {
        AddButton(IDCANCEL, "Cancel", {(left + 12) * 4, button_row, 40, 8});
    }
    SetSize(cols * 4, rows * 8);
}

void MessageBoxDlg::OnCancel() {
    EndDialog(ok_only_ ? IDOK : IDCANCEL);
}

void MessageBoxDlg::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0u) == SC_CLOSE) {
        OnCancel();
    }
}

}  // namespace varolan::ui
