#include "platform/ui/dialog.h"

#include <utility>

#include "platform/core/text.h"
#include "platform/ui/internal.h"

namespace varolan::ui {

namespace {

ModalRunner* installed_runner = nullptr;

char lower(int c) {
    return ascii_lower(static_cast<char>(c & 0xFF));
}

bool is_label(const Control& c) {
    return c.kind() == ControlKind::Static || c.kind() == ControlKind::GroupBox;
}

}  // namespace

ModalRunner* set_modal_runner(ModalRunner* runner) {
    return std::exchange(installed_runner, runner);
}

ModalRunner& modal_runner() {
    if (installed_runner != nullptr) {
        return *installed_runner;
    }
    return detail::terminal_modal_runner();
}

// ---------------------------------------------------------------- Menu

bool Menu::AppendMenu(unsigned flags, unsigned id, const std::string& text) {
    items_.push_back(Item{flags, id, text});
    return true;
}

// ---------------------------------------------------------------- DataExchange

void DataExchange::Text(int id, std::string& value) {
    Control* c = dialog_.GetDlgItem(id);
    if (failed_ || c == nullptr) {
        return;
    }
    if (save_) {
        value = c->GetWindowText();
    } else {
        c->SetWindowText(value);
    }
}

void DataExchange::Check(int id, int& value) {
    CheckBox* c = dialog_.GetCheckBox(id);
    if (failed_ || c == nullptr) {
        return;
    }
    if (save_) {
        value = c->GetCheck();
    } else {
        c->SetCheck(value);
    }
}

void DataExchange::MaxChars(int id, const std::string& value, int limit) {
    if (failed_) {
        return;
    }
    if (!save_) {
        if (Edit* e = dialog_.GetEdit(id)) {
            e->LimitText(limit);
        }
        return;
    }
    if (limit >= 0 && value.size() > static_cast<std::size_t>(limit)) {
        std::string text = "Please enter no more than %1 characters.";
        text.replace(text.find("%1"), 2, std::to_string(limit));
        message_box(text.c_str(), MB_OK | MB_ICONEXCLAMATION);
        Fail(id);
    }
}

void DataExchange::Fail(int id) {
    failed_ = true;
    if (id != 0) {
        dialog_.GotoDlgCtrl(id);
    }
}

// ---------------------------------------------------------------- Dialog

Dialog::Dialog(std::string title, int cx, int cy) : title_(std::move(title)), cx_(cx), cy_(cy) {
    system_menu_.AppendMenu(MF_STRING, SC_CLOSE, "&Close");
}

Dialog::~Dialog() = default;

Control& Dialog::AddControl(std::unique_ptr<Control> control) {
    control->dialog_ = this;
    controls_.push_back(std::move(control));
    return *controls_.back();
}

StaticText& Dialog::AddStatic(int id, const std::string& text, Rect rect, unsigned style) {
    return static_cast<StaticText&>(
        AddControl(std::make_unique<StaticText>(id, text, rect, style)));
}

GroupBox& Dialog::AddGroupBox(int id, const std::string& text, Rect rect, unsigned style) {
    return static_cast<GroupBox&>(AddControl(std::make_unique<GroupBox>(id, text, rect, style)));
}

Edit& Dialog::AddEdit(int id, Rect rect, unsigned style) {
    return static_cast<Edit&>(AddControl(std::make_unique<Edit>(id, rect, style)));
}

Button& Dialog::AddButton(int id, const std::string& text, Rect rect, unsigned style) {
    return static_cast<Button&>(AddControl(std::make_unique<Button>(id, text, rect, style)));
}

CheckBox& Dialog::AddCheckBox(int id, const std::string& text, Rect rect, unsigned style) {
    return static_cast<CheckBox&>(AddControl(std::make_unique<CheckBox>(id, text, rect, style)));
}

ListBox& Dialog::AddListBox(int id, Rect rect, unsigned style) {
    return static_cast<ListBox&>(AddControl(std::make_unique<ListBox>(id, rect, style)));
}

ComboBox& Dialog::AddComboBox(int id, Rect rect, unsigned style) {
    return static_cast<ComboBox&>(AddControl(std::make_unique<ComboBox>(id, rect, style)));
}

Control* Dialog::GetDlgItem(int id) const {
    for (const auto& c : controls_) {
        if (c->id() == id) {
            return c.get();
        }
    }
    return nullptr;
}

StaticText* Dialog::GetStatic(int id) const {
    return dynamic_cast<StaticText*>(GetDlgItem(id));
}
Edit* Dialog::GetEdit(int id) const {
    return dynamic_cast<Edit*>(GetDlgItem(id));
}
Button* Dialog::GetButton(int id) const {
    return dynamic_cast<Button*>(GetDlgItem(id));
}
CheckBox* Dialog::GetCheckBox(int id) const {
    return dynamic_cast<CheckBox*>(GetDlgItem(id));
}
ListBox* Dialog::GetListBox(int id) const {
    return dynamic_cast<ListBox*>(GetDlgItem(id));
}
ComboBox* Dialog::GetComboBox(int id) const {
    return dynamic_cast<ComboBox*>(GetDlgItem(id));
}

void Dialog::SetDlgItemText(int id, const std::string& text) {
    if (Control* c = GetDlgItem(id)) {
        c->SetWindowText(text);
    }
}

std::string Dialog::GetDlgItemText(int id) const {
    Control* c = GetDlgItem(id);
    return c != nullptr ? c->GetWindowText() : std::string();
}

void Dialog::EnableDlgItem(int id, bool enable) {
    if (Control* c = GetDlgItem(id)) {
        c->EnableWindow(enable);
    }
}

bool Dialog::IsDlgItemEnabled(int id) const {
    Control* c = GetDlgItem(id);
    return c != nullptr && c->IsWindowEnabled();
}

void Dialog::ShowDlgItem(int id, bool show) {
    if (Control* c = GetDlgItem(id)) {
        c->ShowWindow(show);
    }
}

void Dialog::CheckDlgButton(int id, int check) {
    if (CheckBox* c = GetCheckBox(id)) {
        c->SetCheck(check);
    }
}

int Dialog::IsDlgButtonChecked(int id) const {
    CheckBox* c = GetCheckBox(id);
    return c != nullptr ? c->GetCheck() : 0;
}

bool Dialog::GotoDlgCtrl(int id) {
    return GotoDlgCtrl(GetDlgItem(id));
}

bool Dialog::GotoDlgCtrl(Control* control) {
    if (control == nullptr || control->dialog_ != this || !control->CanFocus()) {
        return false;
    }
    if (focus_ != nullptr && focus_ != control && focus_->kind() == ControlKind::ComboBox) {
        static_cast<ComboBox*>(focus_)->ShowDropDown(false);
    }
    focus_ = control;
    if (control->kind() == ControlKind::Edit) {
        // Entering an edit selects its text for replacing; a read-only one
        // is shown from its start.
        auto* edit = static_cast<Edit*>(control);
        edit->SetSel(0, edit->IsReadOnly() ? 0 : -1);
    }
    return true;
}

Control* Dialog::NextTabControl(Control* from, bool backwards) const {
    const int n = static_cast<int>(controls_.size());
    if (n == 0) {
        return nullptr;
    }
    int start = -1;
    for (int i = 0; i < n; ++i) {
        if (controls_[static_cast<std::size_t>(i)].get() == from) {
            start = i;
        }
    }
    if (start < 0) {
        start = backwards ? 0 : n - 1;
    }
    for (int step = 1; step <= n; ++step) {
        const int i = backwards ? (start - step + n) % n : (start + step) % n;
        Control* c = controls_[static_cast<std::size_t>(i)].get();
        if (c->CanFocus()) {
            return c;
        }
    }
    return nullptr;
}

Button* Dialog::GetDefaultButton() const {
    for (const auto& c : controls_) {
        if (c->kind() == ControlKind::Button && c->HasStyle(BS_DEFPUSHBUTTON)) {
            return static_cast<Button*>(c.get());
        }
    }
    return nullptr;
}

void Dialog::FocusLost(Control& control) {
    if (focus_ != &control) {
        return;
    }
    if (control.kind() == ControlKind::ComboBox) {
        static_cast<ComboBox&>(control).ShowDropDown(false);
    }
    focus_ = NextTabControl(&control, false);
}

bool Dialog::UpdateData(bool save_and_validate) {
    DataExchange dx(*this, save_and_validate);
    DoDataExchange(dx);
    return !dx.failed();
}

int Dialog::DoModal() {
    return modal_runner().RunModal(*this);
}

void Dialog::EndDialog(int result) {
    ended_ = true;
    result_ = result;
    menu_open_ = false;
}

bool Dialog::BeginModal() {
    ended_ = false;
    result_ = 0;
    menu_open_ = false;
    focus_ = nullptr;
    const bool first = OnInitDialog();
    if (first || focus_ == nullptr) {
        if (first) {
            focus_ = nullptr;
        }
        GotoDlgCtrl(NextTabControl(nullptr, false));
    }
    return first;
}

void Dialog::SetHelpTopic(std::string title, std::string text) {
    help_title_ = std::move(title);
    help_text_ = std::move(text);
}

void Dialog::OnNotify(int id, int notification, std::function<void()> handler) {
    for (auto& b : bindings_) {
        if (b.id == id && b.notification == notification) {
            b.handler = std::move(handler);
            return;
        }
    }
    bindings_.push_back(Binding{id, notification, std::move(handler)});
}

bool Dialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void Dialog::OnOK() {
    if (!UpdateData(true)) {
        return;
    }
    EndDialog(IDOK);
}

void Dialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void Dialog::OnCommand(int id, int notification) {
    for (const auto& b : bindings_) {
        if (b.id == id && b.notification == notification && b.handler) {
            // A copy: the handler may rebind while it runs.
            auto handler = b.handler;
            handler();
            return;
        }
    }
    if (notification != BN_CLICKED) {
        return;
    }
    if (id == IDOK) {
        OnOK();
    } else if (id == IDCANCEL) {
        OnCancel();
    } else if (id == ID_HELP) {
        OnHelp();
    }
}

void Dialog::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0u) == SC_CLOSE) {
        OnCommand(IDCANCEL, BN_CLICKED);
    }
}

void Dialog::DoDataExchange(DataExchange&) {}

void Dialog::OnHelp() {
    const std::string& title = help_title_.empty() ? title_ : help_title_;
    modal_runner().ShowHelp(title, help_text_.empty()
                                       ? std::string("No help is available for this dialog.")
                                       : help_text_);
}

void Dialog::ControlNotify(Control& control, int code) {
    OnCommand(control.id(), code);
}

int Dialog::MessageBox(const std::string& text, unsigned style) {
    if ((style & MB_ICONMASK) == 0) {
        style |= MB_ICONEXCLAMATION;
    }
    return message_box(text.c_str(), style);
}

void Dialog::OpenSystemMenu() {
    menu_open_ = true;
    menu_index_ = 0;
    const auto& items = system_menu_.items();
    while (menu_index_ < static_cast<int>(items.size()) &&
           (items[static_cast<std::size_t>(menu_index_)].flags & MF_SEPARATOR) != 0) {
        ++menu_index_;
    }
}

bool Dialog::HandleMenuKey(const KeyEvent& key) {
    const auto& items = system_menu_.items();
    const int n = static_cast<int>(items.size());
    auto selectable = [&](int i) {
        return i >= 0 && i < n && (items[static_cast<std::size_t>(i)].flags & MF_SEPARATOR) == 0;
    };
    auto choose = [&](int i) {
        menu_open_ = false;
        SendSysCommand(items[static_cast<std::size_t>(i)].id);
    };
    if (key.code == key::Escape || (key.alt && key.code == key::Space)) {
        menu_open_ = false;
        return true;
    }
    if (key.code == key::Up || key.code == key::Down) {
        const int step = key.code == key::Up ? -1 : 1;
        for (int k = 1; k <= n; ++k) {
            const int i = ((menu_index_ + step * k) % n + n) % n;
            if (selectable(i)) {
                menu_index_ = i;
                break;
            }
        }
        return true;
    }
    if (key.code == key::Enter || key.code == key::Space) {
        if (selectable(menu_index_)) {
            choose(menu_index_);
        }
        return true;
    }
    if (key.code > 0x20 && key.code <= 0xFF) {
        for (int i = 0; i < n; ++i) {
            char letter = 0;
            StripMnemonic(items[static_cast<std::size_t>(i)].text, &letter);
            if (selectable(i) && letter != 0 && letter == lower(key.code)) {
                choose(i);
                return true;
            }
        }
    }
    return true;  // the open menu takes every key
}

Control* Dialog::FocusTargetAfterLabel(std::size_t index) const {
    for (std::size_t i = index + 1; i < controls_.size(); ++i) {
        Control* c = controls_[i].get();
        if (!c->IsWindowVisible()) {
            continue;
        }
        if (is_label(*c)) {
            continue;
        }
        return c->CanFocus() ? c : nullptr;
    }
    return nullptr;
}

bool Dialog::HandleMnemonic(char letter, bool alt) {
    letter = lower(letter);
    if (letter == 0) {
        return false;
    }
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const Control& c = *controls_[i];
        if (c.IsWindowVisible() && c.IsWindowEnabled() && c.Mnemonic() == letter) {
            matches.push_back(i);
        }
    }
    if (matches.empty() || (!alt && matches.size() > 1)) {
        return false;
    }
    if (matches.size() > 1) {
        // Shared letter: each press moves the focus to the next owner.
        std::size_t current = controls_.size();
        for (std::size_t i = 0; i < controls_.size(); ++i) {
            if (controls_[i].get() == focus_) {
                current = i;
            }
        }
        std::size_t pick = matches.front();
        for (std::size_t m : matches) {
            if (current < controls_.size() && m > current) {
                pick = m;
                break;
            }
        }
        Control* c = controls_[pick].get();
        return GotoDlgCtrl(is_label(*c) ? FocusTargetAfterLabel(pick) : c);
    }
    Control* c = controls_[matches.front()].get();
    switch (c->kind()) {
        case ControlKind::Button:
            GotoDlgCtrl(c);
            return static_cast<Button*>(c)->Click();
        case ControlKind::CheckBox:
            GotoDlgCtrl(c);
            return static_cast<CheckBox*>(c)->Click();
        default:
            return GotoDlgCtrl(FocusTargetAfterLabel(matches.front()));
    }
}

bool Dialog::ClickControl(int id) {
    Control* c = GetDlgItem(id);
    if (c == nullptr || !c->IsWindowVisible() || !c->IsWindowEnabled()) {
        return false;
    }
    switch (c->kind()) {
        case ControlKind::Button:
            GotoDlgCtrl(c);
            return static_cast<Button*>(c)->Click();
        case ControlKind::CheckBox:
            GotoDlgCtrl(c);
            return static_cast<CheckBox*>(c)->Click();
        case ControlKind::Edit:
        case ControlKind::ListBox:
            return GotoDlgCtrl(c);
        case ControlKind::ComboBox:
            if (!GotoDlgCtrl(c)) {
                return false;
            }
            static_cast<ComboBox*>(c)->ShowDropDown(!static_cast<ComboBox*>(c)->IsDropped());
            return true;
        default:
            return false;
    }
}

bool Dialog::HandleKey(const KeyEvent& key) {
    if (ended_) {
        return false;
    }
    if (menu_open_) {
        return HandleMenuKey(key);
    }
    if (key.alt && key.code == key::Space) {
        OpenSystemMenu();
        return true;
    }
    // A dropped list takes the keys first (Esc closes it, Enter chooses).
    if (focus_ != nullptr && focus_->kind() == ControlKind::ComboBox &&
        static_cast<ComboBox*>(focus_)->IsDropped() && key.code != key::Tab) {
        if (focus_->OnKey(key)) {
            return true;
        }
    }
    if (key.code == key::Tab && !key.alt) {
        Control* next = NextTabControl(focus_, key.shift);
        if (next != nullptr) {
            GotoDlgCtrl(next);
        }
        return true;
    }
    if (key.code == key::Escape && !key.alt) {
        SendCommand(IDCANCEL, BN_CLICKED);
        return true;
    }
    if (key.code == key::F1) {
        if (GetDlgItem(ID_HELP) != nullptr || !help_text_.empty()) {
            SendCommand(ID_HELP, BN_CLICKED);
        }
        return true;
    }
    if (key.code == key::Enter && !key.alt) {
        if (focus_ != nullptr &&
            (focus_->kind() == ControlKind::Button || focus_->kind() == ControlKind::ListBox)) {
            return focus_->OnKey(key);
        }
        Button* def = GetDefaultButton();
        if (def != nullptr) {
            return def->Click();
        }
        SendCommand(IDOK, BN_CLICKED);
        return true;
    }
    if (key.alt && key.code > 0x20 && key.code <= 0xFF) {
        return HandleMnemonic(static_cast<char>(key.code), true);
    }
    const bool printable = !key.alt && key.code > 0x20 && key.code <= 0xFF;
    if (printable && (focus_ == nullptr || !focus_->WantsChars()) &&
        HandleMnemonic(static_cast<char>(key.code), false)) {
        return true;
    }
    if (focus_ != nullptr) {
        return focus_->OnKey(key);
    }
    return false;
}

}  // namespace varolan::ui
