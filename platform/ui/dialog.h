// Modal dialogs. A Dialog owns its controls (added in creation order, which is
// also the Tab order) and receives their activity through virtual hooks. It is
// run by the modal runner in force: the terminal, or a headless driver in tests
// (platform/ui/headless.h). Key handling lives here, so a test that feeds keys
// to HandleKey exercises exactly what the terminal does.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/message.h"

namespace varolan::ui {

// System commands.
inline constexpr unsigned SC_CLOSE = 0xF060;
// Menu item flags.
inline constexpr unsigned MF_STRING = 0x0000;
inline constexpr unsigned MF_SEPARATOR = 0x0800;

// The system menu of a dialog (opened with Alt+Space). It starts with
// "&Close" (SC_CLOSE); programs append their own entries.
class Menu {
  public:
    struct Item {
        unsigned flags = MF_STRING;
        unsigned id = 0;
        std::string text;
    };
    bool AppendMenu(unsigned flags, unsigned id = 0, const std::string& text = "");
    const std::vector<Item>& items() const { return items_; }
    int GetMenuItemCount() const { return static_cast<int>(items_.size()); }

  private:
    std::vector<Item> items_;
};

class Dialog;

// Moves text between member variables and controls. Loading (save == false)
// fills the controls; saving reads them back and validates. After the first
// failed check the exchange is failed and does nothing more.
class DataExchange {
  public:
    DataExchange(Dialog& dialog, bool save) : dialog_(dialog), save_(save) {}
    bool saving() const { return save_; }
    bool failed() const { return failed_; }

    // Control text <-> value.
    void Text(int id, std::string& value);
    // Check state <-> value (0 or 1).
    void Check(int id, int& value);
    // The framework's length check of a text: when saving, a value longer
    // than `limit` shows "Please enter no more than %1 characters." (%1 = limit),
    // puts the focus on the control and fails. When loading, it limits the edit.
    void MaxChars(int id, const std::string& value, int limit);
    // Marks the exchange failed after the caller has reported a problem, with
    // the focus on control `id` (0: leave the focus).
    void Fail(int id = 0);

  private:
    Dialog& dialog_;
    bool save_;
    bool failed_ = false;
};

// Runs modal dialogs and help windows. The terminal has one; the headless
// driver is another.
class ModalRunner {
  public:
    virtual ~ModalRunner() = default;
    // Starts the dialog (Dialog::BeginModal), lets it run until EndDialog and
    // returns its result.
    virtual int RunModal(Dialog& dialog) = 0;
    // Shows a help text in a scrollable window until it is closed.
    virtual void ShowHelp(const std::string& title, const std::string& text) = 0;
};

// The runner in force (the terminal's unless one is installed); returns the
// previously installed one; nullptr restores the terminal's.
ModalRunner* set_modal_runner(ModalRunner* runner);
ModalRunner& modal_runner();

class Dialog {
  public:
    // Size in dialog units of the client area; the title is the caption.
    Dialog(std::string title, int cx, int cy);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // ---- building (usually in the constructor; creation order = Tab order) ----
    StaticText& AddStatic(int id, const std::string& text, Rect rect, unsigned style = SS_LEFT);
    GroupBox& AddGroupBox(int id, const std::string& text, Rect rect, unsigned style = 0);
    Edit& AddEdit(int id, Rect rect, unsigned style = ES_AUTOHSCROLL);
    Button& AddButton(int id, const std::string& text, Rect rect, unsigned style = 0);
    CheckBox& AddCheckBox(int id, const std::string& text, Rect rect, unsigned style = 0);
    ListBox& AddListBox(int id, Rect rect, unsigned style = LBS_NOTIFY | WS_VSCROLL | WS_BORDER);
    ComboBox& AddComboBox(int id, Rect rect, unsigned style = WS_VSCROLL);
    // Any control made by the caller (for a kind of its own).
    Control& AddControl(std::unique_ptr<Control> control);

    // ---- controls by ID (the first with that ID; nullptr when absent or of another kind) ----
    Control* GetDlgItem(int id) const;
    StaticText* GetStatic(int id) const;
    Edit* GetEdit(int id) const;
    Button* GetButton(int id) const;
    CheckBox* GetCheckBox(int id) const;
    ListBox* GetListBox(int id) const;
    ComboBox* GetComboBox(int id) const;
    const std::vector<std::unique_ptr<Control>>& controls() const { return controls_; }

    // ---- the usual operations on controls by ID (no-ops for an unknown ID) ----
    void SetDlgItemText(int id, const std::string& text);
    std::string GetDlgItemText(int id) const;
    void EnableDlgItem(int id, bool enable = true);
    bool IsDlgItemEnabled(int id) const;
    void ShowDlgItem(int id, bool show = true);
    void CheckDlgButton(int id, int check);
    int IsDlgButtonChecked(int id) const;

    // ---- title, size, frame ----
    const std::string& GetWindowText() const { return title_; }
    void SetWindowText(const std::string& title) { title_ = title; }
    int width() const { return cx_; }
    int height() const { return cy_; }
    void SetSize(int cx, int cy) {
        cx_ = cx;
        cy_ = cy;
    }
    // The terminal always centres dialogs; kept so dialog code reads naturally.
    void CenterWindow() {}
    Menu& GetSystemMenu() { return system_menu_; }
    const Menu& GetSystemMenu() const { return system_menu_; }

    // ---- focus ----
    Control* GetFocus() const { return focus_; }
    int GetFocusId() const { return focus_ != nullptr ? focus_->id() : 0; }
    // Moves the focus to the control (if it can take it); an edit gets all its
    // text selected, as on entering it with Tab.
    bool GotoDlgCtrl(int id);
    bool GotoDlgCtrl(Control* control);
    // Next/previous control that can take the focus, wrapping round.
    Control* NextTabControl(Control* from, bool backwards) const;
    // The default push button (BS_DEFPUSHBUTTON), or nullptr.
    Button* GetDefaultButton() const;

    // ---- data exchange ----
    // Runs DoDataExchange; false when a check failed (the dialog stays open).
    bool UpdateData(bool save_and_validate = true);

    // ---- modal run ----
    int DoModal();
    void EndDialog(int result);
    bool IsEnded() const { return ended_; }
    int GetResult() const { return result_; }
    // What a runner does first: resets the end state, runs OnInitDialog and
    // sets the initial focus when it returns true.
    bool BeginModal();
    // Sends a command as a control would.
    void SendCommand(int id, int notification = BN_CLICKED) { OnCommand(id, notification); }
    // Sends a system command as the system menu would.
    void SendSysCommand(unsigned command) { OnSysCommand(command); }

    // ---- help ----
    void SetHelpTopic(std::string title, std::string text);
    const std::string& help_title() const { return help_title_; }
    const std::string& help_text() const { return help_text_; }

    // Binds a handler to (control ID, notification); the default OnCommand
    // calls it. A later binding of the same pair replaces the earlier.
    void OnNotify(int id, int notification, std::function<void()> handler);
    void OnClicked(int id, std::function<void()> handler) {
        OnNotify(id, BN_CLICKED, std::move(handler));
    }

    // ---- input, as the terminal delivers it ----
    // Returns true when the key was used.
    bool HandleKey(const KeyEvent& key);
    bool HandleKey(int code, bool alt = false, bool shift = false) {
        return HandleKey(KeyEvent{code, alt, shift});
    }
    // A mouse click on a control: focus and activate it (buttons click,
    // check boxes toggle, list rows are chosen with ListBox::ClickRow).
    bool ClickControl(int id);
    // Whether the system menu is open, and its highlighted entry.
    bool IsSystemMenuOpen() const { return menu_open_; }
    int SystemMenuIndex() const { return menu_index_; }
    void OpenSystemMenu();

    // Message box through the sink in force, with the icon added when none is named.
    int MessageBox(const std::string& text, unsigned style = MB_OK);

  protected:
    // Hooks. The defaults: OnInitDialog loads the data (UpdateData(false)) and
    // returns true; OnOK saves and validates (UpdateData(true)) and ends with
    // IDOK; OnCancel ends with IDCANCEL; OnCommand calls a bound handler, else
    // IDOK -> OnOK, IDCANCEL -> OnCancel, ID_HELP -> OnHelp; OnSysCommand
    // closes on SC_CLOSE like Esc; OnHelp shows the help topic.
    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnCommand(int id, int notification);
    virtual void OnSysCommand(unsigned command);
    virtual void DoDataExchange(DataExchange& dx);
    virtual void OnHelp();

  private:
    friend class Control;
    friend class DataExchange;
    void ControlNotify(Control& control, int code);
    void FocusLost(Control& control);
    bool HandleMnemonic(char letter, bool alt);
    bool HandleMenuKey(const KeyEvent& key);
    Control* FocusTargetAfterLabel(std::size_t index) const;

    std::string title_;
    int cx_;
    int cy_;
    std::vector<std::unique_ptr<Control>> controls_;
    Control* focus_ = nullptr;
    bool ended_ = false;
    int result_ = 0;
    Menu system_menu_;
    bool menu_open_ = false;
    int menu_index_ = 0;
    std::string help_title_;
    std::string help_text_;
    struct Binding {
        int id;
        int notification;
        std::function<void()> handler;
    };
    std::vector<Binding> bindings_;
};

}  // namespace varolan::ui
