#include "utility/dialogs/local_port_dlg.h"

#include <utility>

#include "common/store_layout.h"
#include "platform/serial/comm.h"
#include "utility/dialogs/help_topics.h"
#include "utility/dialogs/resource.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

// The provider can set the Xon and Xoff characters: the Xon/Xoff rows are
// offered only then.
constexpr std::uint32_t XCHAR_CAPABILITY = serial::PCF_SETXCHAR;  // 0x0020

// Longest Xon or Xoff text: one byte as two hexadecimal digits.
constexpr int XCHAR_TEXT_LIMIT = 2;

}  // namespace

const std::vector<CLocalPortDlg::SettingRow>& CLocalPortDlg::Rows() {
    static const std::vector<SettingRow> rows = {
        {IDC_CHECK_BAUD, IDC_BAUD},
        {IDC_CHECK_DATABITS, IDC_DATABITS},
        {IDC_CHECK_FLOW, IDC_FLOW},
        {IDC_CHECK_STOPBITS, IDC_STOPBITS},
        {IDC_CHECK_PARITY, IDC_PARITY},
        {IDC_CHECK_ESCAPE, IDC_LOCAL_ESCAPE},
        {IDC_CHECK_TERMTYPE, IDC_LOCAL_TERMTYPE},
        {IDC_CHECK_XON, IDC_XON},
        {IDC_CHECK_XOFF, IDC_XOFF},
    };
    return rows;
}

CLocalPortDlg::CLocalPortDlg(CPortRecord* template_port, std::vector<CPortRecord*> ports,
                             ui::Dialog* /*parent*/)
    : ui::Dialog(load_string(IDS_LOCAL_TITLE), local_port_template().cx, local_port_template().cy),
      template_port_(template_port),
      ports_(std::move(ports)) {
    for (const CPortRecord* port : ports_) {
        caps_.IntersectCaps(port->caps);
    }
    CreateControls(*this, local_port_template());
    const HelpTopic help = help_local_port_dialog();
    SetHelpTopic(help.title, help.text);

    for (const SettingRow& row : Rows()) {
        OnClicked(row.check_id, [this] { UpdateButtonStates(); });
    }
    OnClicked(IDC_ENABLE_ALL, [this] { SetAllChecks(true); });
    OnClicked(IDC_DISABLE_ALL, [this] { SetAllChecks(false); });
}

bool CLocalPortDlg::BaudAvailable() const {
    return caps_.baud_mask != 0 && (caps_.settable_params & serial::SP_BAUD) != 0;
}
bool CLocalPortDlg::DataBitsAvailable() const {
    return caps_.data_bits_mask != 0 && (caps_.settable_params & serial::SP_DATABITS) != 0;
}
bool CLocalPortDlg::FlowAvailable() const {
    return (caps_.settable_params & serial::SP_HANDSHAKING) != 0;
}
bool CLocalPortDlg::StopBitsAvailable() const {
    return (caps_.stop_parity_mask & layout::STOP_BITS_MASK) != 0 &&
           (caps_.settable_params & serial::SP_STOPBITS) != 0;
}
bool CLocalPortDlg::ParityAvailable() const {
    return (caps_.stop_parity_mask & layout::PARITY_MASK) != 0 &&
           (caps_.settable_params & serial::SP_PARITY) != 0;
}
bool CLocalPortDlg::SpecialCharsAvailable() const {
    return (caps_.provider_caps & XCHAR_CAPABILITY) != 0;
}

void CLocalPortDlg::DoDataExchange(ui::DataExchange& dx) {
    dx.Text(IDC_LOCAL_ESCAPE, escape_text_);
    dx.Text(IDC_LOCAL_TERMTYPE, terminal_type_text_);
    dx.Text(IDC_XOFF, xoff_text_);
    dx.MaxChars(IDC_XOFF, xoff_text_, XCHAR_TEXT_LIMIT);
    dx.Text(IDC_XON, xon_text_);
    dx.MaxChars(IDC_XON, xon_text_, XCHAR_TEXT_LIMIT);
}

void CLocalPortDlg::FillMaskCombo(int id, std::uint32_t mask, int bits,
                                  unsigned (*text_of)(std::uint32_t)) {
    ui::ComboBox* combo = GetComboBox(id);
    if (combo == nullptr) {
        return;
    }
    int position = 0;
    for (int bit = 0; bit < bits; ++bit) {
        const std::uint32_t value = std::uint32_t{1} << bit;
        if ((mask & value) == 0) {
            continue;
        }
        const unsigned text_id = text_of(value);
        if (text_id == 0) {
            continue;
        }
        const int index = combo->InsertString(position, load_string(text_id));
        if (index != ui::CB_ERR) {
            combo->SetItemData(index, value);
            ++position;
        }
    }
}

void CLocalPortDlg::FillFlowCombo() {
    ui::ComboBox* combo = GetComboBox(IDC_FLOW);
    if (combo == nullptr) {
        return;
    }
    const std::uint32_t prov = caps_.provider_caps;
    const std::pair<std::uint32_t, bool> entries[] = {
        {layout::FLOW_NONE, true},
        {layout::FLOW_XON_XOFF, (prov & serial::PCF_XONXOFF) != 0},
        {layout::FLOW_DTR_DSR, (prov & serial::PCF_DTRDSR) != 0},
        {layout::FLOW_RTS_CTS, (prov & serial::PCF_RTSCTS) != 0},
        {layout::FLOW_HARDWARE, (prov & (serial::PCF_DTRDSR | serial::PCF_RTSCTS)) != 0},
    };
    int position = 0;
    for (const auto& [code, offered] : entries) {
        if (!offered) {
            continue;
        }
        const int index = combo->InsertString(position, load_string(flow_text_id(code)));
        if (index != ui::CB_ERR) {
            combo->SetItemData(index, code);
            ++position;
        }
    }
}

void CLocalPortDlg::SelectValue(int combo_id, unsigned text_id) {
    ui::ComboBox* combo = GetComboBox(combo_id);
    if (combo == nullptr) {
        return;
    }
    int index = ui::CB_ERR;
    if (text_id != 0) {
        index = combo->FindString(-1, load_string(text_id));
    }
    combo->SetCurSel(index != ui::CB_ERR ? index : 0);
}

bool CLocalPortDlg::OnInitDialog() {
    CenterWindow();
    const PortSettings& seed = template_port_->current;

    // The header: the port and its device, or how many ports are edited.
    if (ports_.size() == 1) {
        SetDlgItemText(IDC_HEADER_1, format_string(IDS_LOCAL_HEADER_ONE, seed.port_name));
        SetDlgItemText(IDC_HEADER_2,
                       format_string(IDS_LOCAL_HEADER_DEVICE, template_port_->device_name));
    } else {
        SetDlgItemText(IDC_HEADER_1,
                       format_string(IDS_LOCAL_HEADER_MANY, static_cast<long>(ports_.size())));
        SetDlgItemText(IDC_HEADER_2, "");
    }

    // The five combo settings, each filled from the intersection and set to
    //    the template's value when the setting is available.
    struct ComboSetting {
        int check_id;
        int combo_id;
        bool available;
        unsigned value_text;
    };
    const ComboSetting combos[] = {
        {IDC_CHECK_BAUD, IDC_BAUD, BaudAvailable(), baud_text_id(seed.baud)},
        {IDC_CHECK_DATABITS, IDC_DATABITS, DataBitsAvailable(), databits_text_id(seed.data_bits)},
        {IDC_CHECK_STOPBITS, IDC_STOPBITS, StopBitsAvailable(), stopbits_text_id(seed.stop_parity)},
        {IDC_CHECK_PARITY, IDC_PARITY, ParityAvailable(), parity_text_id(seed.stop_parity)},
        {IDC_CHECK_FLOW, IDC_FLOW, FlowAvailable(), flow_text_id(seed.flow_control)},
    };
    for (const ComboSetting& c : combos) {
        if (!c.available) {
            EnableDlgItem(c.check_id, false);
            EnableDlgItem(c.combo_id, false);
            continue;
        }
        switch (c.combo_id) {
            case IDC_BAUD:
                FillMaskCombo(IDC_BAUD, caps_.baud_mask, 32, baud_text_id);
                break;
            case IDC_DATABITS:
                FillMaskCombo(IDC_DATABITS, caps_.data_bits_mask, 16, databits_text_id);
                break;
            case IDC_STOPBITS:
                FillMaskCombo(IDC_STOPBITS, caps_.stop_parity_mask, 16, stopbits_text_id);
                break;
            case IDC_PARITY:
                FillMaskCombo(IDC_PARITY, caps_.stop_parity_mask, 16, parity_text_id);
                break;
            default:
                FillFlowCombo();
                break;
        }
        SelectValue(c.combo_id, c.value_text);
        CheckDlgButton(c.check_id, 1);
    }

    // The texts; the Xon and Xoff rows only where every port can set them.
    escape_text_ = bytes_to_hex(seed.escape);
    CheckDlgButton(IDC_CHECK_ESCAPE, 1);
    terminal_type_text_ = seed.terminal_type;
    CheckDlgButton(IDC_CHECK_TERMTYPE, 1);
    if (SpecialCharsAvailable()) {
        xon_text_ = bytes_to_hex(seed.xon);
        xoff_text_ = bytes_to_hex(seed.xoff);
        CheckDlgButton(IDC_CHECK_XOFF, 1);
        CheckDlgButton(IDC_CHECK_XON, 1);
    } else {
        EnableDlgItem(IDC_CHECK_XON, false);
        EnableDlgItem(IDC_XON, false);
        EnableDlgItem(IDC_CHECK_XOFF, false);
        EnableDlgItem(IDC_XOFF, false);
    }

    // The rows' controls follow their boxes; then the texts go into the edits.
    UpdateButtonStates();
    UpdateData(false);
    return true;
}

void CLocalPortDlg::UpdateButtonStates() {
    bool all_ticked = true;
    bool any_ticked = false;
    for (const SettingRow& row : Rows()) {
        ui::CheckBox* check = GetCheckBox(row.check_id);
        if (check == nullptr) {
            continue;
        }
        bool ticked = true;
        if (check->IsWindowEnabled()) {
            ticked = check->GetCheck() != 0;
            if (IsDlgItemEnabled(row.control_id) != ticked) {
                EnableDlgItem(row.control_id, ticked);
            }
        }
        all_ticked = all_ticked && ticked;
        any_ticked = any_ticked || ticked;
    }
    const auto set_enabled = [this](int id, bool enable) {
        if (IsDlgItemEnabled(id) != enable) {
            EnableDlgItem(id, enable);
        }
    };
    set_enabled(IDC_ENABLE_ALL, !all_ticked);
    set_enabled(IDC_DISABLE_ALL, any_ticked);
    set_enabled(ui::IDOK, any_ticked);
}

void CLocalPortDlg::SetAllChecks(bool ticked) {
    static const int order[] = {IDC_CHECK_BAUD,     IDC_CHECK_DATABITS, IDC_CHECK_STOPBITS,
                                IDC_CHECK_FLOW,     IDC_CHECK_PARITY,   IDC_CHECK_ESCAPE,
                                IDC_CHECK_TERMTYPE, IDC_CHECK_XON,      IDC_CHECK_XOFF};
    for (int id : order) {
        if (IsDlgItemEnabled(id)) {
            CheckDlgButton(id, ticked ? 1 : 0);
        }
    }
    UpdateButtonStates();
}

std::uint32_t CLocalPortDlg::ComboValue(int id) const {
    const ui::ComboBox* combo = GetComboBox(id);
    if (combo == nullptr || !combo->IsWindowEnabled()) {
        return 0;
    }
    const int selected = combo->GetCurSel();
    return selected >= 0 ? static_cast<std::uint32_t>(combo->GetItemData(selected)) : 0;
}

void CLocalPortDlg::OnOK() {
    // Data exchange, with the length checks of the Xoff and Xon texts.
    if (!UpdateData(true)) {
        return;
    }

    // Everything is checked before any port is touched: the texts convert,
    // the Xon and Xoff characters are one byte each and differ.
    PortSettings scratch;
    scratch.terminal_type.clear();
    if (IsDlgItemEnabled(IDC_LOCAL_ESCAPE) && !hex_to_bytes(escape_text_, scratch.escape)) {
        message_box_id(IDS_ERR_ESCAPE_INVALID);
        return;
    }
    if (IsDlgItemEnabled(IDC_XON) && !hex_to_bytes(xon_text_, scratch.xon)) {
        message_box_id(IDS_ERR_XON_INVALID);
        return;
    }
    if (IsDlgItemEnabled(IDC_XOFF) && !hex_to_bytes(xoff_text_, scratch.xoff)) {
        message_box_id(IDS_ERR_XOFF_INVALID);
        return;
    }
    if (scratch.xon.size() != 1) {
        message_box_id(IDS_ERR_XON_LENGTH);
        return;
    }
    if (scratch.xoff.size() != 1) {
        message_box_id(IDS_ERR_XOFF_LENGTH);
        return;
    }
    if (scratch.xon == scratch.xoff) {
        message_box_id(IDS_ERR_XON_EQUALS_XOFF);
        return;
    }

    // The values: the terminal type as typed, each combo box's chosen entry
    // (0 for a disabled one).
    scratch.terminal_type = terminal_type_text_;
    scratch.baud = ComboValue(IDC_BAUD);
    scratch.data_bits = static_cast<std::uint16_t>(ComboValue(IDC_DATABITS));
    scratch.stop_parity =
        static_cast<std::uint16_t>(ComboValue(IDC_STOPBITS) | ComboValue(IDC_PARITY));
    scratch.flow_control = ComboValue(IDC_FLOW);

    // Only the settings whose control is enabled reach the ports; each port
    // then is managed or not by its own capabilities.
    SettingsChoice chosen;
    chosen.baud = IsDlgItemEnabled(IDC_BAUD);
    chosen.data_bits = IsDlgItemEnabled(IDC_DATABITS);
    chosen.stop_bits = IsDlgItemEnabled(IDC_STOPBITS);
    chosen.parity = IsDlgItemEnabled(IDC_PARITY);
    chosen.flow_control = IsDlgItemEnabled(IDC_FLOW);
    chosen.escape = IsDlgItemEnabled(IDC_LOCAL_ESCAPE);
    chosen.terminal_type = IsDlgItemEnabled(IDC_LOCAL_TERMTYPE);
    chosen.xon = IsDlgItemEnabled(IDC_XON);
    chosen.xoff = IsDlgItemEnabled(IDC_XOFF);
    for (CPortRecord* port : ports_) {
        port->ApplySettings(scratch, chosen);
    }
    EndDialog(ui::IDOK);
}

}  // namespace varolan::util
