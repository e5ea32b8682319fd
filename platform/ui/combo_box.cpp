#include "platform/ui/controls.h"

#include <algorithm>

#include "platform/core/text.h"
#include "platform/ui/internal.h"

namespace varolan::ui {

using detail::is_printable;

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

void ComboBox::OnEnable(bool enabled) {
    if (!enabled) {
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

bool ComboBox::OnDroppedKey(const KeyEvent& key) {
    const int count = GetCount();
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

bool ComboBox::OnKey(const KeyEvent& key) {
    if (!IsWindowEnabled()) {
        return false;
    }
    const int count = GetCount();
    if (dropped_) {
        return OnDroppedKey(key);
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
