// The service lifecycle in one process: service_main under the console
// dispatcher with recorded status reports, and start_sessions over a temporary
// store with session entry points that record what they were given.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/clock.h"
#include "platform/core/thread.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "service/lifecycle/lifecycle.h"
#include "service/session/globals.h"
#include "tests/support/fake_clock.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

using scm::SERVICE_STATUS;
using test::ScopedEnv;
using test::TempDir;
using test::wait_until;

// --- recording session entries ------------------------------------------------------

std::mutex record_mutex;
std::vector<std::string> port_names;      // the port key names, read with the index passed
std::vector<std::uint32_t> port_indexes;  // the indexes passed
std::atomic<int> pipe_calls{0};

void fake_pipe_session() {
    ++pipe_calls;
}

void fake_port_session(const std::uint32_t* port_index) {
    const std::uint32_t index = *port_index;
    char name[REG_STRING_SIZE];
    const bool found = reg_enum_subkey(layout::PRODUCT_KEY, index, name);
    {
        std::lock_guard<std::mutex> lock(record_mutex);
        port_indexes.push_back(index);
        port_names.push_back(found ? name : "<none>");
    }
    port_handshake_event().set();
}

std::vector<std::string> recorded_names() {
    std::lock_guard<std::mutex> lock(record_mutex);
    return port_names;
}

std::vector<std::uint32_t> recorded_indexes() {
    std::lock_guard<std::mutex> lock(record_mutex);
    return port_indexes;
}

// --- recorded status reports ----------------------------------------------------------

struct Report {
    DWORD state, accepted, exit_code, check_point, wait_hint;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Report& r) {
    return os << "{" << scm::state_name(r.state) << " accepted " << r.accepted << " exit "
              << r.exit_code << " cp " << r.check_point << " hint " << r.wait_hint << "}";
}

std::mutex report_mutex;
std::vector<Report> reports;

void record_report(const SERVICE_STATUS& s) {
    EXPECT_EQ(s.dwServiceType, scm::SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
    std::lock_guard<std::mutex> lock(report_mutex);
    reports.push_back(
        {s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwCheckPoint, s.dwWaitHint});
}

std::vector<Report> recorded_reports() {
    std::lock_guard<std::mutex> lock(report_mutex);
    return reports;
}

const scm::SERVICE_TABLE_ENTRY table[] = {{SERVICE_NAME, service_main}, {nullptr, nullptr}};

constexpr DWORD ACCEPT_ALL = scm::SERVICE_ACCEPT_STOP | scm::SERVICE_ACCEPT_PAUSE_CONTINUE;

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reg::reset_store();
        // The service starts only on a store that exists (as install makes it).
        reg::Key product;
        ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                  ERROR_SUCCESS);
        reset_lifecycle();
        reset_globals();
        set_session_entries(fake_pipe_session, fake_port_session);
        {
            std::lock_guard<std::mutex> lock(record_mutex);
            port_names.clear();
            port_indexes.clear();
        }
        {
            std::lock_guard<std::mutex> lock(report_mutex);
            reports.clear();
        }
        pipe_calls = 0;
    }
    void TearDown() override {
        dispatcher_.join();
        scm::inject_status_failure(0, 0);
        reset_lifecycle();
        reset_globals();
        reg::reset_store();
    }

    void set_dword(const std::string& path, const char* name, std::uint32_t value) {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        ASSERT_EQ(reg::set_value(key, name, reg::REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&value), sizeof value),
                  ERROR_SUCCESS);
    }
    void set_string(const std::string& path, const char* name, const std::string& value) {
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        ASSERT_EQ(reg::set_value(key, name, reg::REG_SZ,
                                 reinterpret_cast<const std::uint8_t*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)),
                  ERROR_SUCCESS);
    }
    // A port key, with "Device Flags" unless `flags` is empty.
    void add_port(const std::string& name, std::optional<std::uint32_t> flags) {
        const std::string path = std::string(layout::PRODUCT_KEY) + "\\" + name;
        reg::Key key;
        ASSERT_EQ(reg::create_key(reg::hklm(), path, reg::KEY_ALL_ACCESS, key), ERROR_SUCCESS);
        if (flags) {
            set_dword(path, layout::VALUE_DEVICE_FLAGS, *flags);
        }
    }

    void start_service() {
        dispatcher_.start(
            [this] { dispatch_result_ = scm::run_service_in_console(table, record_report); }, 0);
    }
    bool wait_state(DWORD state) {
        return wait_until([&] {
            SERVICE_STATUS s;
            return scm::query_endpoint(SERVICE_NAME, &s) == ERROR_SUCCESS &&
                   s.dwCurrentState == state;
        });
    }
    DWORD control(DWORD code) {
        SERVICE_STATUS s;
        const DWORD rc = scm::control_endpoint(SERVICE_NAME, code, &s);
        return rc == ERROR_SUCCESS ? s.dwCurrentState : 1000 + rc;
    }

    TempDir dir_;
    ScopedEnv store_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    ScopedEnv runtime_{scm::RUNTIME_DIR_ENV, dir_.str("run")};
    ScopedEnv marker_{scm::SERVICE_MARKER_ENV, std::nullopt};
    ScopedEnv gate_{scm::TEST_GATE_ENV, std::nullopt};
    ScopedEnv notify_{"NOTIFY_SOCKET", std::nullopt};
    Thread dispatcher_;
    std::atomic<DWORD> dispatch_result_{0xFFFFFFFF};
};

// --- service_main and control_handler ------------------------------------------------

TEST_F(LifecycleTest, StateSequenceOfStartPauseContinueAndStop) {
    test::LogCapture log;
    start_service();
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    ASSERT_TRUE(wait_until([] { return pipe_calls.load() == 1; }));

    struct Step {
        DWORD control;
        DWORD state_after;
        bool gate_held_after;
    } steps[] = {
        {scm::SERVICE_CONTROL_PAUSE, scm::SERVICE_PAUSED, true},
        {scm::SERVICE_CONTROL_PAUSE, scm::SERVICE_PAUSED, true},  // no-op: reports PAUSED again
        {scm::SERVICE_CONTROL_INTERROGATE, scm::SERVICE_PAUSED, true},
        {scm::SERVICE_CONTROL_CONTINUE, scm::SERVICE_RUNNING, false},
        {scm::SERVICE_CONTROL_CONTINUE, scm::SERVICE_RUNNING, false},  // no-op
        {scm::SERVICE_CONTROL_INTERROGATE, scm::SERVICE_RUNNING, false},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(control(step.control), step.state_after) << step.control;
        EXPECT_EQ(gate_held(), step.gate_held_after) << step.control;
    }
    EXPECT_EQ(control(scm::SERVICE_CONTROL_STOP), scm::SERVICE_STOP_PENDING);
    dispatcher_.join();
    EXPECT_EQ(dispatch_result_.load(), ERROR_SUCCESS);

    const std::vector<Report> expected = {
        {scm::SERVICE_START_PENDING, 0, 0, 1, 1000},
        {scm::SERVICE_START_PENDING, 0, 0, 2, 1000},
        {scm::SERVICE_RUNNING, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_PAUSED, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_PAUSED, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_PAUSED, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_RUNNING, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_RUNNING, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_RUNNING, ACCEPT_ALL, 0, 0, 0},
        {scm::SERVICE_STOP_PENDING, ACCEPT_ALL, 0, 1, 3000},
        {scm::SERVICE_STOPPED, ACCEPT_ALL, 0, 0, 0},
    };
    EXPECT_EQ(recorded_reports(), expected);
    EXPECT_STREQ(last_stop_text(), "");
    // Each change of state is logged once; the no-op controls log nothing.
    const std::vector<std::string> lines = {
        "<5>Varolan started", "<5>Varolan paused: every session holds", "<5>Varolan continued",
        "<5>Varolan stopping", "<5>Varolan stopped"};
    std::vector<std::string> notices;
    for (const std::string& line : log.lines()) {
        if (line.rfind("<5>", 0) == 0) {
            notices.push_back(line);
        }
    }
    EXPECT_EQ(notices, lines);
}

TEST_F(LifecycleTest, PauseHoldsSessionsAtTheGateUntilContinue) {
    start_service();
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    ASSERT_TRUE(wait_until([] { return pipe_calls.load() == 1; }));  // start-up is over
    ASSERT_EQ(control(scm::SERVICE_CONTROL_PAUSE), scm::SERVICE_PAUSED);
    std::atomic<bool> passed{false};
    std::thread session([&] {
        gate_pass();
        passed = true;
    });
    ASSERT_EQ(control(scm::SERVICE_CONTROL_INTERROGATE), scm::SERVICE_PAUSED);
    EXPECT_FALSE(passed.load());
    ASSERT_EQ(control(scm::SERVICE_CONTROL_CONTINUE), scm::SERVICE_RUNNING);
    session.join();
    EXPECT_TRUE(passed.load());
    // Stop while paused works too.
    ASSERT_EQ(control(scm::SERVICE_CONTROL_PAUSE), scm::SERVICE_PAUSED);
    EXPECT_EQ(control(scm::SERVICE_CONTROL_STOP), scm::SERVICE_STOP_PENDING);
}

TEST_F(LifecycleTest, FailedStatusReportTakesTheStopPath) {
    struct Case {
        DWORD failing_state;
        std::vector<Report> expected;
    } cases[] = {
        {scm::SERVICE_START_PENDING, {{scm::SERVICE_STOPPED, ACCEPT_ALL, 0, 0, 0}}},
        {scm::SERVICE_RUNNING,
         {{scm::SERVICE_START_PENDING, 0, 0, 1, 1000},
          {scm::SERVICE_START_PENDING, 0, 0, 2, 1000},
          {scm::SERVICE_STOPPED, ACCEPT_ALL, 0, 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(scm::state_name(c.failing_state));
        {
            std::lock_guard<std::mutex> lock(report_mutex);
            reports.clear();
        }
        reset_lifecycle();
        set_session_entries(fake_pipe_session, fake_port_session);
        scm::inject_status_failure(c.failing_state, 1);
        start_service();
        dispatcher_.join();
        EXPECT_EQ(dispatch_result_.load(), ERROR_SUCCESS);
        EXPECT_EQ(recorded_reports(), c.expected);
        EXPECT_STREQ(last_stop_text(), "SetServiceStatus");
        // The start-up thread exists only once START_PENDING was reported; it
        // ends after starting the pipe listener.
        const int pipes = c.failing_state == scm::SERVICE_RUNNING ? 1 : 0;
        EXPECT_TRUE(wait_until([&] { return pipe_calls.load() == pipes; }));
        pipe_calls = 0;
    }
}

TEST_F(LifecycleTest, ServiceMainOutsideADispatcherReportsNothing) {
    service_main(0, nullptr);
    EXPECT_EQ(current_status().dwCurrentState, 0u);
    EXPECT_EQ(pipe_calls.load(), 0);
}

TEST_F(LifecycleTest, DebugHoldServesNothingUntilContinue) {
    set_dword(layout::PRODUCT_KEY, layout::VALUE_DEBUG, 1);
    set_dword(layout::PRODUCT_KEY, layout::VALUE_NUMBER_OF_PORTS, 1);
    add_port("Serial0", 0);
    test::FakeClock clock;
    start_service();
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    ASSERT_TRUE(wait_until([&] { return debug_hold_active() && clock.sleeps().size() >= 3; }));
    EXPECT_EQ(pipe_calls.load(), 0);
    EXPECT_TRUE(recorded_names().empty());
    for (std::uint32_t ms : clock.sleeps()) {
        ASSERT_EQ(ms, DEBUG_HOLD_POLL_MS);
    }
    // CONTINUE while RUNNING releases the hold (and reports RUNNING again).
    EXPECT_EQ(control(scm::SERVICE_CONTROL_CONTINUE), scm::SERVICE_RUNNING);
    // The pipe listener and the port session run on threads of their own.
    ASSERT_TRUE(wait_until([] { return !recorded_names().empty() && pipe_calls.load() == 1; }));
    EXPECT_EQ(recorded_names(), std::vector<std::string>{"Serial0"});
    EXPECT_FALSE(debug_hold_active());
    EXPECT_EQ(control(scm::SERVICE_CONTROL_STOP), scm::SERVICE_STOP_PENDING);
    dispatcher_.join();  // before the fake clock goes
}

TEST_F(LifecycleTest, StopDuringTheDebugHoldStartsNoSession) {
    set_dword(layout::PRODUCT_KEY, layout::VALUE_DEBUG, 7);
    test::FakeClock clock;
    start_service();
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    ASSERT_TRUE(wait_until([] { return debug_hold_active(); }));
    EXPECT_EQ(control(scm::SERVICE_CONTROL_STOP), scm::SERVICE_STOP_PENDING);
    dispatcher_.join();
    ASSERT_TRUE(wait_until([] { return !debug_hold_active(); }));
    EXPECT_EQ(pipe_calls.load(), 0);
}

// --- start_sessions ----------------------------------------------------------------------

TEST_F(LifecycleTest, PortKeysThatGetASession) {
    struct Port {
        const char* name;
        std::optional<std::uint32_t> flags;
    };
    struct Case {
        const char* what;
        std::optional<std::uint32_t> number_of_ports;
        std::vector<Port> ports;
        std::vector<std::string> names;
        std::vector<std::uint32_t> indexes;
    } cases[] = {
        {"more ports counted than subkeys",
         3,
         {{"Serial0", 0}, {"Serial1", 0}},
         {"Serial0", "Serial1"},
         {0, 1}},
        {"not managed, no flags, failure bits",
         4,
         {{"Serial0", layout::DEVICE_NOT_MANAGED},
          {"Serial1", std::nullopt},
          {"Serial2", 0},
          {"Serial3", layout::DEVICE_BAUD_ERROR | layout::DEVICE_OPEN_FAILED}},
         {"Serial2", "Serial3"},
         {2, 3}},
        {"not managed with other bits", 1, {{"Serial0", 0x1FF}}, {}, {}},
        {"count bounds the indexes tried, in name order",
         2,
         {{"c", 0}, {"B", 0}, {"a", 0}},
         {"a", "B"},
         {0, 1}},
        {"no count: no port sessions", std::nullopt, {{"Serial0", 0}}, {}, {}},
        {"count 0", 0, {{"Serial0", 0}}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir store;
        ScopedEnv env("VAROLAN_REGISTRY", store.str("registry.db"));
        {
            std::lock_guard<std::mutex> lock(record_mutex);
            port_names.clear();
            port_indexes.clear();
        }
        pipe_calls = 0;
        set_string(layout::PRODUCT_KEY, layout::VALUE_PROMPT, "");
        if (c.number_of_ports) {
            set_dword(layout::PRODUCT_KEY, layout::VALUE_NUMBER_OF_PORTS, *c.number_of_ports);
        }
        for (const Port& p : c.ports) {
            add_port(p.name, p.flags);
        }
        start_sessions();
        // Port sessions start one after another: all have recorded by now.
        EXPECT_EQ(recorded_names(), c.names);
        EXPECT_EQ(recorded_indexes(), c.indexes);
        EXPECT_TRUE(wait_until([] { return pipe_calls.load() == 1; }));
    }
}

TEST_F(LifecycleTest, GlobalValuesAreReadBounded) {
    std::string escape;
    for (int i = 1; i <= 20; ++i) {
        escape += static_cast<char>(i);
    }
    const std::string prompt(255, 'p');
    struct Case {
        const char* what;
        std::optional<std::string> prompt, escape;
        std::optional<std::uint32_t> telnet_port;
        std::string want_prompt, want_escape;
        std::uint16_t want_port;
    } cases[] = {
        {"longest prompt, long escape set cut to 11", prompt, escape, 2323, prompt,
         escape.substr(0, ESCAPE_SET_SIZE - 1), 2323},
        {"ordinary values", std::string("Gateway"), std::string("\x1d"), 23, "Gateway", "\x1d", 23},
        {"missing values leave the defaults", std::nullopt, std::nullopt, std::nullopt, "", "", 23},
        {"out-of-range telnet port", std::nullopt, std::nullopt, 70000, "", "", 23},
        {"telnet port 0", std::nullopt, std::nullopt, 0, "", "", 23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir store;
        ScopedEnv env("VAROLAN_REGISTRY", store.str("registry.db"));
        std::memset(global_prompt, 'x', PROMPT_SIZE);  // stale contents must not survive
        std::memset(escape_set, 'x', ESCAPE_SET_SIZE);
        telnet_port = 1;
        if (c.prompt) {
            set_string(layout::PRODUCT_KEY, layout::VALUE_PROMPT, *c.prompt);
        }
        if (c.escape) {
            set_string(layout::PRODUCT_KEY, layout::VALUE_ESCAPE_CHAR, *c.escape);
        }
        if (c.telnet_port) {
            set_dword(layout::PRODUCT_KEY, layout::VALUE_TELNET_PORT, *c.telnet_port);
        }
        start_sessions();
        ASSERT_TRUE(wait_until([] { return pipe_calls.load() >= 1; }));
        pipe_calls = 0;
        EXPECT_EQ(std::string(global_prompt), c.want_prompt);
        EXPECT_EQ(std::string(escape_set), c.want_escape);
        EXPECT_LT(strnlen(global_prompt, PROMPT_SIZE), PROMPT_SIZE);
        EXPECT_LT(strnlen(escape_set, ESCAPE_SET_SIZE), ESCAPE_SET_SIZE);
        EXPECT_EQ(telnet_port.load(), c.want_port);
    }
}

}  // namespace
}  // namespace varolan::service
