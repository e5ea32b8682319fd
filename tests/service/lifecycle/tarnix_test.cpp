// The tarnix program end to end, on a temporary store and runtime directory:
// install, start, the states seen by query, controls, stop, refusals.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/store_layout.h"
#include "platform/core/clock.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "tests/support/process.h"
#include "tests/support/wait_until.h"

namespace varolan::service {
namespace {

namespace fs = std::filesystem;
using scm::SERVICE_STATUS;
using test::ScopedEnv;
using test::TempDir;
using test::wait_until;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class TarnixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(tarnix_.empty()) << "tarnix not built below " << test::build_dir();
        // Started services are orphans of a double fork: make this process their
        // reaper so the test can see them end and take their exit status.
        ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        fs::create_directories(gate_dir());
        reg::reset_store();
    }
    void TearDown() override {
        // Nothing may outlive the test. A service that never started left pid 0.
        for (int pid : started_) {
            test::kill_and_reap(pid);
        }
        reg::reset_store();
    }

    std::string gate_dir() const { return dir_.str("gate"); }
    void hold(const char* state) { std::ofstream(gate_dir() + "/hold-" + state) << "x"; }
    void release(const char* state) { fs::remove(gate_dir() + "/hold-" + state); }

    // Runs tarnix with `args` (and extra environment assignments in front).
    Result tarnix(const std::string& args, const std::string& env = "") {
        const std::string out = dir_.str("out.txt");
        const std::string err = dir_.str("err.txt");
        const std::string command = env + (env.empty() ? "" : " ") + "'" + tarnix_.string() + "' " +
                                    args + " >'" + out + "' 2>'" + err + "' </dev/null";
        Result run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = read_file(out);
        run.err = read_file(err);
        return run;
    }

    SERVICE_STATUS query() {
        SERVICE_STATUS s;
        EXPECT_EQ(scm::query_service_status(service_, &s), ERROR_SUCCESS);
        return s;
    }
    bool wait_state(DWORD state) {
        return wait_until([&] { return query().dwCurrentState == state; });
    }
    void open_handles() {
        ASSERT_EQ(scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager_), ERROR_SUCCESS);
        ASSERT_EQ(scm::open_service(manager_, "Varolan", scm::SERVICE_ALL_ACCESS, service_),
                  ERROR_SUCCESS);
    }
    int service_pid() {
        std::ifstream lock(dir_.str("run/varolan.lock"));
        int pid = 0;
        lock >> pid;
        return pid;
    }
    int start_and_note_pid() {
        EXPECT_EQ(scm::start_service(service_), ERROR_SUCCESS);
        const int pid = service_pid();
        EXPECT_GT(pid, 0);
        if (pid > 0) {
            started_.push_back(pid);
        }
        return pid;
    }
    // Waits for the end of a started service; its exit status or -1.
    int wait_exit(int pid) {
        if (pid <= 0) {
            return -1;  // waitpid would take any child of ours
        }
        int st = 0;
        pid_t r = 0;
        wait_until([&] {
            r = ::waitpid(pid, &st, WNOHANG);
            return r != 0;
        });
        if (r != pid) {
            return -1;
        }
        std::erase(started_, pid);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    const fs::path tarnix_ = test::program_path("tarnix");
    TempDir dir_;
    ScopedEnv store_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    ScopedEnv runtime_{scm::RUNTIME_DIR_ENV, dir_.str("run")};
    ScopedEnv gate_{scm::TEST_GATE_ENV, gate_dir()};
    ScopedEnv marker_{scm::SERVICE_MARKER_ENV, std::nullopt};
    ScopedEnv notify_{"NOTIFY_SOCKET", std::nullopt};
    scm::ScHandle manager_;
    scm::ScHandle service_;
    std::vector<int> started_;
};

TEST_F(TarnixTest, FromAShellWithoutSubcommandItPointsToStartAndConsole) {
    const Result run = tarnix("");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    EXPECT_NE(run.err.find("tarnix start"), std::string::npos);
    EXPECT_NE(run.err.find("tarnix console"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_.str("run")))
        << "no endpoint for a process not started as a service";
    EXPECT_EQ(tarnix("bogus").status, 2);
}

TEST_F(TarnixTest, InstallRegistersAndWritesFirstValuesOnlyWhereNoneExist) {
    EXPECT_EQ(tarnix("status").status, 1) << "not installed yet";
    {
        reg::Key product;
        ASSERT_EQ(reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product),
                  ERROR_SUCCESS);
        const std::uint32_t port = 2323;
        ASSERT_EQ(reg::set_value(product, layout::VALUE_TELNET_PORT, reg::REG_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&port), sizeof port),
                  ERROR_SUCCESS);
    }
    const Result run = tarnix("install");
    ASSERT_EQ(run.status, 0) << run.err;
    open_handles();
    EXPECT_EQ(fs::path(service_.image_path()), fs::canonical(tarnix_));

    reg::Key product;
    ASSERT_EQ(reg::open_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_READ, product),
              ERROR_SUCCESS);
    struct Want {
        const char* name;
        DWORD type;
        std::vector<std::uint8_t> data;
    } wants[] = {
        {layout::VALUE_ESCAPE_CHAR, reg::REG_SZ, {0x1D, 0}},
        {layout::VALUE_NUMBER_OF_PORTS, reg::REG_DWORD, {0, 0, 0, 0}},
        {layout::VALUE_TELNET_PORT, reg::REG_DWORD, {0x13, 0x09, 0, 0}},  // kept: 2323
    };
    for (const Want& w : wants) {
        std::uint8_t data[64] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        ASSERT_EQ(reg::query_value(product, w.name, &type, data, &size), ERROR_SUCCESS) << w.name;
        EXPECT_EQ(type, w.type) << w.name;
        EXPECT_EQ(std::vector<std::uint8_t>(data, data + size), w.data) << w.name;
    }
    EXPECT_EQ(tarnix("install").status, 0) << "installing again is harmless";
    EXPECT_EQ(tarnix("status").out, "STOPPED\n");
    EXPECT_EQ(tarnix("remove").status, 0);
    EXPECT_EQ(tarnix("status").status, 1);
}

TEST_F(TarnixTest, StartQueryControlAndStop) {
    ASSERT_EQ(tarnix("install").status, 0);
    open_handles();

    // Held before RUNNING is reported: the service is seen starting.
    hold("RUNNING");
    const int pid = start_and_note_pid();
    ASSERT_TRUE(wait_until([&] {
        SERVICE_STATUS s = query();
        return s.dwCurrentState == scm::SERVICE_START_PENDING && s.dwCheckPoint == 2;
    }));
    SERVICE_STATUS s = query();
    EXPECT_EQ(s.dwControlsAccepted, 0u);
    EXPECT_EQ(s.dwWaitHint, 1000u);
    EXPECT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_STOP, &s),
              ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(tarnix("status").out, "START_PENDING\n");
    EXPECT_EQ(scm::start_service(service_), ERROR_SERVICE_ALREADY_RUNNING);

    // A second instance started as the service does not take the endpoint over.
    const Result second = tarnix("", "VAROLAN_SERVICE=Varolan");
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
    EXPECT_EQ(service_pid(), pid);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_START_PENDING);

    release("RUNNING");
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    EXPECT_EQ(query().dwControlsAccepted,
              scm::SERVICE_ACCEPT_STOP | scm::SERVICE_ACCEPT_PAUSE_CONTINUE);

    struct Step {
        const char* command;
        const char* printed;
    } steps[] = {
        {"status", "RUNNING\n"},   {"continue", "RUNNING\n"}, {"pause", "PAUSED\n"},
        {"pause", "PAUSED\n"},     {"status", "PAUSED\n"},    {"continue", "RUNNING\n"},
        {"continue", "RUNNING\n"},
    };
    for (const Step& step : steps) {
        const Result run = tarnix(step.command);
        EXPECT_EQ(run.status, 0) << step.command << ": " << run.err;
        EXPECT_EQ(run.out, step.printed) << step.command;
    }
    EXPECT_EQ(tarnix("remove").status, 1) << "refused while running";
    EXPECT_EQ(tarnix("start").status, 1) << "already running";

    // Held before STOPPED is reported: the service is seen stopping.
    hold("STOPPED");
    ASSERT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_STOP, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, scm::SERVICE_STOP_PENDING);
    EXPECT_EQ(s.dwCheckPoint, 1u);
    EXPECT_EQ(s.dwWaitHint, 3000u);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOP_PENDING);
    EXPECT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_PAUSE, &s),
              ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    release("STOPPED");
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOPPED);
    EXPECT_FALSE(fs::exists(dir_.str("run/varolan.ctl")));
    EXPECT_EQ(scm::control_service(service_, scm::SERVICE_CONTROL_STOP, &s),
              ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(TarnixTest, KilledServiceLeavesAStaleEndpointThatTheNextStartReplaces) {
    ASSERT_EQ(tarnix("install").status, 0);
    open_handles();
    const int first = start_and_note_pid();
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    ASSERT_TRUE(test::signal_process(first, SIGKILL));
    EXPECT_EQ(wait_exit(first), 128 + SIGKILL);
    EXPECT_TRUE(fs::exists(dir_.str("run/varolan.ctl")));
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOPPED);

    const int second = start_and_note_pid();
    ASSERT_NE(second, first);
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    // SIGTERM is a STOP: the service ends normally.
    ASSERT_TRUE(test::signal_process(second, SIGTERM));
    EXPECT_EQ(wait_exit(second), 0);
    EXPECT_EQ(query().dwCurrentState, scm::SERVICE_STOPPED);
}

TEST_F(TarnixTest, ConsoleRunsInTheForegroundUntilInterrupted) {
    ASSERT_EQ(tarnix("install").status, 0);
    open_handles();
    const std::string err = dir_.str("console-err.txt");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::FILE* f = std::freopen(err.c_str(), "w", stderr);
        (void)f;
        ::execl(tarnix_.c_str(), "tarnix", "console", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    started_.push_back(pid);
    ASSERT_TRUE(wait_state(scm::SERVICE_RUNNING));
    EXPECT_EQ(tarnix("status").out, "RUNNING\n");
    EXPECT_EQ(tarnix("console").status, 1) << "one instance at a time";
    ASSERT_TRUE(test::signal_process(pid, SIGINT));
    EXPECT_EQ(wait_exit(pid), 0);
    const std::string text = read_file(err);
    for (const char* line : {"Varolan: START_PENDING (check point 1, wait hint 1000 ms)\n",
                             "Varolan: START_PENDING (check point 2, wait hint 1000 ms)\n",
                             "Varolan: RUNNING (check point 0, wait hint 0 ms)\n",
                             "Varolan: STOP_PENDING (check point 1, wait hint 3000 ms)\n",
                             "Varolan: STOPPED (check point 0, wait hint 0 ms)\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
    }
}

}  // namespace
}  // namespace varolan::service
