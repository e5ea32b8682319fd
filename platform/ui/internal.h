// Pieces shared by the framework's own sources; not for users of the framework.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/ui/controls.h"
#include "platform/ui/message.h"

namespace varolan::ui {
class ModalRunner;
}

namespace varolan::ui::detail {

// The sink used when none is installed: a box on the terminal, or stderr.
MessageSink& terminal_message_sink();

// The runner used when none is installed: the terminal.
ModalRunner& terminal_modal_runner();

inline char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Case-folded byte comparison (the order of sorted lists).
inline int compare_nocase(const std::string& a, const std::string& b) {
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

inline bool starts_with_nocase(const std::string& text, const std::string& prefix) {
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

// A character a control may take as text (not a command key, not Alt+key).
inline bool is_printable(const KeyEvent& key) {
    return !key.alt && key.code >= 0x20 && key.code <= 0xFF;
}

}  // namespace varolan::ui::detail
