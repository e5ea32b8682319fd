#include "platform/ui/controls.h"

#include <algorithm>

#include "platform/ui/internal.h"

namespace varolan::ui {

using detail::is_printable;

Edit::Edit(int id, Rect rect, unsigned style) : Control(ControlKind::Edit, id, "", rect, style) {}

void Edit::SetWindowText(const std::string& text) {
    text_ = text;
    // A read-only edit is read from its start; typing goes on at the end.
    caret_ = IsReadOnly() ? 0 : static_cast<int>(text_.size());
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

}  // namespace varolan::ui
