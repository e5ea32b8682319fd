// Query, stop and start of the service: the calls in order, the handles all
// closed (service first, then manager), and the results.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "tests/support/process.h"
#include "utility/service_control/service_control.h"

namespace varolan::util {
namespace {

// A scripted service control manager that records every call.
class FakeManager final : public ServiceManagerApi {
  public:
    FakeManager() { previous_ = set_service_manager_api(this); }
    ~FakeManager() override { set_service_manager_api(previous_); }

    Handle OpenSCManager(DWORD access) override {
        calls.push_back("OpenSCManager " + std::to_string(access));
        return manager_opens ? open(1) : 0;
    }
    Handle OpenService(Handle manager, std::string_view name, DWORD access) override {
        calls.push_back("OpenService " + std::to_string(manager) + " " + std::string(name) + " " +
                        std::to_string(access));
        return installed ? open(2) : 0;
    }
    bool QueryServiceStatus(Handle service, scm::SERVICE_STATUS* status) override {
        calls.push_back("QueryServiceStatus " + std::to_string(service));
        status->dwCurrentState = state;
        status->dwControlsAccepted = 0x3;
        return call_succeeds;
    }
    bool ControlService(Handle service, DWORD control, scm::SERVICE_STATUS* status) override {
        calls.push_back("ControlService " + std::to_string(service) + " " +
                        std::to_string(control));
        status->dwCurrentState = scm::SERVICE_STOP_PENDING;
        return call_succeeds;
    }
    bool StartService(Handle service) override {
        calls.push_back("StartService " + std::to_string(service));
        return call_succeeds;
    }
    bool CloseServiceHandle(Handle handle) override {
        calls.push_back("CloseServiceHandle " + std::to_string(handle));
        return open_handles.erase(handle) == 1;
    }

    bool manager_opens = true;
    bool installed = true;
    bool call_succeeds = true;
    DWORD state = scm::SERVICE_RUNNING;
    std::vector<std::string> calls;
    std::set<Handle> open_handles;

  private:
    Handle open(Handle h) {
        open_handles.insert(h);
        return h;
    }
    ServiceManagerApi* previous_ = nullptr;
};

const std::string kOpens[] = {"OpenSCManager 983103", "OpenService 1 Varolan 983551"};

TEST(ServiceControl, QueryReportsTheStateOrFails) {
    const struct {
        const char* what;
        bool manager_opens;
        bool installed;
        bool query_ok;
        DWORD state;
        bool result;
        std::vector<std::string> calls;
    } table[] = {
        {"running",
         true,
         true,
         true,
         scm::SERVICE_RUNNING,
         true,
         {kOpens[0], kOpens[1], "QueryServiceStatus 2", "CloseServiceHandle 2",
          "CloseServiceHandle 1"}},
        {"stop pending",
         true,
         true,
         true,
         scm::SERVICE_STOP_PENDING,
         true,
         {kOpens[0], kOpens[1], "QueryServiceStatus 2", "CloseServiceHandle 2",
          "CloseServiceHandle 1"}},
        {"paused",
         true,
         true,
         true,
         scm::SERVICE_PAUSED,
         true,
         {kOpens[0], kOpens[1], "QueryServiceStatus 2", "CloseServiceHandle 2",
          "CloseServiceHandle 1"}},
        {"not installed",
         true,
         false,
         true,
         0,
         false,
         {kOpens[0], kOpens[1], "CloseServiceHandle 1"}},
        {"no manager", false, true, true, 0, false, {kOpens[0]}},
        {"query fails",
         true,
         true,
         false,
         0,
         false,
         {kOpens[0], kOpens[1], "QueryServiceStatus 2", "CloseServiceHandle 2",
          "CloseServiceHandle 1"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        FakeManager fake;
        fake.manager_opens = row.manager_opens;
        fake.installed = row.installed;
        fake.call_succeeds = row.query_ok;
        fake.state = row.state;
        DWORD state = 99;
        DWORD accepted = 0;
        EXPECT_EQ(query_service(state, &accepted), row.result);
        if (row.result) {
            EXPECT_EQ(state, row.state);
            EXPECT_EQ(accepted, 0x3u);
        } else {
            EXPECT_EQ(state, 99u);
        }
        EXPECT_EQ(fake.calls, row.calls);
        EXPECT_TRUE(fake.open_handles.empty());
    }
}

TEST(ServiceControl, StopAndStartCloseWhatTheyOpen) {
    for (const bool ok : {true, false}) {
        FakeManager fake;
        fake.call_succeeds = ok;
        EXPECT_EQ(stop_service(), ok);
        EXPECT_EQ(start_service(), ok);
        EXPECT_EQ(fake.calls,
                  (std::vector<std::string>{kOpens[0], kOpens[1], "ControlService 2 1",
                                            "CloseServiceHandle 2", "CloseServiceHandle 1",
                                            kOpens[0], kOpens[1], "StartService 2",
                                            "CloseServiceHandle 2", "CloseServiceHandle 1"}));
        EXPECT_TRUE(fake.open_handles.empty());
    }
    FakeManager missing;
    missing.installed = false;
    EXPECT_FALSE(stop_service());
    EXPECT_FALSE(start_service());
    EXPECT_EQ(std::count(missing.calls.begin(), missing.calls.end(), "StartService 2"), 0);
    EXPECT_TRUE(missing.open_handles.empty());
}

// Through the real service control layer, against a private store and runtime
// directory: an unregistered service cannot be queried, stopped or started; a
// registered one that does not run is stopped.
TEST(ServiceControl, RealLayerWithoutAndWithRegistration) {
    const test::TempDir dir;
    const test::ScopedEnv registry("VAROLAN_REGISTRY", dir.str("registry.db"));
    const test::ScopedEnv runtime(scm::RUNTIME_DIR_ENV, dir.str("run"));
    reg::reset_store();

    DWORD state = 0;
    EXPECT_FALSE(query_service(state));
    EXPECT_FALSE(stop_service());
    EXPECT_FALSE(start_service());

    {
        scm::ScHandle manager;
        ASSERT_EQ(scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager), ERROR_SUCCESS);
        ASSERT_EQ(scm::create_service(manager, "Varolan", "/nonexistent/tarnix"), ERROR_SUCCESS);
    }
    ASSERT_TRUE(query_service(state));
    EXPECT_EQ(state, scm::SERVICE_STOPPED);
    EXPECT_FALSE(stop_service());
    reg::reset_store();
}

}  // namespace
}  // namespace varolan::util
