// Pieces shared by the framework's own sources; not for users of the framework.
#pragma once

#include "platform/ui/message.h"

namespace varolan::ui::detail {

// The sink used when none is installed: a box on the terminal, or stderr.
MessageSink& terminal_message_sink();

}  // namespace varolan::ui::detail

namespace varolan::ui {
class ModalRunner;
}

namespace varolan::ui::detail {

// The runner used when none is installed: the terminal.
ModalRunner& terminal_modal_runner();

}  // namespace varolan::ui::detail
