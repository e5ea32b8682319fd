// Headless surroundings for tests of the utility's dialogs: the framework's
// headless driver (modal runs and message boxes), the utility's messages routed
// to it, a stand-in for the gateway service and for the machine figures, and an
// in-memory configuration with ports made to measure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "platform/ui/headless.h"
#include "utility/dialogs/app_services.h"
#include "utility/dialogs/resource.h"
#include "utility/portdb/port_database.h"
#include "utility/strings/strings.h"

namespace varolan::util::test {

class FakeService : public ServiceOps {
  public:
    bool Query(DWORD& current_state) override {
        ++queries;
        current_state = state;
        return query_ok;
    }
    bool Stop() override {
        ++stops;
        if (stop_ok) {
            state = state_after_stop;
        }
        return stop_ok;
    }
    bool Start() override {
        ++starts;
        if (on_start) {
            on_start();
        }
        return start_ok;
    }

    bool query_ok = true;
    DWORD state = SERVICE_STOPPED;
    bool stop_ok = true;
    DWORD state_after_stop = SERVICE_STOP_PENDING;
    bool start_ok = true;
    std::function<void()> on_start;
    int queries = 0;
    int stops = 0;
    int starts = 0;
};

class FakeFigures : public SystemFigures {
  public:
    bool TotalMemory(std::uint64_t& bytes) override {
        bytes = memory;
        return memory_ok;
    }
    bool CurrentDirectory(std::string& path) override {
        path = directory;
        return directory_ok;
    }
    bool FreeSpace(const std::string& path, std::uint64_t& bytes) override {
        asked_path = path;
        bytes = free_bytes;
        return free_ok;
    }

    bool memory_ok = true;
    std::uint64_t memory = 32ull << 20;
    bool directory_ok = true;
    std::string directory = "/var/lib/varolan";
    bool free_ok = true;
    std::uint64_t free_bytes = 100ull << 20;
    std::string asked_path;
};

// Capabilities of a device that can do everything the dialogs offer.
inline PortCaps full_caps() {
    return PortCaps{};
}

class DialogTest : public ::testing::Test {
  protected:
    // A port record in the configuration: 9600 8N1, no flow control, served.
    CPortRecord* AddPort(const std::string& device, const std::string& com,
                         PortCaps caps = full_caps()) {
        auto record = std::make_unique<CPortRecord>(device);
        record->caps = caps;
        PortSettings& s = record->saved;
        s.port_name = com;
        s.baud = 0x0800;
        s.data_bits = 0x0008;
        s.stop_parity = 0x0101;
        s.flow_control = 0;
        s.terminal_type = "VT100";
        s.device_flags = 0;
        record->current = record->saved;
        CPortRecord* raw = record.get();
        db_.ports.emplace(device, std::move(record));
        return raw;
    }

    std::vector<std::string> Messages() const { return driver_.texts(); }

    ui::HeadlessDriver driver_;
    UiMessageBridge bridge_;
    FakeService service_;
    FakeFigures figures_;
    CPortDatabase db_{CPortDatabase::NoLoad{}};
};

}  // namespace varolan::util::test
