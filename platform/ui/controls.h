// Dialog controls as plain objects. A control holds its whole state (text,
// enabled, visible, check state, items, selection, caret); the terminal only
// draws it. Keys reach a control through its dialog (Dialog::HandleKey), which
// also turns a control's activity into command notifications.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace varolan::ui {

class Dialog;

// Rectangle in dialog units: 4 x-units make a column, 8 y-units a row.
struct Rect {
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
};

// Control ID shared by statics that are never addressed.
inline constexpr int IDC_STATIC = -1;
// The framework's help command (the dialogs' "&Help" buttons).
inline constexpr int ID_HELP = 57669;

// Notification codes passed to Dialog::OnCommand with the control's ID.
inline constexpr int BN_CLICKED = 0;
inline constexpr int LBN_SELCHANGE = 1;
inline constexpr int LBN_DBLCLK = 2;
inline constexpr int CBN_SELCHANGE = 1;
inline constexpr int CBN_DROPDOWN = 7;
inline constexpr int EN_CHANGE = 0x0300;

// Error result of list and combo box operations.
inline constexpr int LB_ERR = -1;
inline constexpr int CB_ERR = -1;

// Styles. WS_* apply to every control; the others to their kind.
inline constexpr unsigned WS_TABSTOP = 0x00010000;
inline constexpr unsigned WS_GROUP = 0x00020000;
inline constexpr unsigned WS_DISABLED = 0x08000000;
inline constexpr unsigned WS_VISIBLE_OFF = 0x00000100;  // created hidden
inline constexpr unsigned WS_VSCROLL = 0x00200000;
inline constexpr unsigned WS_BORDER = 0x00800000;
inline constexpr unsigned SS_LEFT = 0x0000;
inline constexpr unsigned SS_CENTER = 0x0001;
inline constexpr unsigned SS_RIGHT = 0x0002;
inline constexpr unsigned SS_BLACKRECT = 0x0004;  // a filled bar (one row high: a line)
inline constexpr unsigned SS_NOPREFIX = 0x0080;   // '&' is shown as it is
inline constexpr unsigned SS_FRAMED = 0x0010;     // a frame with a shadow round the text
inline constexpr unsigned ES_READONLY = 0x0800;
inline constexpr unsigned ES_AUTOHSCROLL = 0x0080;
inline constexpr unsigned BS_DEFPUSHBUTTON = 0x0001;
inline constexpr unsigned LBS_NOTIFY = 0x0001;
inline constexpr unsigned LBS_SORT = 0x0002;
inline constexpr unsigned LBS_USETABSTOPS = 0x0080;
inline constexpr unsigned LBS_MULTIPLESEL = 0x0008;
inline constexpr unsigned LBS_EXTENDEDSEL = 0x0800;
inline constexpr unsigned CBS_SORT = 0x0100;

enum class ControlKind { Static, Edit, Button, CheckBox, ListBox, ComboBox, GroupBox };

// Keys as the dialogs see them. Printable characters are their code (32..255);
// the others are the values below. `alt` is set for Alt+key (Esc then key on
// a terminal), `shift` for shifted arrows and Shift+Tab, `ctrl` for Ctrl+arrows
// (where the terminal reports them).
namespace key {
inline constexpr int Tab = 0x09;
inline constexpr int Enter = 0x0D;
inline constexpr int Escape = 0x1B;
inline constexpr int Space = 0x20;
inline constexpr int Backspace = 0x108;
inline constexpr int Delete = 0x109;
inline constexpr int Up = 0x110;
inline constexpr int Down = 0x111;
inline constexpr int Left = 0x112;
inline constexpr int Right = 0x113;
inline constexpr int Home = 0x114;
inline constexpr int End = 0x115;
inline constexpr int PageUp = 0x116;
inline constexpr int PageDown = 0x117;
inline constexpr int F1 = 0x121;
inline constexpr int F4 = 0x124;
}  // namespace key

struct KeyEvent {
    int code = 0;
    bool alt = false;
    bool shift = false;
    bool ctrl = false;
};

// Removes the '&' marks of a caption ("&&" stays as one '&') and reports the
// mnemonic letter (lower case; 0 when there is none) and its position in the
// cleaned text (-1 when there is none).
std::string StripMnemonic(const std::string& caption, char* mnemonic = nullptr,
                          int* position = nullptr);

class Control {
  public:
    Control(ControlKind kind, int id, std::string text, Rect rect, unsigned style);
    virtual ~Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    ControlKind kind() const { return kind_; }
    int id() const { return id_; }
    const Rect& rect() const { return rect_; }
    unsigned style() const { return style_; }
    bool HasStyle(unsigned s) const { return (style_ & s) == s; }
    Dialog* dialog() const { return dialog_; }

    // Window text: a caption, an edit's contents, a combo box's selected entry.
    virtual std::string GetWindowText() const { return text_; }
    virtual void SetWindowText(const std::string& text) { text_ = text; }

    bool IsWindowEnabled() const { return enabled_; }
    // Returns whether the control was enabled before. A control disabled while
    // it has the focus passes the focus on.
    bool EnableWindow(bool enable = true);
    bool IsWindowVisible() const { return visible_; }
    void ShowWindow(bool show);

    // Whether Tab and mnemonics may put the focus here (enabled, visible, a tab stop).
    bool CanFocus() const;
    bool HasFocus() const;
    // Mnemonic letter of the caption (lower case) or 0.
    char Mnemonic() const;

    // Key handling while the control has the focus. Returns true when used.
    virtual bool OnKey(const KeyEvent&) { return false; }
    // Whether printable keys belong to the control (edits) rather than to mnemonics.
    virtual bool WantsChars() const { return false; }

  protected:
    void Notify(int code);
    // Called by EnableWindow after the state changed.
    virtual void OnEnable(bool /*enabled*/) {}

  private:
    friend class Dialog;
    ControlKind kind_;
    int id_;
    Rect rect_;
    unsigned style_;
    Dialog* dialog_ = nullptr;
    bool enabled_ = true;
    bool visible_ = true;

  protected:
    std::string text_;
};

class StaticText : public Control {
  public:
    StaticText(int id, std::string text, Rect rect, unsigned style = SS_LEFT)
        : Control(ControlKind::Static, id, std::move(text), rect, style) {}
};

class GroupBox : public Control {
  public:
    GroupBox(int id, std::string text, Rect rect, unsigned style = 0)
        : Control(ControlKind::GroupBox, id, std::move(text), rect, style) {}
};

class Edit : public Control {
  public:
    Edit(int id, Rect rect, unsigned style = ES_AUTOHSCROLL);

    void SetWindowText(const std::string& text) override;
    // Limit of the text in characters; 0 means none. Typing stops at the limit;
    // text set by the program is not cut.
    void LimitText(int limit) { limit_ = limit < 0 ? 0 : limit; }
    int GetLimitText() const { return limit_; }
    bool IsReadOnly() const { return HasStyle(ES_READONLY) || read_only_; }
    void SetReadOnly(bool read_only) { read_only_ = read_only; }
    int GetCaret() const { return caret_; }
    void SetSel(int start, int end);  // caret goes to `end`; (0, -1) selects all
    bool AllSelected() const { return select_all_; }
    // First character shown, for a field `width` columns wide (keeps the caret visible).
    int ScrollOffset(int width) const;

    bool OnKey(const KeyEvent& key) override;
    bool WantsChars() const override { return !IsReadOnly(); }

  private:
    int limit_ = 0;
    bool read_only_ = false;
    int caret_ = 0;
    bool select_all_ = false;
    mutable int scroll_ = 0;
};

class Button : public Control {
  public:
    Button(int id, std::string text, Rect rect, unsigned style = 0)
        : Control(ControlKind::Button, id, std::move(text), rect, style) {}
    bool IsDefault() const { return HasStyle(BS_DEFPUSHBUTTON); }
    // A click as the user makes it: notifies BN_CLICKED when enabled and visible.
    bool Click();
    bool OnKey(const KeyEvent& key) override;
};

// An automatic check box: a click toggles it and notifies BN_CLICKED.
class CheckBox : public Control {
  public:
    CheckBox(int id, std::string text, Rect rect, unsigned style = 0)
        : Control(ControlKind::CheckBox, id, std::move(text), rect, style) {}
    int GetCheck() const { return checked_ ? 1 : 0; }
    void SetCheck(int check) { checked_ = check != 0; }
    bool Click();
    bool OnKey(const KeyEvent& key) override;

  private:
    bool checked_ = false;
};

// A list box. Rows may hold tab characters: with LBS_USETABSTOPS, each tab
// moves to the next tab stop (dialog units). With LBS_SORT, rows added by
// AddString are kept in ascending order of their text (byte order, case
// folded). With LBS_EXTENDEDSEL or LBS_MULTIPLESEL several rows may be
// selected; otherwise at most one. Keys of an extended list: arrows select the
// row they move to, Shift+arrows extend from the anchor, Ctrl+arrows move the
// caret alone, Space adds or removes the caret row, Enter is a double click.
// Letters are mnemonics first and search the rows otherwise.
class ListBox : public Control {
  public:
    ListBox(int id, Rect rect, unsigned style = LBS_NOTIFY | WS_VSCROLL | WS_BORDER);

    int AddString(const std::string& text);
    int InsertString(int index, const std::string& text);  // -1 appends
    int DeleteString(int index);                           // returns rows left or LB_ERR
    void ResetContent();
    int GetCount() const { return static_cast<int>(items_.size()); }
    int GetText(int index, std::string& text) const;  // length or LB_ERR
    std::string GetText(int index) const;
    int SetItemData(int index, std::uintptr_t data);
    std::uintptr_t GetItemData(int index) const;  // 0 for a bad index
    template <typename T>
    int SetItemDataPtr(int index, T* p) {
        return SetItemData(index, reinterpret_cast<std::uintptr_t>(p));
    }
    template <typename T>
    T* GetItemDataPtr(int index) const {
        return reinterpret_cast<T*>(GetItemData(index));
    }
    bool SetTabStops(const std::vector<int>& stops);
    const std::vector<int>& GetTabStops() const { return tab_stops_; }
    void SetRedraw(bool redraw) { redraw_ = redraw; }
    bool GetRedraw() const { return redraw_; }

    bool IsMultiple() const { return HasStyle(LBS_EXTENDEDSEL) || HasStyle(LBS_MULTIPLESEL); }
    // Single-selection lists.
    int GetCurSel() const;
    int SetCurSel(int index);  // -1 clears; LB_ERR for a bad index
    // Multiple-selection lists (GetSel works for both).
    int GetSel(int index) const;                // >0 selected, 0 not, LB_ERR bad index
    int SetSel(int index, bool select = true);  // index -1: every row
    int GetSelCount() const;                    // LB_ERR for a single-selection list
    int GetSelItems(int max, int* out) const;   // number stored, ascending; LB_ERR likewise
    std::vector<int> GetSelItems() const;
    int GetCaretIndex() const { return caret_; }
    int SetCaretIndex(int index);
    int GetTopIndex() const { return top_; }
    // Row shown first when `rows` rows fit (keeps the caret visible).
    int ScrollTop(int rows) const;

    // Row clicks as the user makes them. `extend` = Shift (range from the
    // anchor), `toggle` = Ctrl (add or remove one row). Notify LBN_SELCHANGE.
    bool ClickRow(int index, bool extend = false, bool toggle = false);
    bool DoubleClickRow(int index);
    bool OnKey(const KeyEvent& key) override;

  private:
    struct Item {
        std::string text;
        std::uintptr_t data = 0;
        bool selected = false;
    };
    void MoveCaret(int index, bool extend, bool caret_only = false);
    std::vector<Item> items_;
    std::vector<int> tab_stops_;
    int caret_ = -1;
    int anchor_ = -1;
    mutable int top_ = 0;
    bool redraw_ = true;
};

// A drop-down list combo box: the field shows the selected entry; Space, F4
// or Alt+Down drops the list, Up/Down change the selection directly.
class ComboBox : public Control {
  public:
    ComboBox(int id, Rect rect, unsigned style = WS_VSCROLL);

    std::string GetWindowText() const override;
    void SetWindowText(const std::string& text) override;  // selects the entry with that prefix

    int AddString(const std::string& text);                // sorted with CBS_SORT, else appended
    int InsertString(int index, const std::string& text);  // -1 appends
    int DeleteString(int index);
    void ResetContent();
    int GetCount() const { return static_cast<int>(items_.size()); }
    int GetLBText(int index, std::string& text) const;
    std::string GetLBText(int index) const;
    int SetItemData(int index, std::uintptr_t data);
    std::uintptr_t GetItemData(int index) const;  // 0 for a bad index (CB_ERR is not returned)
    int GetCurSel() const { return cur_; }
    int SetCurSel(int index);  // -1 clears; CB_ERR for a bad index (selection cleared)
    // First entry after `start` (-1: from the top) whose text begins with
    // `prefix`, compared without case, wrapping round; CB_ERR when none.
    int FindString(int start, const std::string& prefix) const;
    int FindStringExact(int start, const std::string& text) const;

    bool IsDropped() const { return dropped_; }
    // Drops or closes the list; a disabled combo box never drops.
    void ShowDropDown(bool show);
    int DroppedIndex() const { return drop_index_; }
    bool OnKey(const KeyEvent& key) override;
    // Letters search the entries (type-ahead); mnemonics need Alt here.
    bool WantsChars() const override { return true; }
    // A click on an entry of the dropped list.
    bool ClickEntry(int index);

  protected:
    // Disabling closes a dropped list.
    void OnEnable(bool enabled) override;

  private:
    struct Item {
        std::string text;
        std::uintptr_t data = 0;
    };
    void Select(int index, bool notify);
    // Keys while the list is dropped: they move in the list, not the selection.
    bool OnDroppedKey(const KeyEvent& key);
    std::vector<Item> items_;
    int cur_ = -1;
    bool dropped_ = false;
    int drop_index_ = -1;
};

}  // namespace varolan::ui
