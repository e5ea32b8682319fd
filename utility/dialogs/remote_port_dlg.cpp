#include "utility/dialogs/remote_port_dlg.h"

#include "utility/dialogs/help_topics.h"
#include "utility/dialogs/resource.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

CRemotePortDlg::CRemotePortDlg(RemoteSettingsPair* remote, ui::Dialog* /*parent*/)
    : ui::Dialog(load_string(IDS_REMOTE_TITLE), remote_port_template().cx,
                 remote_port_template().cy),
      remote_(remote) {
    CreateControls(*this, remote_port_template());
    const HelpTopic help = help_remote_port_dialog();
    SetHelpTopic(help.title, help.text);
}

void CRemotePortDlg::DoDataExchange(ui::DataExchange& dx) {
    dx.Text(IDC_NEW_ESCAPE, escape_text_);
    dx.Text(IDC_NEW_PROMPT, prompt_text_);
    dx.Text(IDC_NEW_TERMTYPE, terminal_type_text_);
}

bool CRemotePortDlg::OnInitDialog() {
    CenterWindow();
    const RemoteSettings& current = remote_->current;
    escape_text_ = bytes_to_hex(current.escape);
    terminal_type_text_ = current.terminal_type;
    prompt_text_ = current.prompt;
    UpdateData(false);
    return true;
}

void CRemotePortDlg::OnOK() {
    if (!UpdateData(true)) {
        return;
    }
    RemoteSettings scratch;
    if (!hex_to_bytes(escape_text_, scratch.escape)) {
        message_box_id(IDS_ERR_ESCAPE_INVALID);
        GotoDlgCtrl(IDC_NEW_ESCAPE);
        return;
    }
    if (escape_text_.empty()) {
        message_box_id(IDS_ERR_ESCAPE_EMPTY);
        GotoDlgCtrl(IDC_NEW_ESCAPE);
        return;
    }
    scratch.terminal_type = terminal_type_text_;
    scratch.prompt = prompt_text_;
    remote_->current = scratch;
    EndDialog(ui::IDOK);
}

}  // namespace varolan::util
