// The application object of the utility: loads the configuration, runs the
// main dialog, saves, and starts the service when asked to.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "utility/dialogs/app_services.h"

namespace varolan::util {

class CMaintainDlg;

// Exit codes of a run.
inline constexpr int EXIT_LOAD_FAILED = -1;
inline constexpr int EXIT_SAVE_FAILED = -2;
inline constexpr int EXIT_START_FAILED = -3;
// A run cut short by a signal (Ctrl-C, SIGTERM, a hang-up) ends with 128 plus
// the signal's number, as a shell reports it, and saves nothing.
inline constexpr int EXIT_SIGNAL_BASE = 128;

// Why a run failed, for the one line on standard error after the screen is
// given back: the cause and, where there is one, what to do about it.
struct FailureReport {
    std::string cause;
    std::string remedy;
};

// The line itself: "maintain: STORE: CAUSE" and "; REMEDY" when there is one,
// STORE being the store file in use.
std::string FailureLine(const FailureReport& report);
// Writes FailureLine and a line end to standard error.
void PrintFailureLine(const FailureReport& report);

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
    // exit code: 0, EXIT_LOAD_FAILED, EXIT_SAVE_FAILED, EXIT_START_FAILED, or
    // EXIT_SIGNAL_BASE plus the signal that cut the dialog short.
    int Run();
    // After a failed run: why (the cause is empty after a success).
    const FailureReport& failure() const { return failure_; }

    // The main dialog while it runs, else null.
    CMaintainDlg* main_window() const { return main_window_; }

  private:
    ServiceOps* service_;
    SystemFigures* figures_;
    CMaintainDlg* main_window_ = nullptr;
    std::unique_ptr<UiMessageBridge> bridge_;
    FailureReport failure_;
};

}  // namespace varolan::util
