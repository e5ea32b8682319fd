#include "utility/dialogs/maintain_app.h"

#include <csignal>
#include <cstdio>
#include <memory>

#include "common/store_layout.h"
#include "platform/registry/registry.h"
#include "platform/ui/message.h"
#include "platform/ui/screen.h"
#include "utility/dialogs/maintain_dlg.h"
#include "utility/portdb/port_database.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

const char* signal_name(int sig) {
    switch (sig) {
        case SIGINT:
            return "Ctrl-C (SIGINT)";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "a hang-up of the terminal (SIGHUP)";
        default:
            return "a signal";
    }
}

// The cause and remedy of a store failure seen by a load or a save.
FailureReport store_report(const char* doing, const StoreFailure& f) {
    FailureReport r;
    const std::string key = "HKLM\\" + (f.happened() ? f.key : std::string("?"));
    switch (f.status) {
        case ERROR_FILE_NOT_FOUND:
            r.cause = std::string(doing) + ": the key " + key + " does not exist";
            if (f.key == layout::PRODUCT_KEY_UTILITY) {
                r.remedy = "run `tarnix install` to create it";
            }
            break;
        case ERROR_ACCESS_DENIED:
            r.cause = std::string(doing) + ": access to the key " + key + " was denied";
            r.remedy = "run maintain as a user who may change the store";
            break;
        case ERROR_SUCCESS: {
            r.cause = std::string(doing) + ": the store refused a change of the key " + key;
            const std::string detail = reg::last_store_error();
            if (!detail.empty()) {
                r.cause += " (" + detail + ")";
            }
            break;
        }
        default: {
            r.cause = std::string(doing) + ": the key " + key + " could not be opened (error " +
                      std::to_string(f.status) + ")";
            const std::string detail = reg::last_store_error();
            if (!detail.empty()) {
                r.cause += " (" + detail + ")";
            }
            break;
        }
    }
    return r;
}

}  // namespace

std::string FailureLine(const FailureReport& report) {
    std::string line = "maintain: " + reg::store_path() + ": " + report.cause;
    if (!report.remedy.empty()) {
        line += "; " + report.remedy;
    }
    return line;
}

void PrintFailureLine(const FailureReport& report) {
    std::fprintf(stderr, "%s\n", FailureLine(report).c_str());
}

CMaintainApp::CMaintainApp(ServiceOps* service, SystemFigures* figures)
    : service_(service != nullptr ? service : &system_service_ops()), figures_(figures) {}

CMaintainApp::~CMaintainApp() = default;

bool CMaintainApp::InitInstance() {
    // The framework draws grey dialogs with black text by itself.
    ui::set_message_title(load_string(IDS_APP_TITLE));
    if (bridge_ == nullptr) {
        bridge_ = std::make_unique<UiMessageBridge>();
    }
    return true;
}

int CMaintainApp::Run() {
    failure_ = FailureReport{};
    auto database = std::make_unique<CPortDatabase>();
    if (!database->loaded()) {
        message_box_id(IDS_ERR_READING_PORT_INFO);
        failure_ = store_report("the configuration could not be read", database->failure);
        return EXIT_LOAD_FAILED;
    }

    auto dialog = std::make_unique<CMaintainDlg>(database.get(), service_, figures_);
    main_window_ = dialog.get();
    // However the dialog is closed, the configuration is saved; a signal that
    // cuts the dialog short is not a way of closing it.
    if (ui::InterruptSignal() == 0) {
        dialog->DoModal();
    }
    main_window_ = nullptr;
    if (const int sig = ui::InterruptSignal(); sig != 0) {
        failure_.cause =
            std::string("interrupted by ") + signal_name(sig) + "; no change of this run was saved";
        return EXIT_SIGNAL_BASE + sig;
    }

    if (!database->SaveAll()) {
        message_box_id(IDS_ERR_UPDATE_PORT_INFO);
        failure_ = store_report("the configuration could not be saved", database->failure);
        return EXIT_SAVE_FAILED;
    }
    if ((dialog->start_on_close_flags() & CMaintainDlg::START_ON_CLOSE) != 0 &&
        !service_->Start()) {
        message_box_id(IDS_ERR_START_SERVICE);
        failure_.cause =
            "the configuration was saved, but the Varolan service could not be started";
        failure_.remedy = "`tarnix start` tells why";
        return EXIT_START_FAILED;
    }
    return 0;
}

}  // namespace varolan::util
