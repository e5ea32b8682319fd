// What the dialogs need from outside the screen, behind small interfaces so a
// test can stand in for them: the gateway service's control operations, the
// machine figures of the About box, and the bridge that shows the utility's
// messages as the screen's message boxes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/winerror.h"
#include "utility/strings/messages.h"

namespace varolan::util {

// Service states the main dialog tells apart.
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// query_service / stop_service / start_service of the gateway service.
class ServiceOps {
  public:
    virtual ~ServiceOps() = default;
    virtual bool Query(DWORD& current_state) = 0;
    virtual bool Stop() = 0;
    virtual bool Start() = 0;
};

// The real operations (through the service control manager).
ServiceOps& system_service_ops();

// The figures the About box shows.
class SystemFigures {
  public:
    virtual ~SystemFigures() = default;
    // Total physical memory in bytes; false when it cannot be found out.
    virtual bool TotalMemory(std::uint64_t& bytes) = 0;
    // The process's current directory; false when it cannot be found out.
    virtual bool CurrentDirectory(std::string& path) = 0;
    // Free bytes of the file system that holds `path`; false on failure.
    virtual bool FreeSpace(const std::string& path, std::uint64_t& bytes) = 0;
};

// The machine's own figures.
SystemFigures& machine_figures();

// Shows the utility's messages (string-table texts, "Varolan Maintenance"
// title, exclamation icon) as message boxes of the dialog framework. Installed
// for the life of the object; the previous sink comes back afterwards.
class UiMessageBridge : public MessageSink {
  public:
    UiMessageBridge();
    ~UiMessageBridge() override;
    UiMessageBridge(const UiMessageBridge&) = delete;
    UiMessageBridge& operator=(const UiMessageBridge&) = delete;

    int show_message(std::string_view text, std::string_view title, unsigned style) override;

  private:
    MessageSink* previous_;
};

}  // namespace varolan::util
