// The message box of the terminal: the text wrapped to the screen, an
// exclamation sign drawn in characters when an icon is asked for, OK (the
// default) and, for a question, Cancel.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace varolan::ui {

class MessageBoxDlg : public Dialog {
  public:
    MessageBoxDlg(const std::string& title, const std::string& text, unsigned style,
                  int screen_cols);

  protected:
    // Esc and Close answer Cancel, or OK when there is no Cancel.
    void OnCancel() override;
    void OnSysCommand(unsigned command) override;

  private:
    bool ok_only_;
};

}  // namespace varolan::ui
