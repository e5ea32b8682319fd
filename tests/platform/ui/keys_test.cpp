// Terminal codes to keys, without a terminal.
#include <gtest/gtest.h>

#include <set>

#include "platform/ui/keys.h"

namespace varolan::ui {
namespace {

KeyEvent translated(int code, bool alt = false) {
    const TerminalInput in = TranslateKey(code, alt, BaseKeyTable());
    EXPECT_EQ(in.kind, InputKind::Key) << code;
    return in.key;
}

bool same(const KeyEvent& a, const KeyEvent& b) {
    return a.code == b.code && a.alt == b.alt && a.shift == b.shift && a.ctrl == b.ctrl;
}

TEST(TranslateKey, ControlCharactersPrintablesAndAlt) {
    EXPECT_TRUE(same(translated('\t'), KeyEvent{key::Tab}));
    EXPECT_TRUE(same(translated('\r'), KeyEvent{key::Enter}));
    EXPECT_TRUE(same(translated('\n'), KeyEvent{key::Enter}));
    EXPECT_TRUE(same(translated(127), KeyEvent{key::Backspace}));
    EXPECT_TRUE(same(translated(8), KeyEvent{key::Backspace}));
    EXPECT_TRUE(same(translated(' '), KeyEvent{key::Space}));
    EXPECT_TRUE(same(translated('a'), KeyEvent{'a'}));
    EXPECT_TRUE(same(translated('a', true), KeyEvent{'a', true}));
    EXPECT_TRUE(same(translated(0xE9), KeyEvent{0xE9}));  // 8-bit text stays text
    EXPECT_EQ(TranslateKey(12, false, BaseKeyTable()).kind, InputKind::Redraw);
    for (int code : {0, 1, 0x1A, 0x1FF}) {
        EXPECT_EQ(TranslateKey(code, false, BaseKeyTable()).kind, InputKind::Ignored) << code;
    }
    // A key the terminal does not define is listed with code 0: a NUL byte
    // must not turn into it.
    std::vector<KeyMapping> table = BaseKeyTable();
    table.push_back(KeyMapping{0, KeyEvent{key::Up, false, false, true}});
    EXPECT_EQ(TranslateKey(0, false, table).kind, InputKind::Ignored);
}

TEST(TranslateKey, EveryKeyTheDialogsUseHasOneCodeAndAltCarriesOver) {
    const std::vector<KeyMapping>& table = BaseKeyTable();
    std::set<int> codes;
    for (const KeyMapping& m : table) {
        EXPECT_TRUE(codes.insert(m.terminal_code).second)
            << "code listed twice: " << m.terminal_code;
        EXPECT_TRUE(same(translated(m.terminal_code), m.key)) << m.terminal_code;
        // Esc before a key is Alt with it (Alt+Down drops a combo list).
        KeyEvent with_alt = m.key;
        with_alt.alt = true;
        EXPECT_TRUE(same(translated(m.terminal_code, true), with_alt)) << m.terminal_code;
    }
    const KeyEvent wanted[] = {
        {key::Up},
        {key::Down},
        {key::Left},
        {key::Right},
        {key::Home},
        {key::End},
        {key::PageUp},
        {key::PageDown},
        {key::Delete},
        {key::F1},
        {key::F4},
        {key::Tab, false, true},
        {key::Up, false, true},
        {key::Down, false, true},
        {key::Home, false, true},
        {key::End, false, true},
    };
    for (const KeyEvent& k : wanted) {
        bool found = false;
        for (const KeyMapping& m : table) {
            found = found || (same(m.key, k) && m.terminal_code > 0xFF);
        }
        EXPECT_TRUE(found) << "no terminal code for key " << k.code << " shift " << k.shift;
    }
}

}  // namespace
}  // namespace varolan::ui
