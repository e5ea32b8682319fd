#include "platform/ui/controls.h"

namespace varolan::ui {

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

}  // namespace varolan::ui
