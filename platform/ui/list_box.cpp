#include "platform/ui/controls.h"

#include <algorithm>

#include "platform/core/text.h"
#include "platform/ui/dialog.h"
#include "platform/ui/internal.h"

namespace varolan::ui {

using detail::is_printable;

namespace {

// Rows that fit in a list of this many dialog units.
int rows_for(int cy) {
    return std::max(1, cy / 8 - 1);
}

}  // namespace

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

}  // namespace varolan::ui
