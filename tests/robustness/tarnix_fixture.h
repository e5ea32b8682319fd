// The set-up the robustness suites share: a raw loopback host and an installed
// tarnix whose default telnet port is that host's.
#pragma once

#include <gtest/gtest.h>

#include "common/store_layout.h"
#include "tests/robustness/tarnix_harness.h"

namespace varolan::robust {

class TarnixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(test::program_path("tarnix").empty()) << "tarnix not built";
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(tarnix.install());
        ASSERT_TRUE(tarnix.set_dword("", layout::VALUE_TELNET_PORT, host.port()));
    }

    RawHost host;
    Tarnix tarnix;
};

}  // namespace varolan::robust
