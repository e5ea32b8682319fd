// The application object of the utility: loads the configuration, runs the
// main dialog, saves, and starts the service when asked to.
#pragma once

#include <memory>

#include "utility/dialogs/app_services.h"

namespace varolan::util {

class CMaintainDlg;

// Exit codes of a run.
inline constexpr int EXIT_LOAD_FAILED = -1;
inline constexpr int EXIT_SAVE_FAILED = -2;
inline constexpr int EXIT_START_FAILED = -3;

class CMaintainApp {
  public:
    // `service` and `figures` default to the real ones.
    explicit CMaintainApp(ServiceOps* service = nullptr, SystemFigures* figures = nullptr);
    ~CMaintainApp();
    CMaintainApp(const CMaintainApp&) = delete;
    CMaintainApp& operator=(const CMaintainApp&) = delete;

    // Sets the message title and routes the utility's messages to the
    // dialog framework's boxes. Returns success.
    bool InitInstance();
    // One run: load, main dialog, save, optional service start. Returns the
    // exit code: 0, EXIT_LOAD_FAILED, EXIT_SAVE_FAILED or EXIT_START_FAILED.
    int Run();

    // The main dialog while it runs, else null.
    CMaintainDlg* main_window() const { return main_window_; }

  private:
    ServiceOps* service_;
    SystemFigures* figures_;
    CMaintainDlg* main_window_ = nullptr;
    std::unique_ptr<UiMessageBridge> bridge_;
};

}  // namespace varolan::util
