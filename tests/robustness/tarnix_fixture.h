// The set-up the robustness suites share: a raw loopback host and an installed
// tarnix whose default telnet port is that host's.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/store_layout.h"
#include "tests/robustness/tarnix_harness.h"
#include "tests/support/serial_pty.h"

namespace varolan::robust {

class TarnixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(test::program_path("tarnix").empty()) << "tarnix not built";
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(tarnix.install());
        ASSERT_TRUE(tarnix.set_dword("", layout::VALUE_TELNET_PORT, host.port()));
    }

    // One managed port on the pty's slave, 9600 8N1 without flow control.
    bool serve_pty_port(const std::string& port, const test::PtyPair& pty) {
        const struct {
            const char* name;
            std::uint32_t value;
        } line[] = {{layout::VALUE_BAUD_RATE, 9600}, {layout::VALUE_DATA_BITS, 8},
                    {layout::VALUE_STOP_BITS, 0},    {layout::VALUE_PARITY, 0},
                    {layout::VALUE_FLOW_CONTROL, 0}, {layout::VALUE_DEVICE_FLAGS, 0}};
        bool ok = tarnix.set_dword("", layout::VALUE_NUMBER_OF_PORTS, 1) &&
                  tarnix.set_string(port, layout::VALUE_PORT_NAME, pty.port_path());
        for (const auto& v : line) {
            ok = ok && tarnix.set_dword(port, v.name, v.value);
        }
        return ok;
    }

    RawHost host;
    Tarnix tarnix;
};

}  // namespace varolan::robust
