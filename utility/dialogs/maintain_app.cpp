#include "utility/dialogs/maintain_app.h"

#include <memory>

#include "platform/ui/message.h"
#include "utility/dialogs/maintain_dlg.h"
#include "utility/portdb/port_database.h"
#include "utility/strings/messages.h"
#include "utility/strings/strings.h"

namespace varolan::util {

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
    auto database = std::make_unique<CPortDatabase>();
    if (!database->loaded()) {
        message_box_id(IDS_ERR_READING_PORT_INFO);
        return EXIT_LOAD_FAILED;
    }

    auto dialog = std::make_unique<CMaintainDlg>(database.get(), service_, figures_);
    main_window_ = dialog.get();
    // However the dialog ends, the configuration is saved.
    dialog->DoModal();
    main_window_ = nullptr;

    if (!database->SaveAll()) {
        message_box_id(IDS_ERR_UPDATE_PORT_INFO);
        return EXIT_SAVE_FAILED;
    }
    if ((dialog->start_on_close_flags() & CMaintainDlg::START_ON_CLOSE) != 0 &&
        !service_->Start()) {
        message_box_id(IDS_ERR_START_SERVICE);
        return EXIT_START_FAILED;
    }
    return 0;
}

}  // namespace varolan::util
