// The service control layer in one process: a small test service runs inside
// the dispatcher on a thread of its own, the test is its controller.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/core/fd.h"
#include "platform/core/thread.h"
#include "platform/registry/registry.h"
#include "platform/scm/runtime_files.h"
#include "platform/scm/scm.h"
#include "platform/scm/scm_internal.h"
#include "tests/support/process.h"
#include "tests/support/wait_until.h"

namespace varolan::scm {
namespace {

using test::ScopedEnv;
using test::TempDir;
namespace fs = std::filesystem;

constexpr const char* NAME = "Probe";

// --- the test service ----------------------------------------------------------

struct ProbeService {
    std::atomic<SERVICE_STATUS_HANDLE> handle{nullptr};
    std::atomic<DWORD> accepted{SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE};
    Event release_running;  // service main reports RUNNING once set
    Event stop;
    std::mutex mutex;
    std::vector<DWORD> controls;
    std::vector<std::thread::id> handler_threads;
    std::atomic<bool> registered{false};
};

ProbeService* probe = nullptr;

void report(DWORD state, DWORD check_point = 0) {
    SERVICE_STATUS s;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : probe->accepted.load();
    s.dwCheckPoint = check_point;
    set_service_status(probe->handle.load(), &s);
}

void probe_handler(DWORD control) {
    {
        std::lock_guard<std::mutex> lock(probe->mutex);
        probe->controls.push_back(control);
        probe->handler_threads.push_back(std::this_thread::get_id());
    }
    switch (control) {
        case SERVICE_CONTROL_STOP:
            report(SERVICE_STOP_PENDING, 1);
            probe->stop.set();
            break;
        case SERVICE_CONTROL_PAUSE:
            report(SERVICE_PAUSED);
            break;
        case SERVICE_CONTROL_CONTINUE:
            report(SERVICE_RUNNING);
            break;
        default:
            break;
    }
}

void probe_main(DWORD argc, char** argv) {
    EXPECT_EQ(argc, 1u);
    EXPECT_STREQ(argv[0], NAME);
    probe->handle = register_service_ctrl_handler("PROBE", probe_handler);
    probe->registered = true;
    if (probe->handle.load() == nullptr) {
        return;
    }
    report(SERVICE_START_PENDING, 1);
    probe->release_running.wait();
    report(SERVICE_RUNNING);
    probe->stop.wait();
    report(SERVICE_STOPPED);
}

const SERVICE_TABLE_ENTRY probe_table[] = {{NAME, probe_main}, {nullptr, nullptr}};

class ScmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service_.release_running.create(true, false));
        ASSERT_TRUE(service_.stop.create(true, false));
        probe = &service_;
    }
    void TearDown() override {
        service_.release_running.set();
        service_.stop.set();
        dispatcher_.join();
        probe = nullptr;
    }

    // Runs the dispatcher on its own thread; its result goes to dispatch_result_.
    void start_dispatcher(bool console = false) {
        dispatcher_.start(
            [this, console] {
                dispatcher_thread_ = pthread_self();
                dispatcher_id_ = std::this_thread::get_id();
                dispatcher_known_ = true;
                dispatch_result_ = console ? run_service_in_console(probe_table, nullptr)
                                           : start_service_ctrl_dispatcher(probe_table);
                dispatcher_done_ = true;
            },
            0);
    }

    // Waits (bounded) until the endpoint reports `state`.
    bool wait_state(DWORD state) {
        const std::uint64_t deadline = monotonic_ms() + 20000;
        SERVICE_STATUS s;
        while (monotonic_ms() < deadline) {
            if (query_endpoint(NAME, &s) == ERROR_SUCCESS && s.dwCurrentState == state &&
                (state != SERVICE_START_PENDING || service_.registered)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    bool wait_done() {
        const std::uint64_t deadline = monotonic_ms() + 20000;
        while (!dispatcher_done_ && monotonic_ms() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return dispatcher_done_;
    }

    TempDir dir_;
    ScopedEnv runtime_{RUNTIME_DIR_ENV, dir_.str("run")};
    ScopedEnv marker_{SERVICE_MARKER_ENV, std::string(NAME)};
    ScopedEnv gate_{TEST_GATE_ENV, std::nullopt};
    ScopedEnv notify_{"NOTIFY_SOCKET", std::nullopt};
    ProbeService service_;
    Thread dispatcher_;
    pthread_t dispatcher_thread_{};
    std::thread::id dispatcher_id_;
    std::atomic<bool> dispatcher_known_{false};
    std::atomic<DWORD> dispatch_result_{0xFFFFFFFF};
    std::atomic<bool> dispatcher_done_{false};
};

TEST_F(ScmTest, DispatcherFailsWithoutTheMarkerOfItsService) {
    for (std::optional<std::string> marker :
         {std::optional<std::string>(), std::optional<std::string>("Other")}) {
        ScopedEnv env(SERVICE_MARKER_ENV, marker);
        EXPECT_EQ(start_service_ctrl_dispatcher(probe_table),
                  ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    }
    EXPECT_FALSE(fs::exists(dir_.str("run"))) << "nothing is made before the marker is seen";
    EXPECT_EQ(register_service_ctrl_handler(NAME, probe_handler), nullptr);
    SERVICE_STATUS s;
    EXPECT_FALSE(set_service_status(nullptr, &s));
}

TEST_F(ScmTest, NoEndpointMeansStopped) {
    SERVICE_STATUS s;
    ASSERT_EQ(query_endpoint(NAME, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(control_endpoint(NAME, SERVICE_CONTROL_STOP, &s), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(query_endpoint("../etc", &s), ERROR_INVALID_PARAMETER);
}

TEST_F(ScmTest, ControlsFollowTheStateAndRunOnTheDispatcherThread) {
    start_dispatcher();
    ASSERT_TRUE(wait_state(SERVICE_START_PENDING));
    SERVICE_STATUS s;
    // Starting: nothing is accepted, not even an interrogation.
    for (DWORD c : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_INTERROGATE}) {
        EXPECT_EQ(control_endpoint(NAME, c, &s), ERROR_SERVICE_CANNOT_ACCEPT_CTRL) << c;
        EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);
    }
    service_.release_running.set();
    ASSERT_TRUE(wait_state(SERVICE_RUNNING));

    struct Step {
        DWORD control;
        DWORD result;
        DWORD state_after;
    } steps[] = {
        {SERVICE_CONTROL_PAUSE, ERROR_SUCCESS, SERVICE_PAUSED},
        {SERVICE_CONTROL_CONTINUE, ERROR_SUCCESS, SERVICE_RUNNING},
        {SERVICE_CONTROL_INTERROGATE, ERROR_SUCCESS, SERVICE_RUNNING},
        {99, ERROR_INVALID_SERVICE_CONTROL, SERVICE_RUNNING},
        {0, ERROR_INVALID_SERVICE_CONTROL, SERVICE_RUNNING},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(control_endpoint(NAME, step.control, &s), step.result) << step.control;
        EXPECT_EQ(s.dwCurrentState, step.state_after) << step.control;
    }
    // A service that accepts only STOP refuses PAUSE and CONTINUE.
    service_.accepted = SERVICE_ACCEPT_STOP;
    ASSERT_EQ(control_endpoint(NAME, SERVICE_CONTROL_INTERROGATE, &s), ERROR_SUCCESS);
    report(SERVICE_RUNNING);
    EXPECT_EQ(control_endpoint(NAME, SERVICE_CONTROL_PAUSE, &s), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(control_endpoint(NAME, SERVICE_CONTROL_CONTINUE, &s), ERROR_INVALID_SERVICE_CONTROL);

    EXPECT_EQ(control_endpoint(NAME, SERVICE_CONTROL_STOP, &s), ERROR_SUCCESS);
    EXPECT_TRUE(s.dwCurrentState == SERVICE_STOP_PENDING || s.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(dispatch_result_.load(), ERROR_SUCCESS);

    std::lock_guard<std::mutex> lock(service_.mutex);
    EXPECT_EQ(service_.controls,
              (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                                  SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_INTERROGATE,
                                  SERVICE_CONTROL_STOP}));
    for (auto id : service_.handler_threads) {
        EXPECT_EQ(id, dispatcher_id_);
    }
    // After the dispatcher: no endpoint, the handle is stale.
    EXPECT_FALSE(fs::exists(dir_.str("run/probe.ctl")));
    ASSERT_EQ(query_endpoint(NAME, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_FALSE(set_service_status(service_.handle.load(), &s));
}

TEST_F(ScmTest, EndpointIsOwnerOnlyAndASecondInstanceIsRefused) {
    start_dispatcher();
    ASSERT_TRUE(wait_state(SERVICE_START_PENDING));
    struct stat st {};
    ASSERT_EQ(::stat(dir_.str("run/probe.ctl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream lock(dir_.str("run/probe.lock"));
    long pid = 0;
    lock >> pid;
    EXPECT_EQ(pid, static_cast<long>(::getpid()));

    // Another dispatcher of the same service (here: in this process, through its
    // own lock descriptor) does not take the endpoint over.
    EXPECT_EQ(start_service_ctrl_dispatcher(probe_table), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(run_service_in_console(probe_table, nullptr), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_TRUE(wait_state(SERVICE_START_PENDING));
}

TEST_F(ScmTest, StaleEndpointOfAKilledProcessIsReplaced) {
    // A socket file nobody listens on, as a killed service leaves it.
    fs::create_directories(dir_.str("run"));
    ::chmod(dir_.str("run").c_str(), 0755);
    {
        UniqueFd s(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, dir_.str("run/probe.ctl").c_str());
        ASSERT_EQ(::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(s.get(), 1), 0);
    }
    SERVICE_STATUS s;
    ASSERT_EQ(query_endpoint(NAME, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);

    start_dispatcher();
    ASSERT_TRUE(wait_state(SERVICE_START_PENDING));
    service_.release_running.set();
    EXPECT_TRUE(wait_state(SERVICE_RUNNING));
}

TEST_F(ScmTest, UnsafeRuntimeDirectoryIsRefused) {
    fs::create_directories(dir_.str("run"));
    ASSERT_EQ(::chmod(dir_.str("run").c_str(), 0777), 0);
    EXPECT_EQ(start_service_ctrl_dispatcher(probe_table), ERROR_ACCESS_DENIED);
    // Sticky or not: others could still place files (a socket of their own
    // at a name the service has not taken yet).
    ASSERT_EQ(::chmod(dir_.str("run").c_str(), 01777), 0);
    EXPECT_EQ(start_service_ctrl_dispatcher(probe_table), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::chmod(dir_.str("run").c_str(), 0755), 0);
    start_dispatcher();
    EXPECT_TRUE(wait_state(SERVICE_START_PENDING));
}

TEST_F(ScmTest, TerminationSignalIsAStopHeldUntilAccepted) {
    start_dispatcher();
    ASSERT_TRUE(wait_state(SERVICE_START_PENDING));
    ASSERT_TRUE(dispatcher_known_);
    ASSERT_EQ(pthread_kill(dispatcher_thread_, SIGTERM), 0);
    // Not accepted while starting: the service goes on starting.
    SERVICE_STATUS s;
    ASSERT_EQ(query_endpoint(NAME, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);
    service_.release_running.set();
    ASSERT_TRUE(wait_done());
    std::lock_guard<std::mutex> lock(service_.mutex);
    EXPECT_EQ(service_.controls, std::vector<DWORD>{SERVICE_CONTROL_STOP});
}

// A service that holds its instance and endpoint but never answers (every
// descriptor taken by sessions) is still stopped by a stop request: after the
// exchange times out it gets SIGTERM, the signal it takes as a STOP control.
TEST_F(ScmTest, StopReachesAServiceWhoseEndpointNeverAnswers) {
    fs::create_directories(dir_.str("run"));
    ASSERT_EQ(::chmod(dir_.str("run").c_str(), 0755), 0);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        UniqueFd lock, listener;
        const bool held =
            detail::take_instance_lock(detail::lock_path(NAME), lock) == ERROR_SUCCESS &&
            detail::bind_endpoint(detail::endpoint_path(NAME), listener) == ERROR_SUCCESS;
        const char byte = held ? 'y' : 'n';
        if (::write(ready[1], &byte, 1) != 1 || !held) {
            ::_exit(1);
        }
        for (;;) {
            ::pause();  // connections wait in the backlog, never accepted
        }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(byte, 'y');

    SERVICE_STATUS s;
    EXPECT_EQ(control_endpoint(NAME, SERVICE_CONTROL_STOP, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOP_PENDING);
    int wstatus = 0;
    const bool ended =
        test::wait_until([&] { return ::waitpid(child, &wstatus, WNOHANG) == child; });
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &wstatus, 0);
    }
    EXPECT_TRUE(ended && WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGTERM) << wstatus;
}

TEST_F(ScmTest, InjectedStatusFailureAndStateRange) {
    start_dispatcher();
    ASSERT_TRUE(wait_state(SERVICE_START_PENDING));
    SERVICE_STATUS s;
    s.dwCurrentState = 8;
    EXPECT_FALSE(set_service_status(service_.handle.load(), &s));
    s.dwCurrentState = SERVICE_PAUSED;
    inject_status_failure(SERVICE_PAUSED, 1);
    EXPECT_FALSE(set_service_status(service_.handle.load(), &s));
    ASSERT_EQ(query_endpoint(NAME, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_START_PENDING);
    inject_status_failure(0, 0);
}

TEST_F(ScmTest, SystemdIsToldReadyStoppingAndTheState) {
    const std::string address = dir_.str("notify");
    UniqueFd sink(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, address.c_str());
    ASSERT_EQ(::bind(sink.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ScopedEnv notify("NOTIFY_SOCKET", address);

    start_dispatcher();
    service_.release_running.set();
    ASSERT_TRUE(wait_state(SERVICE_RUNNING));
    SERVICE_STATUS s;
    ASSERT_EQ(control_endpoint(NAME, SERVICE_CONTROL_STOP, &s), ERROR_SUCCESS);
    ASSERT_TRUE(wait_done());

    std::vector<std::string> messages;
    char buffer[512];
    ssize_t n;
    while ((n = ::recv(sink.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(messages,
              (std::vector<std::string>{"STATUS=START_PENDING\n", "READY=1\nSTATUS=RUNNING\n",
                                        "STOPPING=1\nSTATUS=STOP_PENDING\n", "STATUS=STOPPED\n"}));
}

// --- controller side with the store ------------------------------------------------

class ScmControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { reg::reset_store(); }
    void TearDown() override { reg::reset_store(); }
    TempDir dir_;
    ScopedEnv store_{"VAROLAN_REGISTRY", dir_.str("registry.db")};
    ScopedEnv runtime_{RUNTIME_DIR_ENV, dir_.str("run")};
};

TEST_F(ScmControllerTest, RegistrationOpenQueryControlAndRemoval) {
    ScHandle manager;
    ASSERT_EQ(open_sc_manager(SC_MANAGER_ALL_ACCESS, manager), ERROR_SUCCESS);
    ScHandle service;
    EXPECT_EQ(open_service(manager, NAME, SERVICE_ALL_ACCESS, service),
              ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(open_service(service, NAME, SERVICE_ALL_ACCESS, service), ERROR_INVALID_HANDLE);

    ASSERT_EQ(create_service(manager, NAME, "/nonexistent/probe"), ERROR_SUCCESS);
    ASSERT_EQ(open_service(manager, "probe", SERVICE_ALL_ACCESS, service), ERROR_SUCCESS);
    EXPECT_EQ(service.image_path(), "/nonexistent/probe");
    {
        reg::Key key;
        ASSERT_EQ(reg::open_key(reg::hklm(), "SYSTEM\\CurrentControlSet\\Services\\Probe",
                                reg::KEY_READ, key),
                  ERROR_SUCCESS);
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        ASSERT_EQ(reg::query_value(key, VALUE_TYPE, &type, reinterpret_cast<std::uint8_t*>(&value),
                                   &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, reg::REG_DWORD);
        EXPECT_EQ(value, SERVICE_WIN32_OWN_PROCESS);
    }

    SERVICE_STATUS s;
    ASSERT_EQ(query_service_status(service, &s), ERROR_SUCCESS);
    EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(control_service(service, SERVICE_CONTROL_STOP, &s), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(control_service(service, 7, &s), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(start_service(service), ERROR_FILE_NOT_FOUND);

    // Access rights of the handle are checked.
    ScHandle query_only;
    ASSERT_EQ(open_service(manager, NAME, SERVICE_QUERY_STATUS, query_only), ERROR_SUCCESS);
    EXPECT_EQ(control_service(query_only, SERVICE_CONTROL_STOP, &s), ERROR_ACCESS_DENIED);
    EXPECT_EQ(start_service(query_only), ERROR_ACCESS_DENIED);
    EXPECT_EQ(query_service_status(query_only, &s), ERROR_SUCCESS);
    EXPECT_EQ(close_service_handle(query_only), ERROR_SUCCESS);
    EXPECT_EQ(close_service_handle(query_only), ERROR_INVALID_HANDLE);
    EXPECT_EQ(query_service_status(query_only, &s), ERROR_INVALID_HANDLE);

    ASSERT_EQ(delete_service(manager, NAME), ERROR_SUCCESS);
    EXPECT_EQ(delete_service(manager, NAME), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(open_service(manager, NAME, SERVICE_ALL_ACCESS, service),
              ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ScmControllerTest, StartOfAProgramThatNeverAnswersFails) {
    ScHandle manager;
    ASSERT_EQ(open_sc_manager(SC_MANAGER_ALL_ACCESS, manager), ERROR_SUCCESS);
    ASSERT_EQ(create_service(manager, NAME, "/bin/true"), ERROR_SUCCESS);
    ScHandle service;
    ASSERT_EQ(open_service(manager, NAME, SERVICE_ALL_ACCESS, service), ERROR_SUCCESS);
    const int fds_before = test::count_open_fds();
    EXPECT_EQ(start_service(service), ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(test::count_open_fds(), fds_before);
}

}  // namespace
}  // namespace varolan::scm
