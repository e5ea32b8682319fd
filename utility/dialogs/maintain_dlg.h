// The main dialog of the utility: the pipe users' settings (read-only, changed
// through the remote port dialog), the service control group, and the list of
// serial ports with their settings or state, from which the local port dialog
// is opened.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui/dialog.h"
#include "utility/dialogs/app_services.h"
#include "utility/portdb/port_database.h"

namespace varolan::util {

class CMaintainDlg : public ui::Dialog {
  public:
    // Bit of the start-on-close flag word.
    static constexpr std::uint32_t START_ON_CLOSE = 0x1;

    // `database` is not owned. `service` and `figures` default to the real ones.
    explicit CMaintainDlg(CPortDatabase* database, ServiceOps* service = nullptr,
                          SystemFigures* figures = nullptr);

    std::uint32_t start_on_close_flags() const { return start_on_close_; }
    CPortRecord* template_port() const { return template_port_; }

    // The text of one list row: a tab, the port name, a tab, then the state
    // message or the five setting columns separated by tabs.
    static std::string FormatPortRow(const PortSettings& settings);
    // The list's tab stops, in dialog units.
    static const std::vector<int>& TabStops();

  protected:
    bool OnInitDialog() override;
    void DoDataExchange(ui::DataExchange& dx) override;
    void OnSysCommand(unsigned command) override;

  private:
    void OnRemovePorts();
    void OnSetupPorts();
    void OnReset();
    void OnRemoteSetup();
    void OnPortDoubleClick();
    void OnPortSelChange();
    void OnStopService();
    void OnStartOnClose();

    // Refills the remote texts and the port list.
    void Refresh();
    void RefreshRemoteTexts();
    void RefillList();
    // Enables and disables the buttons from the selection, the database and
    // the service state.
    void UpdateStates();

    CPortDatabase* database_;
    ServiceOps& service_;
    SystemFigures* figures_;
    CPortRecord* template_port_ = nullptr;
    std::uint32_t start_on_close_ = 0;
    std::string escape_text_;
    std::string terminal_type_text_;
    std::string prompt_text_;
};

}  // namespace varolan::util
