#include "platform/ui/keys.h"

#define NCURSES_NOMACROS 1
#include <ncurses.h>

namespace varolan::ui {

namespace {

KeyMapping map(int code, int key, bool shift = false) {
    return KeyMapping{code, KeyEvent{key, false, shift, false}};
}

}  // namespace

const std::vector<KeyMapping>& BaseKeyTable() {
    static const std::vector<KeyMapping> table = {
        map('\t', key::Tab),           map(KEY_BTAB, key::Tab, true),
        map('\r', key::Enter),         map('\n', key::Enter),
        map(KEY_ENTER, key::Enter),    map(KEY_BACKSPACE, key::Backspace),
        map(127, key::Backspace),      map(8, key::Backspace),
        map(KEY_DC, key::Delete),      map(KEY_UP, key::Up),
        map(KEY_DOWN, key::Down),      map(KEY_SR, key::Up, true),
        map(KEY_SF, key::Down, true),  map(KEY_LEFT, key::Left),
        map(KEY_RIGHT, key::Right),    map(KEY_HOME, key::Home),
        map(KEY_END, key::End),        map(KEY_SHOME, key::Home, true),
        map(KEY_SEND, key::End, true), map(KEY_PPAGE, key::PageUp),
        map(KEY_NPAGE, key::PageDown), map(KEY_F(1), key::F1),
        map(KEY_F(4), key::F4),
    };
    return table;
}

TerminalInput TranslateKey(int code, bool alt, const std::vector<KeyMapping>& table) {
    TerminalInput in;
    if (code == KEY_MOUSE) {
        in.kind = InputKind::Mouse;
        return in;
    }
    if (code == 12) {  // Ctrl+L
        in.kind = InputKind::Redraw;
        return in;
    }
    if (code == 0 || code == KEY_RESIZE) {
        return in;
    }
    for (const KeyMapping& m : table) {
        if (m.terminal_code == code) {
            in.kind = InputKind::Key;
            in.key = m.key;
            in.key.alt = alt;
            return in;
        }
    }
    if (code >= 0x20 && code <= 0xFF) {
        in.kind = InputKind::Key;
        in.key = KeyEvent{code, alt, false, false};
    }
    return in;
}

}  // namespace varolan::ui
