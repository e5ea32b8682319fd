#include "utility/dialogs/maintain_dlg.h"

#include <vector>

#include "common/store_layout.h"
#include "utility/dialogs/about_dlg.h"
#include "utility/dialogs/help_topics.h"
#include "utility/dialogs/local_port_dlg.h"
#include "utility/dialogs/remote_port_dlg.h"
#include "utility/dialogs/resource.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

using namespace varolan::layout;

// The text of a value, or nothing when the value has none.
std::string value_text(unsigned id) {
    return id != 0 ? load_string(id) : std::string();
}

// The state message of a port, first match wins; 0 when the columns are shown.
unsigned state_message(std::uint32_t flags) {
    if ((flags & DEVICE_NOT_MANAGED) != 0 && (flags & DEVICE_NO_CAPS) != 0) {
        return IDS_STATE_NO_PARAMS;
    }
    if ((flags & DEVICE_NOT_MANAGED) != 0) {
        return IDS_STATE_NOT_SET_UP;
    }
    if ((flags & DEVICE_OPEN_FAILED) != 0) {
        return IDS_STATE_NOT_FOUND;
    }
    if ((flags & DEVICE_ACCESS_DENIED) != 0) {
        return IDS_STATE_NO_ACCESS;
    }
    if ((flags & DEVICE_SETUP_ERROR) != 0) {
        return IDS_STATE_MISC_ERROR;
    }
    return 0;
}

// The rows selected now, at most `count` of them. False when the list refuses.
bool selected_rows(ui::ListBox& list, int count, std::vector<int>* rows) {
    rows->assign(static_cast<std::size_t>(count), 0);
    const int got = list.GetSelItems(count, rows->data());
    if (got == ui::LB_ERR) {
        return false;
    }
    rows->resize(static_cast<std::size_t>(got));
    return true;
}

}  // namespace

CMaintainDlg::CMaintainDlg(CPortDatabase* database, ServiceOps* service, SystemFigures* figures)
    : ui::Dialog(load_string(IDS_APP_TITLE), main_dialog_template().cx, main_dialog_template().cy),
      database_(database),
      service_(service != nullptr ? *service : system_service_ops()),
      figures_(figures) {
    CreateControls(*this, main_dialog_template());
    const HelpTopic help = help_main_dialog();
    SetHelpTopic(help.title, help.text);

    OnClicked(IDC_PORT_REMOVE, [this] { OnRemovePorts(); });
    OnClicked(IDC_PORT_SETUP, [this] { OnSetupPorts(); });
    OnClicked(IDC_RESET, [this] { OnReset(); });
    OnClicked(IDC_REMOTE_SETUP, [this] { OnRemoteSetup(); });
    OnNotify(IDC_PORT_LIST, ui::LBN_DBLCLK, [this] { OnPortDoubleClick(); });
    OnNotify(IDC_PORT_LIST, ui::LBN_SELCHANGE, [this] { OnPortSelChange(); });
    OnClicked(IDC_STOP_SERVICE, [this] { OnStopService(); });
    OnClicked(IDC_START_ON_CLOSE, [this] { OnStartOnClose(); });
}

const std::vector<int>& CMaintainDlg::TabStops() {
    static const std::vector<int> stops = {8, 50, 98, 133, 170, 206};
    return stops;
}

std::string CMaintainDlg::FormatPortRow(const PortSettings& s) {
    std::string row = "\t" + s.port_name + "\t";
    const std::uint32_t flags = s.device_flags;
    if (const unsigned state = state_message(flags); state != 0) {
        return row + load_string(state);
    }
    const std::string error = load_string(IDS_COLUMN_ERROR);
    auto column = [&](std::uint32_t error_bit, unsigned text_id) {
        return (flags & error_bit) != 0 ? error : value_text(text_id);
    };
    row += column(DEVICE_BAUD_ERROR, baud_text_id(s.baud));
    row += "\t" + column(DEVICE_DATABITS_ERROR, databits_text_id(s.data_bits));
    row += "\t" + column(DEVICE_STOPBITS_ERROR, stopbits_text_id(s.stop_parity));
    row += "\t" + column(DEVICE_PARITY_ERROR, parity_text_id(s.stop_parity));
    row += "\t" + column(DEVICE_FLOW_ERROR, flow_text_id(s.flow_control));
    return row;
}

void CMaintainDlg::DoDataExchange(ui::DataExchange& dx) {
    dx.Text(IDC_REMOTE_ESCAPE, escape_text_);
    dx.Text(IDC_REMOTE_TERMTYPE, terminal_type_text_);
    dx.Text(IDC_REMOTE_PROMPT, prompt_text_);
}

bool CMaintainDlg::OnInitDialog() {
    CenterWindow();
    const std::string about = load_string(IDS_ABOUTBOX);
    if (!about.empty()) {
        ui::Menu& menu = GetSystemMenu();
        menu.AppendMenu(ui::MF_SEPARATOR);
        menu.AppendMenu(ui::MF_STRING, IDM_ABOUTBOX, about);
    }
    if (ui::ListBox* list = GetListBox(IDC_PORT_LIST)) {
        list->SetTabStops(TabStops());
    }
    Refresh();
    UpdateStates();
    UpdateData(false);
    return true;
}

void CMaintainDlg::OnSysCommand(unsigned command) {
    // The About entry and the fifteen commands after it.
    if (static_cast<std::uint16_t>(command - IDM_ABOUTBOX) <= 15) {
        CAboutDlg about(figures_);
        about.DoModal();
        return;
    }
    ui::Dialog::OnSysCommand(command);
}

void CMaintainDlg::Refresh() {
    RefreshRemoteTexts();
    RefillList();
}

void CMaintainDlg::RefreshRemoteTexts() {
    const RemoteSettings& remote = database_->remote.current;
    escape_text_ = bytes_to_hex(remote.escape);
    terminal_type_text_ = remote.terminal_type;
    prompt_text_ = remote.prompt;
}

void CMaintainDlg::RefillList() {
    ui::ListBox* list = GetListBox(IDC_PORT_LIST);
    if (list == nullptr) {
        return;
    }
    list->SetRedraw(false);
    list->ResetContent();
    for (const auto& [name, record] : database_->ports) {
        const int index = list->AddString(FormatPortRow(record->current));
        if (index != ui::LB_ERR) {
            list->SetItemDataPtr(index, record.get());
        }
    }
    list->SetRedraw(true);
}

void CMaintainDlg::UpdateStates() {
    ui::ListBox* list = GetListBox(IDC_PORT_LIST);
    const bool selected = list != nullptr && list->GetSelCount() > 0;
    EnableDlgItem(IDC_PORT_SETUP, selected);
    EnableDlgItem(IDC_PORT_REMOVE, selected);
    EnableDlgItem(IDC_RESET, database_->modified());

    DWORD state = 0;
    bool start_on_close = false;
    bool stop = false;
    if (service_.Query(state)) {
        if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
            start_on_close = true;
        } else if (state == SERVICE_RUNNING) {
            stop = true;
        }
    }
    EnableDlgItem(IDC_START_ON_CLOSE, start_on_close);
    EnableDlgItem(IDC_STOP_SERVICE, stop);
    if (!start_on_close) {
        // The box and the flag go together, so that a service started from
        // outside is not started again (and failed) at close.
        CheckDlgButton(IDC_START_ON_CLOSE, 0);
        start_on_close_ &= ~START_ON_CLOSE;
    }
}

void CMaintainDlg::OnRemovePorts() {
    ui::ListBox* list = GetListBox(IDC_PORT_LIST);
    if (list == nullptr) {
        return;
    }
    const int count = list->GetSelCount();
    if (message_box(format_string(IDS_CONFIRM_REMOVE, static_cast<long>(count)), MB_OKCANCEL) !=
        IDOK) {
        return;
    }
    if (count <= 0) {
        return;
    }
    // The question may have let the selection change: only the rows that are
    // selected now are taken, never the unused rest of the array.
    std::vector<int> rows;
    if (!selected_rows(*list, count, &rows)) {
        return;
    }
    for (int row : rows) {
        if (CPortRecord* record = list->GetItemDataPtr<CPortRecord>(row)) {
            record->set_changed();
            record->current.device_flags |= DEVICE_NOT_MANAGED;
        }
    }
    database_->set_modified();
    RefillList();
    UpdateStates();
}

void CMaintainDlg::OnSetupPorts() {
    ui::ListBox* list = GetListBox(IDC_PORT_LIST);
    if (list == nullptr) {
        return;
    }
    const int count = list->GetSelCount();
    if (count <= 0) {
        return;
    }
    std::vector<int> rows;
    if (!selected_rows(*list, count, &rows)) {
        return;
    }
    std::vector<CPortRecord*> records;
    records.reserve(10);
    for (int row : rows) {
        if (CPortRecord* record = list->GetItemDataPtr<CPortRecord>(row)) {
            records.push_back(record);
        }
    }
    if (records.empty()) {
        return;
    }
    if (template_port_ == nullptr) {
        template_port_ = records.front();
    }
    CLocalPortDlg dialog(template_port_, records, this);
    if (dialog.DoModal() == ui::IDOK) {
        for (CPortRecord* record : records) {
            record->set_changed();
        }
        database_->set_modified();
        RefillList();
        UpdateStates();
    }
}

void CMaintainDlg::OnPortSelChange() {
    ui::ListBox* list = GetListBox(IDC_PORT_LIST);
    if (list != nullptr && list->GetSelCount() == 1) {
        int row = 0;
        template_port_ =
            list->GetSelItems(1, &row) == 1 ? list->GetItemDataPtr<CPortRecord>(row) : nullptr;
    }
    UpdateStates();
}

void CMaintainDlg::OnPortDoubleClick() {
    if (IsDlgItemEnabled(IDC_PORT_SETUP)) {
        OnSetupPorts();
    }
}

void CMaintainDlg::OnReset() {
    if (message_box_id(IDS_CONFIRM_RESET, MB_OKCANCEL) == IDCANCEL) {
        return;
    }
    database_->RevertToSaved();
    Refresh();
    UpdateData(false);
    UpdateStates();
}

void CMaintainDlg::OnRemoteSetup() {
    CRemotePortDlg dialog(&database_->remote, this);
    if (dialog.DoModal() == ui::IDOK) {
        database_->set_modified();
        RefreshRemoteTexts();
        UpdateData(false);
        UpdateStates();
    }
}

void CMaintainDlg::OnStopService() {
    if (message_box_id(IDS_CONFIRM_STOP, MB_OKCANCEL) == IDCANCEL) {
        return;
    }
    if (!service_.Stop()) {
        message_box_id(IDS_ERR_STOP_SERVICE);
    }
    UpdateStates();
}

void CMaintainDlg::OnStartOnClose() {
    if (IsDlgButtonChecked(IDC_START_ON_CLOSE) != 0) {
        start_on_close_ |= START_ON_CLOSE;
    } else {
        start_on_close_ &= ~START_ON_CLOSE;
    }
    UpdateStates();
}

}  // namespace varolan::util
