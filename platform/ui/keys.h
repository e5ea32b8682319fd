// Keys from the terminal: a table of the terminal's codes for the keys the
// dialogs know, and the translation of one code read from the terminal into a
// KeyEvent. The translation is pure, so it is tested without a terminal.
#pragma once

#include <vector>

#include "platform/ui/controls.h"

namespace varolan::ui {

// One terminal code and the key it stands for.
struct KeyMapping {
    int terminal_code = 0;  // 0: the terminal has no such key
    KeyEvent key;
};

// What one code from the terminal is.
enum class InputKind {
    Key,      // `key` holds it
    Mouse,    // a mouse event is waiting to be fetched
    Redraw,   // Ctrl+L: paint the whole screen again
    Ignored,  // a resize (the next paint follows the new size) or an unknown code
};

struct TerminalInput {
    InputKind kind = InputKind::Ignored;
    KeyEvent key;
};

// The codes every terminal description may define (arrows, Home, End, page
// keys, Delete, Backspace, Enter, Tab, Shift+Tab, F1, F4...).
const std::vector<KeyMapping>& BaseKeyTable();

// Translates `code`; `alt` says an Esc came just before it. Codes found in
// `table` give their key; printable characters (0x20..0xFF) give themselves.
TerminalInput TranslateKey(int code, bool alt, const std::vector<KeyMapping>& table);

}  // namespace varolan::ui
