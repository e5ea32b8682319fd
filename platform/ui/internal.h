// Pieces shared by the framework's own sources; not for users of the framework.
#pragma once

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

// A character a control may take as text (not a command key, not Alt+key).
inline bool is_printable(const KeyEvent& key) {
    return !key.alt && key.code >= 0x20 && key.code <= 0xFF;
}

}  // namespace varolan::ui::detail
