#include "platform/ui/controls.h"

#include <algorithm>
#include <cctype>

#include "platform/ui/dialog.h"

namespace varolan::ui {

namespace {

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Case-folded byte comparison (the order of sorted lists).
int compare_nocase(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char ca = static_cast<unsigned char>(lower(a[i]));
        const unsigned char cb = static_cast<unsigned char>(lower(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool starts_with_nocase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool is_printable(const KeyEvent& key) {
    return !key.alt && key.code >= 0x20 && key.code <= 0xFF;
}

// Rows that fit in a list of this many dialog units.
int rows_for(int cy) {
    return std::max(1, cy / 8 - 1);
}

}  // namespace

std::string StripMnemonic(const std::string& caption, char* mnemonic, int* position) {
    std::string out;
    char letter = 0;
    int where = -1;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) {
            ++i;
            if (caption[i] != '&' && letter == 0) {
                letter = lower(caption[i]);
                where = static_cast<int>(out.size());
            }
        }
        out.push_back(caption[i]);
    }
    if (mnemonic != nullptr) {
        *mnemonic = letter;
    }
    if (position != nullptr) {
        *position = where;
    }
    return out;
}

// ---------------------------------------------------------------- Control

Control::Control(ControlKind kind, int id, std::string text, Rect rect, unsigned style)
    : kind_(kind), id_(id), rect_(rect), style_(style), text_(std::move(text)) {
    enabled_ = (style & WS_DISABLED) == 0;
    visible_ = (style & WS_VISIBLE_OFF) == 0;
}

bool Control::EnableWindow(bool enable) {
    const bool was = enabled_;
    enabled_ = enable;
    if (!enable && dialog_ != nullptr) {
        dialog_->FocusLost(*this);
    }
    return was;
}

void Control::ShowWindow(bool show) {
    visible_ = show;
    if (!show && dialog_ != nullptr) {
        dialog_->FocusLost(*this);
    }
}

bool Control::CanFocus() const {
    if (!enabled_ || !visible_) {
        return false;
    }
    switch (kind_) {
        case ControlKind::Edit:
        case ControlKind::Button:
        case ControlKind::CheckBox:
        case ControlKind::ListBox:
        case ControlKind::ComboBox:
            return true;
        default:
            return false;
    }
}

bool Control::HasFocus() const {
    return dialog_ != nullptr && dialog_->GetFocus() == this;
}

char Control::Mnemonic() const {
    if (kind_ == ControlKind::Static && (style_ & SS_NOPREFIX) != 0) {
        return 0;
    }
    if (kind_ == ControlKind::Edit || kind_ == ControlKind::ListBox ||
        kind_ == ControlKind::ComboBox) {
        return 0;
    }
    char letter = 0;
    StripMnemonic(text_, &letter);
    return letter;
}

void Control::Notify(int code) {
    if (dialog_ != nullptr) {
        dialog_->ControlNotify(*this, code);
    }
}

// ---------------------------------------------------------------- Edit

Edit::Edit(int id, Rect rect, unsigned style) : Control(ControlKind::Edit, id, "", rect, style) {}

void Edit::SetWindowText(const std::string& text) {
    text_ = text;
    caret_ = static_cast<int>(text_.size());
    select_all_ = false;
    scroll_ = 0;
}

void Edit::SetSel(int start, int end) {
    const int size = static_cast<int>(text_.size());
    if (start == 0 && end < 0) {
        select_all_ = size > 0;
        caret_ = size;
        return;
    }
    select_all_ = false;
    caret_ = std::clamp(end, 0, size);
}

int Edit::ScrollOffset(int width) const {
    if (width <= 1) {
        return caret_;
    }
    if (caret_ < scroll_) {
        scroll_ = caret_;
    } else if (caret_ >= scroll_ + width) {
        scroll_ = caret_ - width + 1;
    }
    scroll_ = std::clamp(scroll_, 0, std::max(0, static_cast<int>(text_.size())));
    return scroll_;
}

bool Edit::OnKey(const KeyEvent& key) {
    if (key.alt) {
        return false;
    }
    const int size = static_cast<int>(text_.size());
    switch (key.code) {
        case key::Left:
            caret_ = std::max(0, caret_ - 1);
            select_all_ = false;
            return true;
        case key::Right:
            caret_ = std::min(size, caret_ + 1);
            select_all_ = false;
            return true;
        case key::Home:
            caret_ = 0;
            select_all_ = false;
            return true;
        case key::End:
            caret_ = size;
            select_all_ = false;
            return true;
        default:
            break;
    }
    if (IsReadOnly()) {
        return false;
    }
    if (key.code == key::Backspace || key.code == key::Delete) {
        if (select_all_) {
            text_.clear();
            caret_ = 0;
            select_all_ = false;
        } else if (key.code == key::Backspace && caret_ > 0) {
            text_.erase(static_cast<std::size_t>(caret_ - 1), 1);
            --caret_;
        } else if (key.code == key::Delete && caret_ < size) {
            text_.erase(static_cast<std::size_t>(caret_), 1);
        } else {
            return true;
        }
        Notify(EN_CHANGE);
        return true;
    }
    if (!is_printable(key)) {
        return false;
    }
    if (select_all_) {
        text_.clear();
        caret_ = 0;
        select_all_ = false;
    }
    if (limit_ > 0 && static_cast<int>(text_.size()) >= limit_) {
        return true;  // refused, as a full edit does
    }
    text_.insert(text_.begin() + caret_, static_cast<char>(key.code));
    ++caret_;
    Notify(EN_CHANGE);
    return true;
}

// ---------------------------------------------------------------- Button, CheckBox

bool Button::Click() {
    if (!IsWindowEnabled() || !IsWindowVisible()) {
        return false;
    }
    Notify(BN_CLICKED);
    return true;
}

bool Button::OnKey(const KeyEvent& key) {
    if (!key.alt && (key.code == key::Space || key.code == key::Enter)) {
        return Click();
    }
    return false;
}

bool CheckBox::Click() {
    if (!IsWindowEnabled() || !IsWindowVisible()) {
        return false;
    }
    checked_ = !checked_;
    Notify(BN_CLICKED);
    return true;
}

bool CheckBox::OnKey(const KeyEvent& key) {
    if (!key.alt && key.code == key::Space) {
        return Click();
    }
    return false;
}

// ---------------------------------------------------------------- ListBox

ListBox::ListBox(int id, Rect rect, unsigned style)
    : Control(ControlKind::ListBox, id, "", rect, style) {}

int ListBox::AddString(const std::string& text) {
    if (!HasStyle(LBS_SORT)) {
        return InsertString(-1, text);
    }
    auto pos = std::upper_bound(
        items_.begin(), items_.end(), text,
        [](const std::string& t, const Item& item) { return compare_nocase(t, item.text) < 0; });
    return InsertString(static_cast<int>(pos - items_.begin()), text);
}

int ListBox::InsertString(int index, const std::string& text) {
    const int count = GetCount();
    if (index < 0) {
        index = count;
    }
    if (index > count) {
        return LB_ERR;
    }
    items_.insert(items_.begin() + index, Item{text, 0, false});
    if (caret_ >= index) {
        ++caret_;
    }
    if (anchor_ >= index) {
        ++anchor_;
    }
    return index;
}

int ListBox::DeleteString(int index) {
    if (index < 0 || index >= GetCount()) {
        return LB_ERR;
    }
    items_.erase(items_.begin() + index);
    const int count = GetCount();
    if (caret_ > index || caret_ >= count) {
        caret_ = count == 0 ? -1 : std::max(0, caret_ - 1);
    }
    if (anchor_ > index || anchor_ >= count) {
        anchor_ = count == 0 ? -1 : std::max(0, anchor_ - 1);
    }
    return count;
}

void ListBox::ResetContent() {
    items_.clear();
    caret_ = -1;
    anchor_ = -1;
    top_ = 0;
}

int ListBox::GetText(int index, std::string& text) const {
    if (index < 0 || index >= GetCount()) {
        return LB_ERR;
    }
    text = items_[static_cast<std::size_t>(index)].text;
    return static_cast<int>(text.size());
}

std::string ListBox::GetText(int index) const {
    std::string text;
    GetText(index, text);
    return text;
}

int ListBox::SetItemData(int index, std::uintptr_t data) {
    if (index < 0 || index >= GetCount()) {
        return LB_ERR;
    }
    items_[static_cast<std::size_t>(index)].data = data;
    return 0;
}

std::uintptr_t ListBox::GetItemData(int index) const {
    if (index < 0 || index >= GetCount()) {
        return 0;
    }
    return items_[static_cast<std::size_t>(index)].data;
}

bool ListBox::SetTabStops(const std::vector<int>& stops) {
    for (std::size_t i = 1; i < stops.size(); ++i) {
        if (stops[i] <= stops[i - 1]) {
            return false;
        }
    }
    tab_stops_ = stops;
    return true;
}

int ListBox::GetCurSel() const {
    if (IsMultiple()) {
        return caret_;
    }
    for (int i = 0; i < GetCount(); ++i) {
        if (items_[static_cast<std::size_t>(i)].selected) {
            return i;
        }
    }
    return LB_ERR;
}

int ListBox::SetCurSel(int index) {
    if (index >= GetCount() || index < -1) {
        return LB_ERR;
    }
    for (auto& item : items_) {
        item.selected = false;
    }
    if (index < 0) {
        return LB_ERR;
    }
    items_[static_cast<std::size_t>(index)].selected = true;
    caret_ = index;
    anchor_ = index;
    return index;
}

int ListBox::GetSel(int index) const {
    if (index < 0 || index >= GetCount()) {
        return LB_ERR;
    }
    return items_[static_cast<std::size_t>(index)].selected ? 1 : 0;
}

int ListBox::SetSel(int index, bool select) {
    if (!IsMultiple() || index < -1 || index >= GetCount()) {
        return LB_ERR;
    }
    if (index == -1) {
        for (auto& item : items_) {
            item.selected = select;
        }
        return 0;
    }
    items_[static_cast<std::size_t>(index)].selected = select;
    return 0;
}

int ListBox::GetSelCount() const {
    if (!IsMultiple()) {
        return LB_ERR;
    }
    return static_cast<int>(
        std::count_if(items_.begin(), items_.end(), [](const Item& i) { return i.selected; }));
}

int ListBox::GetSelItems(int max, int* out) const {
    if (!IsMultiple() || max < 0 || (max > 0 && out == nullptr)) {
        return LB_ERR;
    }
    int n = 0;
    for (int i = 0; i < GetCount() && n < max; ++i) {
        if (items_[static_cast<std::size_t>(i)].selected) {
            out[n++] = i;
        }
    }
    return n;
}

std::vector<int> ListBox::GetSelItems() const {
    std::vector<int> out;
    for (int i = 0; i < GetCount(); ++i) {
        if (items_[static_cast<std::size_t>(i)].selected) {
            out.push_back(i);
        }
    }
    return out;
}

int ListBox::SetCaretIndex(int index) {
    if (index < 0 || index >= GetCount()) {
        return LB_ERR;
    }
    caret_ = index;
    return 0;
}

int ListBox::ScrollTop(int rows) const {
    rows = std::max(1, rows);
    if (caret_ >= 0) {
        if (caret_ < top_) {
            top_ = caret_;
        } else if (caret_ >= top_ + rows) {
            top_ = caret_ - rows + 1;
        }
    }
    top_ = std::clamp(top_, 0, std::max(0, GetCount() - rows));
    return top_;
}

void ListBox::MoveCaret(int index, bool extend, bool caret_only) {
    const int count = GetCount();
    if (count == 0) {
        return;
    }
    index = std::clamp(index, 0, count - 1);
    if (caret_only && IsMultiple()) {
        caret_ = index;
        return;
    }
    std::vector<bool> before;
    for (const auto& item : items_) {
        before.push_back(item.selected);
    }
    caret_ = index;
    if (HasStyle(LBS_MULTIPLESEL) && !HasStyle(LBS_EXTENDEDSEL)) {
        return;  // the caret moves alone; Space chooses
    }
    if (HasStyle(LBS_EXTENDEDSEL) && extend && anchor_ >= 0) {
        const int lo = std::min(anchor_, index);
        const int hi = std::max(anchor_, index);
        for (int i = 0; i < count; ++i) {
            items_[static_cast<std::size_t>(i)].selected = i >= lo && i <= hi;
        }
    } else {
        for (int i = 0; i < count; ++i) {
            items_[static_cast<std::size_t>(i)].selected = i == index;
        }
        anchor_ = index;
    }
    for (int i = 0; i < count; ++i) {
        if (before[static_cast<std::size_t>(i)] != items_[static_cast<std::size_t>(i)].selected) {
            if (HasStyle(LBS_NOTIFY)) {
                Notify(LBN_SELCHANGE);
            }
            return;
        }
    }
}

bool ListBox::ClickRow(int index, bool extend, bool toggle) {
    if (!IsWindowEnabled() || !IsWindowVisible() || index < 0 || index >= GetCount()) {
        return false;
    }
    if (dialog() != nullptr) {
        dialog()->GotoDlgCtrl(this);
    }
    auto& item = items_[static_cast<std::size_t>(index)];
    if (HasStyle(LBS_MULTIPLESEL) && !HasStyle(LBS_EXTENDEDSEL)) {
        item.selected = !item.selected;
        caret_ = index;
        anchor_ = index;
    } else if (HasStyle(LBS_EXTENDEDSEL) && toggle) {
        item.selected = !item.selected;
        caret_ = index;
        anchor_ = index;
    } else {
        if (anchor_ < 0) {
            anchor_ = index;
        }
        caret_ = index;
        const bool range = HasStyle(LBS_EXTENDEDSEL) && extend;
        const int lo = range ? std::min(anchor_, index) : index;
        const int hi = range ? std::max(anchor_, index) : index;
        for (int i = 0; i < GetCount(); ++i) {
            items_[static_cast<std::size_t>(i)].selected = i >= lo && i <= hi;
        }
        if (!range) {
            anchor_ = index;
        }
    }
    if (HasStyle(LBS_NOTIFY)) {
        Notify(LBN_SELCHANGE);
    }
    return true;
}

bool ListBox::DoubleClickRow(int index) {
    if (!ClickRow(index)) {
        return false;
    }
    if (HasStyle(LBS_NOTIFY)) {
        Notify(LBN_DBLCLK);
    }
    return true;
}

bool ListBox::OnKey(const KeyEvent& key) {
    if (key.alt) {
        return false;
    }
    const int page = rows_for(rect().cy);
    const int from = caret_ < 0 ? 0 : caret_;
    switch (key.code) {
        case key::Up:
            MoveCaret(caret_ < 0 ? 0 : from - 1, key.shift, key.ctrl);
            return true;
        case key::Down:
            MoveCaret(caret_ < 0 ? 0 : from + 1, key.shift, key.ctrl);
            return true;
        case key::PageUp:
            MoveCaret(from - page, key.shift, key.ctrl);
            return true;
        case key::PageDown:
            MoveCaret(from + page, key.shift, key.ctrl);
            return true;
        case key::Home:
            MoveCaret(0, key.shift, key.ctrl);
            return true;
        case key::End:
            MoveCaret(GetCount() - 1, key.shift, key.ctrl);
            return true;
        case key::Space:
            if (GetCount() == 0) {
                return true;
            }
            if (caret_ < 0) {
                caret_ = 0;
            }
            if (IsMultiple()) {
                auto& item = items_[static_cast<std::size_t>(caret_)];
                item.selected = !item.selected;
                anchor_ = caret_;
                if (HasStyle(LBS_NOTIFY)) {
                    Notify(LBN_SELCHANGE);
                }
            } else {
                MoveCaret(caret_, false);
            }
            return true;
        case key::Enter:
            if (caret_ >= 0 && HasStyle(LBS_NOTIFY)) {
                Notify(LBN_DBLCLK);
            }
            return true;
        default:
            break;
    }
    if (is_printable(key) && GetCount() > 0) {
        // Type-ahead: the next row whose text (leading blanks and tabs aside)
        // begins with the letter.
        const std::string letter(1, static_cast<char>(key.code));
        for (int step = 1; step <= GetCount(); ++step) {
            const int i = (from + step) % GetCount();
            const std::string& text = items_[static_cast<std::size_t>(i)].text;
            const std::size_t lead = text.find_first_not_of(" \t");
            if (lead != std::string::npos && starts_with_nocase(text.substr(lead), letter)) {
                MoveCaret(i, false);
                return true;
            }
        }
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- ComboBox

ComboBox::ComboBox(int id, Rect rect, unsigned style)
    : Control(ControlKind::ComboBox, id, "", rect, style) {}

std::string ComboBox::GetWindowText() const {
    return cur_ >= 0 ? items_[static_cast<std::size_t>(cur_)].text : std::string();
}

void ComboBox::SetWindowText(const std::string& text) {
    SetCurSel(FindString(-1, text));
}

int ComboBox::AddString(const std::string& text) {
    if (!HasStyle(CBS_SORT)) {
        return InsertString(-1, text);
    }
    auto pos = std::upper_bound(
        items_.begin(), items_.end(), text,
        [](const std::string& t, const Item& item) { return compare_nocase(t, item.text) < 0; });
    return InsertString(static_cast<int>(pos - items_.begin()), text);
}

int ComboBox::InsertString(int index, const std::string& text) {
    const int count = GetCount();
    if (index < 0) {
        index = count;
    }
    if (index > count) {
        return CB_ERR;
    }
    items_.insert(items_.begin() + index, Item{text, 0});
    if (cur_ >= index) {
        ++cur_;
    }
    return index;
}

int ComboBox::DeleteString(int index) {
    if (index < 0 || index >= GetCount()) {
        return CB_ERR;
    }
    items_.erase(items_.begin() + index);
    if (cur_ == index) {
        cur_ = -1;
    } else if (cur_ > index) {
        --cur_;
    }
    return GetCount();
}

void ComboBox::ResetContent() {
    items_.clear();
    cur_ = -1;
    dropped_ = false;
    drop_index_ = -1;
}

int ComboBox::GetLBText(int index, std::string& text) const {
    if (index < 0 || index >= GetCount()) {
        return CB_ERR;
    }
    text = items_[static_cast<std::size_t>(index)].text;
    return static_cast<int>(text.size());
}

std::string ComboBox::GetLBText(int index) const {
    std::string text;
    GetLBText(index, text);
    return text;
}

int ComboBox::SetItemData(int index, std::uintptr_t data) {
    if (index < 0 || index >= GetCount()) {
        return CB_ERR;
    }
    items_[static_cast<std::size_t>(index)].data = data;
    return 0;
}

std::uintptr_t ComboBox::GetItemData(int index) const {
    if (index < 0 || index >= GetCount()) {
        return 0;
    }
    return items_[static_cast<std::size_t>(index)].data;
}

int ComboBox::SetCurSel(int index) {
    if (index < 0 || index >= GetCount()) {
        cur_ = -1;
        return CB_ERR;
    }
    cur_ = index;
    return index;
}

int ComboBox::FindString(int start, const std::string& prefix) const {
    const int count = GetCount();
    if (count == 0) {
        return CB_ERR;
    }
    if (start < -1 || start >= count) {
        start = -1;
    }
    for (int step = 1; step <= count; ++step) {
        const int i = (start + step) % count;
        if (starts_with_nocase(items_[static_cast<std::size_t>(i)].text, prefix)) {
            return i;
        }
    }
    return CB_ERR;
}

int ComboBox::FindStringExact(int start, const std::string& text) const {
    const int count = GetCount();
    if (start < -1 || start >= count) {
        start = -1;
    }
    for (int step = 1; step <= count; ++step) {
        const int i = (start + step) % count;
        if (compare_nocase(items_[static_cast<std::size_t>(i)].text, text) == 0) {
            return i;
        }
    }
    return CB_ERR;
}

void ComboBox::ShowDropDown(bool show) {
    if (show && !dropped_ && IsWindowEnabled()) {
        dropped_ = true;
        drop_index_ = cur_ >= 0 ? cur_ : (GetCount() > 0 ? 0 : -1);
        Notify(CBN_DROPDOWN);
    } else if (!show) {
        dropped_ = false;
    }
}

void ComboBox::Select(int index, bool notify) {
    if (index < 0 || index >= GetCount() || index == cur_) {
        return;
    }
    cur_ = index;
    if (notify) {
        Notify(CBN_SELCHANGE);
    }
}

bool ComboBox::ClickEntry(int index) {
    if (!IsWindowEnabled() || index < 0 || index >= GetCount()) {
        return false;
    }
    dropped_ = false;
    Select(index, true);
    return true;
}

bool ComboBox::OnKey(const KeyEvent& key) {
    const int count = GetCount();
    if (dropped_) {
        switch (key.code) {
            case key::Up:
                if (key.alt) {
                    ClickEntry(drop_index_);
                    return true;
                }
                drop_index_ = std::max(0, drop_index_ - 1);
                return true;
            case key::Down:
                drop_index_ = std::min(count - 1, drop_index_ + 1);
                return true;
            case key::PageUp:
            case key::Home:
                drop_index_ = count > 0 ? 0 : -1;
                return true;
            case key::PageDown:
            case key::End:
                drop_index_ = count - 1;
                return true;
            case key::Enter:
            case key::Space:
            case key::F4:
                if (drop_index_ >= 0) {
                    ClickEntry(drop_index_);
                } else {
                    dropped_ = false;
                }
                return true;
            case key::Escape:
                dropped_ = false;
                return true;
            default:
                break;
        }
        if (is_printable(key)) {
            const int i = FindString(drop_index_, std::string(1, static_cast<char>(key.code)));
            if (i != CB_ERR) {
                drop_index_ = i;
            }
            return true;
        }
        return false;
    }
    if ((key.alt && key.code == key::Down) ||
        (!key.alt && (key.code == key::F4 || key.code == key::Space))) {
        ShowDropDown(true);
        return true;
    }
    if (key.alt) {
        return false;
    }
    switch (key.code) {
        case key::Up:
            Select(cur_ < 0 ? 0 : cur_ - 1, true);
            return true;
        case key::Down:
            Select(cur_ < 0 ? 0 : cur_ + 1, true);
            return true;
        case key::Home:
        case key::PageUp:
            Select(0, true);
            return true;
        case key::End:
        case key::PageDown:
            Select(count - 1, true);
            return true;
        default:
            break;
    }
    if (is_printable(key)) {
        const int i = FindString(cur_, std::string(1, static_cast<char>(key.code)));
        if (i != CB_ERR) {
            Select(i, true);
        }
        return true;
    }
    return false;
}

}  // namespace varolan::ui
