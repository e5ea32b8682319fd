// Running dialogs without a terminal, for tests. A HeadlessDriver installs
// itself as the modal runner and as the message sink for its lifetime:
//  - Start(dialog) runs the dialog's initialisation as DoModal would and leaves
//    it open, so the test drives its controls and then looks at its result;
//  - every DoModal (a nested dialog opened by a handler, or a top-level run)
//    is handed to the next queued script, which drives the dialog and usually
//    ends it; a dialog that no script ends is cancelled through OnCancel;
//  - every message box is recorded and answered (RecordingMessageSink);
//  - help requests are recorded.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/message.h"

namespace varolan::ui {

class HeadlessDriver : public ModalRunner, public RecordingMessageSink {
  public:
    using Script = std::function<void(Dialog&)>;

    HeadlessDriver();
    ~HeadlessDriver() override;
    HeadlessDriver(const HeadlessDriver&) = delete;
    HeadlessDriver& operator=(const HeadlessDriver&) = delete;

    // Opens `dialog` without a screen (OnInitDialog and the initial focus);
    // returns what OnInitDialog returned.
    bool Start(Dialog& dialog);

    // Queues a script for the next DoModal.
    void OnNextModal(Script script) { scripts_.push_back(std::move(script)); }
    // Same, checking that the dialog is of type T (a mismatch is recorded in
    // errors() and the dialog is cancelled).
    template <typename T>
    void OnNextModal(std::function<void(T&)> script) {
        scripts_.push_back([this, script](Dialog& d) {
            if (auto* typed = dynamic_cast<T*>(&d)) {
                script(*typed);
            } else {
                errors_.push_back("unexpected dialog \"" + d.GetWindowText() + "\"");
            }
        });
    }
    std::size_t pending_scripts() const { return scripts_.size(); }

    // Titles of the dialogs run modally, in order.
    const std::vector<std::string>& modal_log() const { return modal_log_; }
    // Help topics shown (titles), in order.
    const std::vector<std::string>& help_log() const { return help_log_; }
    // Problems met while running scripts (unexpected dialog type, a dialog
    // that no script ended).
    const std::vector<std::string>& errors() const { return errors_; }

    // ---- user actions (each returns whether it had an effect) ----
    static bool Click(Dialog& dialog, int id) { return dialog.ClickControl(id); }
    static bool Key(Dialog& dialog, int code, bool alt = false, bool shift = false) {
        return dialog.HandleKey(KeyEvent{code, alt, shift});
    }
    // Types the characters of `text` one key each.
    static void Type(Dialog& dialog, const std::string& text);
    // Focuses edit `id`, selects its text and types `text` over it.
    static bool TypeInto(Dialog& dialog, int id, const std::string& text);
    // Chooses row `index` of list `id` as a click would (extend = Shift, toggle = Ctrl).
    static bool ClickRow(Dialog& dialog, int id, int index, bool extend = false,
                         bool toggle = false);
    static bool DoubleClickRow(Dialog& dialog, int id, int index);
    // Selects entry `index` of combo box `id` as the user would (notifies).
    static bool SelectEntry(Dialog& dialog, int id, int index);
    // Opens the system menu and chooses the entry with this command.
    static bool ChooseSystemCommand(Dialog& dialog, unsigned command);

    // ModalRunner
    int RunModal(Dialog& dialog) override;
    void ShowHelp(const std::string& title, const std::string& text) override;

  private:
    ModalRunner* previous_runner_;
    MessageSink* previous_sink_;
    std::deque<Script> scripts_;
    std::vector<std::string> modal_log_;
    std::vector<std::string> help_log_;
    std::vector<std::string> errors_;
};

}  // namespace varolan::ui
