#include "utility/service_control/service_control.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "utility/strings/strings.h"

namespace varolan::util {

namespace {

// Handles of the platform layer kept under small numbers.
class RealServiceManager final : public ServiceManagerApi {
  public:
    Handle OpenSCManager(DWORD desired_access) override {
        scm::ScHandle handle;
        if (scm::open_sc_manager(desired_access, handle) != ERROR_SUCCESS) {
            return 0;
        }
        return keep(std::move(handle));
    }

    Handle OpenService(Handle manager, std::string_view name, DWORD desired_access) override {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(manager);
        if (it == handles_.end()) {
            return 0;
        }
        scm::ScHandle service;
        if (scm::open_service(it->second, name, desired_access, service) != ERROR_SUCCESS) {
            return 0;
        }
        return keep_locked(std::move(service));
    }

    bool QueryServiceStatus(Handle service, scm::SERVICE_STATUS* status) override {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(service);
        return it != handles_.end() &&
               scm::query_service_status(it->second, status) == ERROR_SUCCESS;
    }

    bool ControlService(Handle service, DWORD control, scm::SERVICE_STATUS* status) override {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(service);
        return it != handles_.end() &&
               scm::control_service(it->second, control, status) == ERROR_SUCCESS;
    }

    bool StartService(Handle service) override {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(service);
        return it != handles_.end() && scm::start_service(it->second) == ERROR_SUCCESS;
    }

    bool CloseServiceHandle(Handle handle) override {
        std::lock_guard lock(mutex_);
        const auto it = handles_.find(handle);
        if (it == handles_.end()) {
            return false;
        }
        const DWORD rc = scm::close_service_handle(it->second);
        handles_.erase(it);
        return rc == ERROR_SUCCESS;
    }

  private:
    Handle keep(scm::ScHandle handle) {
        std::lock_guard lock(mutex_);
        return keep_locked(std::move(handle));
    }
    Handle keep_locked(scm::ScHandle handle) {
        Handle id = ++last_;
        if (id == 0) {
            id = ++last_;
        }
        handles_.emplace(id, std::move(handle));
        return id;
    }

    std::mutex mutex_;
    std::map<Handle, scm::ScHandle> handles_;
    Handle last_ = 0;
};

RealServiceManager& real_manager() {
    static RealServiceManager manager;
    return manager;
}

std::atomic<ServiceManagerApi*> g_api{nullptr};

// The two opens every operation starts with; `service` is 0 when either failed.
struct OpenedService {
    ServiceManagerApi& api;
    ServiceManagerApi::Handle manager = 0;
    ServiceManagerApi::Handle service = 0;

    explicit OpenedService(ServiceManagerApi& a) : api(a) {
        manager = api.OpenSCManager(scm::SC_MANAGER_ALL_ACCESS);
        if (manager != 0) {
            service =
                api.OpenService(manager, load_string(IDS_SERVICE_NAME), scm::SERVICE_ALL_ACCESS);
        }
    }
    // The service handle first, then the manager's.
    ~OpenedService() {
        if (service != 0) {
            api.CloseServiceHandle(service);
        }
        if (manager != 0) {
            api.CloseServiceHandle(manager);
        }
    }
    OpenedService(const OpenedService&) = delete;
    OpenedService& operator=(const OpenedService&) = delete;
};

}  // namespace

ServiceManagerApi& service_manager_api() {
    ServiceManagerApi* api = g_api.load(std::memory_order_acquire);
    return api != nullptr ? *api : real_manager();
}

ServiceManagerApi* set_service_manager_api(ServiceManagerApi* api) {
    return g_api.exchange(api, std::memory_order_acq_rel);
}

bool query_service(DWORD& current_state, DWORD* controls_accepted) {
    OpenedService opened(service_manager_api());
    if (opened.service == 0) {
        return false;
    }
    scm::SERVICE_STATUS status;
    if (!opened.api.QueryServiceStatus(opened.service, &status)) {
        return false;
    }
    current_state = status.dwCurrentState;
    if (controls_accepted != nullptr) {
        *controls_accepted = status.dwControlsAccepted;
    }
    return true;
}

bool stop_service() {
    OpenedService opened(service_manager_api());
    scm::SERVICE_STATUS status;
    return opened.service != 0 &&
           opened.api.ControlService(opened.service, scm::SERVICE_CONTROL_STOP, &status);
}

bool start_service() {
    OpenedService opened(service_manager_api());
    return opened.service != 0 && opened.api.StartService(opened.service);
}

}  // namespace varolan::util
