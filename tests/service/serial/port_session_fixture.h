// A port session on a fake line: a fresh store with one port key, the fake
// clock, a loopback host, and the session thread started and ended by the test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/thread.h"
#include "platform/net/net.h"
#include "platform/registry/registry.h"
#include "platform/serial/fake_comm.h"
#include "service/serial/port_session.h"
#include "service/session/globals.h"
#include "tests/support/fake_clock.h"
#include "tests/support/process.h"
#include "tests/support/tcp_host.h"

namespace varolan::test {

// Names resolve only when dotted; every address has a reverse name.
class DottedResolver final : public Resolver {
  public:
    DottedResolver() { previous_ = set_process_resolver(this); }
    ~DottedResolver() override { set_process_resolver(previous_); }
    bool reverse(std::uint32_t) override { return true; }
    bool forward(const char* name, std::uint32_t* ip) override { return parse_dotted(name, ip); }

  private:
    Resolver* previous_ = nullptr;
};

class PortSessionTest : public ::testing::Test {
  public:
    static constexpr const char* kSubkey = "Serial0";

    PortSessionTest() : env_("VAROLAN_REGISTRY", dir_.str("registry.db")) {
        reg::reset_store();
        reg::clear_faults();
        service::reset_globals();
        if (!service::port_handshake_event().valid()) {
            service::port_handshake_event().create(false, false);
        }
        key_path_ = std::string(layout::PRODUCT_KEY) + "\\" + kSubkey;
        EXPECT_TRUE(host_.start());
        service::telnet_port.store(host_.port());
        // 9600 8N1, no flow control, served.
        set_string(layout::VALUE_PORT_NAME, "COM2");
        set_dword(layout::VALUE_BAUD_RATE, 9600);
        set_dword(layout::VALUE_DATA_BITS, 8);
        set_dword(layout::VALUE_STOP_BITS, 0);
        set_dword(layout::VALUE_PARITY, 0);
        set_dword(layout::VALUE_FLOW_CONTROL, 0);
        set_dword(layout::VALUE_DEVICE_FLAGS, 0x55);
        line_ = opener_.add_line("COM2");
    }

    ~PortSessionTest() override {
        stop();
        service::reset_globals();
        reg::clear_faults();
        reg::reset_store();
    }

    // --- port key ---
    reg::Key port_key() {
        reg::Key key;
        EXPECT_EQ(reg::create_key(reg::hklm(), key_path_, reg::KEY_ALL_ACCESS, key), 0);
        return key;
    }
    void set_dword(const char* name, std::uint32_t value) {
        EXPECT_TRUE(reg_write_dword(key_path_.c_str(), name, value));
    }
    void set_string(const char* name, const std::string& text) {
        auto key = port_key();
        EXPECT_EQ(reg::set_value(key, name, reg::REG_SZ,
                                 reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                 static_cast<DWORD>(text.size() + 1)),
                  0);
    }
    void set_multi(const char* name, std::initializer_list<std::string> strings) {
        std::string data;
        for (const auto& s : strings) {
            data += s;
            data.push_back('\0');
        }
        data.push_back('\0');
        auto key = port_key();
        EXPECT_EQ(reg::set_value(key, name, reg::REG_MULTI_SZ,
                                 reinterpret_cast<const std::uint8_t*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  0);
    }
    void remove(const char* name) {
        auto key = port_key();
        reg::delete_value(key, name);
    }
    std::uint32_t device_flags() {
        std::uint32_t v = 0xDEAD;
        EXPECT_TRUE(reg_read_dword(key_path_.c_str(), layout::VALUE_DEVICE_FLAGS, &v));
        return v;
    }
    static void set_escape(const char* set) {
        service::bounded_copy(service::escape_set, service::ESCAPE_SET_SIZE, set);
    }

    // --- the session thread ---
    void start() {
        index_ = 0;
        ASSERT_TRUE(done_.create(true, false));
        ASSERT_TRUE(thread_.start([this] {
            service::port_session(&index_);
            done_.set();
        }));
        ASSERT_EQ(service::port_handshake_event().wait(10000), WaitResult::signaled);
    }
    // Makes a running session give its port up: the next open is refused and
    // the line goes away so whatever the session waits for ends.
    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        line_ = opener_.add_line(device_name_);
        opener_.script_open(device_name_, {ERROR_ACCESS_DENIED});
        line_->hang_up();
        thread_.join();
    }
    // Runs the session until the thread gives the port up by itself.
    bool run_to_end() {
        start();
        bool ended = done_.wait(10000) == WaitResult::signaled;
        stop();
        return ended;
    }

    // --- the user's side ---
    bool wait_prompt(std::size_t from = 0) {
        return line_->wait_for_output("Telnet >", 10000, from);
    }
    // Types an O command to the loopback host and waits for the connection.
    bool open_host(int connections_before = 0) {
        line_->push_input("O 127.0.0.1\r");
        return host_.wait_for_connections(connections_before + 1);
    }
    std::vector<std::uint32_t> sleeps_of(std::uint32_t ms) {
        std::vector<std::uint32_t> out;
        for (auto s : clock_.sleeps()) {
            if (s == ms)
                out.push_back(s);
        }
        return out;
    }

    TempDir dir_;
    ScopedEnv env_;
    FakeClock clock_;
    serial::FakeCommOpener opener_;
    DottedResolver resolver_;
    TcpHost host_;
    std::shared_ptr<serial::FakeLine> line_;
    std::string key_path_;
    std::string device_name_ = "COM2";
    std::uint32_t index_ = 0;
    Event done_;
    Thread thread_;
};

}  // namespace varolan::test
