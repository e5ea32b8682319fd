#include "utility/dialogs/app_services.h"

#include "platform/sysinfo/sysinfo.h"
#include "platform/ui/message.h"
#include "utility/service_control/service_control.h"

namespace varolan::util {

namespace {

class SystemServiceOps : public ServiceOps {
  public:
    bool Query(DWORD& current_state) override { return query_service(current_state); }
    bool Stop() override { return stop_service(); }
    bool Start() override { return start_service(); }
};

class MachineFigures : public SystemFigures {
  public:
    bool TotalMemory(std::uint64_t& bytes) override {
        return sysinfo::total_physical_memory(&bytes) == ERROR_SUCCESS;
    }
    bool CurrentDirectory(std::string& path) override {
        return sysinfo::current_directory(&path) == ERROR_SUCCESS;
    }
    bool FreeSpace(const std::string& path, std::uint64_t& bytes) override {
        return sysinfo::free_disk_space(path, &bytes) == ERROR_SUCCESS;
    }
};

}  // namespace

ServiceOps& system_service_ops() {
    static SystemServiceOps ops;
    return ops;
}

SystemFigures& machine_figures() {
    static MachineFigures figures;
    return figures;
}

UiMessageBridge::UiMessageBridge() : previous_(message_sink()) {
    set_message_sink(this);
}

UiMessageBridge::~UiMessageBridge() {
    set_message_sink(previous_);
}

int UiMessageBridge::show_message(std::string_view text, std::string_view title, unsigned style) {
    if (ui::message_title() != title) {
        ui::set_message_title(std::string(title));
    }
    // The two frameworks share the usual numeric styles and answers.
    const int answer = ui::message_box(std::string(text), style);
    return answer == ui::IDCANCEL ? IDCANCEL : IDOK;
}

}  // namespace varolan::util
