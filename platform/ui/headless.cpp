#include "platform/ui/headless.h"

namespace varolan::ui {

HeadlessDriver::HeadlessDriver()
    : previous_runner_(set_modal_runner(this)), previous_sink_(set_message_sink(this)) {}

HeadlessDriver::~HeadlessDriver() {
    set_message_sink(previous_sink_);
    set_modal_runner(previous_runner_);
}

bool HeadlessDriver::Start(Dialog& dialog) {
    return dialog.BeginModal();
}

int HeadlessDriver::RunModal(Dialog& dialog) {
    modal_log_.push_back(dialog.GetWindowText());
    dialog.BeginModal();
    if (!dialog.IsEnded()) {
        if (scripts_.empty()) {
            errors_.push_back("no script for dialog \"" + dialog.GetWindowText() + "\"");
        } else {
            Script script = std::move(scripts_.front());
            scripts_.pop_front();
            script(dialog);
        }
    }
    if (!dialog.IsEnded()) {
        dialog.SendCommand(IDCANCEL, BN_CLICKED);
    }
    if (!dialog.IsEnded()) {
        dialog.EndDialog(IDCANCEL);
    }
    return dialog.GetResult();
}

void HeadlessDriver::ShowHelp(const std::string& title, const std::string&) {
    help_log_.push_back(title);
}

void HeadlessDriver::Type(Dialog& dialog, const std::string& text) {
    for (char c : text) {
        dialog.HandleKey(KeyEvent{static_cast<unsigned char>(c), false, false});
    }
}

bool HeadlessDriver::TypeInto(Dialog& dialog, int id, const std::string& text) {
    Edit* edit = dialog.GetEdit(id);
    if (edit == nullptr || !dialog.GotoDlgCtrl(edit)) {
        return false;
    }
    edit->SetSel(0, -1);
    if (text.empty()) {
        dialog.HandleKey(KeyEvent{key::Delete, false, false});
    }
    Type(dialog, text);
    return true;
}

bool HeadlessDriver::ClickRow(Dialog& dialog, int id, int index, bool extend, bool toggle) {
    ListBox* list = dialog.GetListBox(id);
    return list != nullptr && list->ClickRow(index, extend, toggle);
}

bool HeadlessDriver::DoubleClickRow(Dialog& dialog, int id, int index) {
    ListBox* list = dialog.GetListBox(id);
    return list != nullptr && list->DoubleClickRow(index);
}

bool HeadlessDriver::SelectEntry(Dialog& dialog, int id, int index) {
    ComboBox* combo = dialog.GetComboBox(id);
    if (combo == nullptr || !dialog.GotoDlgCtrl(combo)) {
        return false;
    }
    return combo->ClickEntry(index);
}

bool HeadlessDriver::ChooseSystemCommand(Dialog& dialog, unsigned command) {
    const auto& items = dialog.GetSystemMenu().items();
    int target = -1;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if ((items[i].flags & MF_SEPARATOR) == 0 && items[i].id == command) {
            target = static_cast<int>(i);
        }
    }
    if (target < 0) {
        return false;
    }
    dialog.HandleKey(KeyEvent{key::Space, true, false});
    for (std::size_t k = 0; k < items.size() && dialog.SystemMenuIndex() != target; ++k) {
        dialog.HandleKey(KeyEvent{key::Down, false, false});
    }
    if (dialog.SystemMenuIndex() != target) {
        return false;
    }
    dialog.HandleKey(KeyEvent{key::Enter, false, false});
    return true;
}

}  // namespace varolan::ui
