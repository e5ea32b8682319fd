// The dialog that changes the pipe users' settings: escape sequence, terminal
// type and prompt.
#pragma once

#include <string>

#include "platform/ui/dialog.h"
#include "utility/portdb/port_record.h"

namespace varolan::util {

class CRemotePortDlg : public ui::Dialog {
  public:
    // `remote` is the database's pair; on OK its current copy is replaced.
    CRemotePortDlg(RemoteSettingsPair* remote, ui::Dialog* parent = nullptr);

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(ui::DataExchange& dx) override;
    void OnOK() override;

  private:
    RemoteSettingsPair* remote_;
    std::string escape_text_;
    std::string terminal_type_text_;
    std::string prompt_text_;
};

}  // namespace varolan::util
