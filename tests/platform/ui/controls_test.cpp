// Control objects on their own: list and combo box contents, selection and
// keys, edits, mnemonic captions.
#include <gtest/gtest.h>

#include "platform/ui/dialog.h"
#include "platform/ui/headless.h"

namespace varolan::ui {
namespace {

TEST(Mnemonic, CaptionsAreCleanedAndTheLetterFound) {
    struct Case {
        const char* caption;
        const char* shown;
        char letter;
        int position;
    };
    const Case cases[] = {
        {"&Setup...", "Setup...", 's', 0},          {"Set&up...", "Setup...", 'u', 3},
        {"Xoff &Char :", "Xoff Char :", 'c', 5},    {"Close", "Close", 0, -1},
        {"Fish && &Chips", "Fish & Chips", 'c', 7}, {"trailing&", "trailing&", 0, -1},
    };
    for (const auto& c : cases) {
        char letter = 1;
        int position = 99;
        EXPECT_EQ(StripMnemonic(c.caption, &letter, &position), c.shown) << c.caption;
        EXPECT_EQ(letter, c.letter) << c.caption;
        EXPECT_EQ(position, c.position) << c.caption;
    }
}

TEST(ListBox, SortedRowsKeepTheirItemData) {
    ListBox list(110, {0, 0, 100, 80}, LBS_NOTIFY | LBS_SORT | LBS_EXTENDEDSEL);
    const char* rows[] = {"\tCOM2\t9600", "\tCOM10\t300", "\tcom1\t1200", "\tCOM3\t2400"};
    for (std::uintptr_t i = 0; i < 4; ++i) {
        const int at = list.AddString(rows[i]);
        ASSERT_NE(at, LB_ERR);
        list.SetItemData(at, 100 + i);
    }
    // Text order without case: COM1, COM10, COM2, COM3.
    ASSERT_EQ(list.GetCount(), 4);
    EXPECT_EQ(list.GetText(0), "\tcom1\t1200");
    EXPECT_EQ(list.GetText(1), "\tCOM10\t300");
    EXPECT_EQ(list.GetText(2), "\tCOM2\t9600");
    EXPECT_EQ(list.GetText(3), "\tCOM3\t2400");
    EXPECT_EQ(list.GetItemData(0), 102u);
    EXPECT_EQ(list.GetItemData(1), 101u);
    EXPECT_EQ(list.GetItemData(2), 100u);
    EXPECT_EQ(list.GetItemData(3), 103u);
    EXPECT_EQ(list.GetItemData(4), 0u);
    EXPECT_EQ(list.SetItemData(4, 1), LB_ERR);
    EXPECT_EQ(list.GetText(-1), "");

    list.ResetContent();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetSelCount(), 0);
    EXPECT_EQ(list.GetCaretIndex(), -1);
}

TEST(ListBox, SelectionQueriesDependOnTheStyle) {
    ListBox single(1, {0, 0, 100, 80}, LBS_NOTIFY);
    ListBox multi(2, {0, 0, 100, 80}, LBS_NOTIFY | LBS_EXTENDEDSEL);
    for (auto* l : {&single, &multi}) {
        for (const char* t : {"a", "b", "c", "d"}) {
            l->AddString(t);
        }
    }
    EXPECT_EQ(single.GetSelCount(), LB_ERR);
    EXPECT_EQ(single.SetSel(1), LB_ERR);
    EXPECT_EQ(single.SetCurSel(2), 2);
    EXPECT_EQ(single.GetCurSel(), 2);
    EXPECT_EQ(single.SetCurSel(9), LB_ERR);
    EXPECT_EQ(single.GetCurSel(), 2);

    EXPECT_EQ(multi.SetSel(3), 0);
    EXPECT_EQ(multi.SetSel(1), 0);
    EXPECT_EQ(multi.GetSelCount(), 2);
    int out[4] = {-1, -1, -1, -1};
    EXPECT_EQ(multi.GetSelItems(4, out), 2);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 3);
    EXPECT_EQ(multi.GetSelItems(1, out), 1);  // never more than asked for
    EXPECT_EQ(multi.SetSel(-1, false), 0);
    EXPECT_EQ(multi.GetSelCount(), 0);
    EXPECT_EQ(multi.SetSel(4), LB_ERR);
}

TEST(ListBox, InsertAndDeleteKeepTheCaretOnItsRow) {
    ListBox list(1, {0, 0, 100, 80}, LBS_EXTENDEDSEL);
    for (const char* t : {"a", "b", "c"}) {
        list.AddString(t);
    }
    list.SetCaretIndex(1);
    EXPECT_EQ(list.InsertString(0, "z"), 0);
    EXPECT_EQ(list.GetCaretIndex(), 2);
    EXPECT_EQ(list.InsertString(9, "y"), LB_ERR);
    EXPECT_EQ(list.DeleteString(0), 3);
    EXPECT_EQ(list.GetCaretIndex(), 1);
    EXPECT_EQ(list.DeleteString(2), 2);
    EXPECT_EQ(list.DeleteString(2), LB_ERR);
    EXPECT_EQ(list.GetCaretIndex(), 1);
}

TEST(ComboBox, FindStringIsACaseFoldedPrefixSearchThatWraps) {
    ComboBox combo(113, {0, 0, 50, 80});
    for (const char* t : {"75", "110", "1200", "none", "None2", "odd"}) {
        combo.AddString(t);
    }
    struct Case {
        int start;
        const char* prefix;
        int found;
    };
    const Case cases[] = {
        {-1, "1", 1}, {1, "1", 2},       {2, "1", 1}, {-1, "NONE", 3},       {3, "none", 4},
        {-1, "o", 5}, {-1, "x", CB_ERR}, {-1, "", 0}, {-1, "1200x", CB_ERR}, {99, "75", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(combo.FindString(c.start, c.prefix), c.found) << c.start << " " << c.prefix;
    }
    EXPECT_EQ(combo.FindStringExact(-1, "none"), 3);
    EXPECT_EQ(combo.FindStringExact(-1, "non"), CB_ERR);
    ComboBox empty(1, {});
    EXPECT_EQ(empty.FindString(-1, ""), CB_ERR);
}

TEST(ComboBox, InsertAtPositionsItemDataAndSelection) {
    ComboBox combo(116, {0, 0, 50, 80});
    EXPECT_EQ(combo.InsertString(0, "none"), 0);
    EXPECT_EQ(combo.InsertString(1, "Rts/Cts"), 1);
    EXPECT_EQ(combo.InsertString(1, "Xon/Xoff"), 1);
    EXPECT_EQ(combo.InsertString(5, "bad"), CB_ERR);
    combo.SetItemData(0, 0);
    combo.SetItemData(1, 1);
    combo.SetItemData(2, 3);
    EXPECT_EQ(combo.GetLBText(2), "Rts/Cts");
    EXPECT_EQ(combo.GetItemData(2), 3u);
    EXPECT_EQ(combo.GetCurSel(), CB_ERR);
    EXPECT_EQ(combo.GetWindowText(), "");
    EXPECT_EQ(combo.SetCurSel(2), 2);
    EXPECT_EQ(combo.GetWindowText(), "Rts/Cts");
    EXPECT_EQ(combo.InsertString(0, "first"), 0);
    EXPECT_EQ(combo.GetCurSel(), 3);  // still on "Rts/Cts"
    EXPECT_EQ(combo.SetCurSel(7), CB_ERR);
    EXPECT_EQ(combo.GetCurSel(), CB_ERR);
    combo.SetWindowText("xon");
    EXPECT_EQ(combo.GetWindowText(), "Xon/Xoff");
    combo.ResetContent();
    EXPECT_EQ(combo.GetCount(), 0);
    EXPECT_EQ(combo.GetCurSel(), CB_ERR);
}

TEST(ComboBox, ADisabledComboNeverDropsAndDisablingClosesIt) {
    Dialog dlg("t", 100, 60);
    ComboBox& combo = dlg.AddComboBox(14, {0, 0, 50, 60});
    dlg.AddButton(IDOK, "OK", {60, 0, 30, 14});
    for (const char* e : {"none", "odd", "even"}) {
        combo.AddString(e);
    }
    combo.SetCurSel(0);
    HeadlessDriver drv;
    drv.Start(dlg);
    ASSERT_EQ(dlg.GetFocusId(), 14);
    dlg.HandleKey(key::F4);
    ASSERT_TRUE(combo.IsDropped());
    // Disabled while dropped (by a handler elsewhere): the list goes.
    combo.EnableWindow(false);
    EXPECT_FALSE(combo.IsDropped());
    // Neither the program nor a key drops it, nor changes its choice.
    combo.ShowDropDown(true);
    EXPECT_FALSE(combo.IsDropped());
    for (const KeyEvent k : {KeyEvent{key::F4}, KeyEvent{key::Down, true}, KeyEvent{key::Space},
                             KeyEvent{key::Down}, KeyEvent{'o'}}) {
        EXPECT_FALSE(combo.OnKey(k)) << k.code;
        EXPECT_FALSE(combo.IsDropped()) << k.code;
    }
    EXPECT_EQ(combo.GetCurSel(), 0);
    EXPECT_FALSE(dlg.ClickControl(14));
    EXPECT_FALSE(combo.IsDropped());
}

TEST(Edit, TypingRespectsTheLimitAndReadOnly) {
    Dialog dlg("t", 100, 50);
    Edit& e = dlg.AddEdit(118, {0, 0, 40, 12});
    Edit& ro = dlg.AddEdit(120, {0, 20, 40, 12}, ES_READONLY | ES_AUTOHSCROLL);
    ro.SetWindowText("1d");
    e.LimitText(2);
    HeadlessDriver drv;
    drv.Start(dlg);
    ASSERT_EQ(dlg.GetFocusId(), 118);
    HeadlessDriver::Type(dlg, "1234");
    EXPECT_EQ(e.GetWindowText(), "12");
    dlg.HandleKey(key::Backspace);
    HeadlessDriver::Type(dlg, "x");
    EXPECT_EQ(e.GetWindowText(), "1x");
    dlg.HandleKey(key::Home);
    dlg.HandleKey(key::Delete);
    EXPECT_EQ(e.GetWindowText(), "x");
    // The program may set a longer text; the limit is for typing.
    e.SetWindowText("abcd");
    EXPECT_EQ(e.GetWindowText(), "abcd");

    EXPECT_TRUE(HeadlessDriver::TypeInto(dlg, 120, "zz"));
    EXPECT_EQ(ro.GetWindowText(), "1d");
    EXPECT_FALSE(ro.WantsChars());
}

TEST(Edit, ScrollKeepsTheCaretInTheField) {
    Edit e(1, {0, 0, 20, 12});
    e.SetWindowText("0123456789abcdef");
    EXPECT_EQ(e.ScrollOffset(5), 12);  // caret at 16 is the last visible column
    e.OnKey({key::Home});
    EXPECT_EQ(e.ScrollOffset(5), 0);
}

}  // namespace
}  // namespace varolan::ui
