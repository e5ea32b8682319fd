// The dialog that changes the line settings of one or several serial ports at
// once. It offers only what every edited port can take, applies only the
// settings whose check box is ticked, and afterwards decides for each port
// whether the service may serve it with its new settings.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "utility/portdb/port_record.h"

namespace varolan::util {

class CLocalPortDlg : public ui::Dialog {
  public:
    // One of the nine settings: its check box and the control it governs.
    struct SettingRow {
        int check_id;
        int control_id;
    };
    // The rows in the order the button-state update visits them.
    static const std::vector<SettingRow>& Rows();

    // `template_port` seeds the controls; `ports` are changed on OK (in order).
    CLocalPortDlg(CPortRecord* template_port, std::vector<CPortRecord*> ports,
                  ui::Dialog* parent = nullptr);

    // The capabilities every listed port has.
    const PortCaps& caps() const { return caps_; }

    // Availability of the nine settings on the capability intersection.
    bool BaudAvailable() const;
    bool DataBitsAvailable() const;
    bool FlowAvailable() const;
    bool StopBitsAvailable() const;
    bool ParityAvailable() const;
    bool SpecialCharsAvailable() const;

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(ui::DataExchange& dx) override;
    void OnOK() override;

  private:
    void UpdateButtonStates();
    void SetAllChecks(bool ticked);
    // Fills a combo box with the texts of the mask's bits; `text_of` gives a
    // bit's string-table entry (0: no entry).
    void FillMaskCombo(int id, std::uint32_t mask, int bits, unsigned (*text_of)(std::uint32_t));
    void FillFlowCombo();
    // Selects the entry starting with the text of string-table entry `text_id`
    // (the first entry when there is no such text or entry) and ticks the box.
    void SelectValue(int combo_id, unsigned text_id);
    // The item data of an enabled combo box's selected entry, else 0.
    std::uint32_t ComboValue(int id) const;

    CPortRecord* template_port_;
    std::vector<CPortRecord*> ports_;
    PortCaps caps_;
    std::string escape_text_;
    std::string terminal_type_text_;
    std::string xon_text_;
    std::string xoff_text_;
};

}  // namespace varolan::util
