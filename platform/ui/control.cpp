#include "platform/ui/controls.h"

#include "platform/core/text.h"
#include "platform/ui/dialog.h"
#include "platform/ui/internal.h"

namespace varolan::ui {

std::string StripMnemonic(const std::string& caption, char* mnemonic, int* position) {
    std::string out;
    char letter = 0;
    int where = -1;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size()) {
            ++i;
            if (caption[i] != '&' && letter == 0) {
                letter = ascii_lower(caption[i]);
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
    OnEnable(enable);
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

}  // namespace varolan::ui
