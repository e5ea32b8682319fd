// Query, stop and start of the gateway service under its registered name.
// Each call opens and closes its own handles; none waits for a state change and
// none reports an error itself.
#pragma once

#include <string_view>

#include "platform/core/winerror.h"
#include "platform/scm/scm.h"

namespace varolan::util {

// True with the service's current state (scm::SERVICE_STOPPED ... SERVICE_PAUSED)
// and the controls it accepts when the query succeeded.
bool query_service(DWORD& current_state, DWORD* controls_accepted = nullptr);
// Asks the service to stop (SERVICE_CONTROL_STOP).
bool stop_service();
// Starts the service.
bool start_service();

// The service control manager calls the three operations make, with handles as
// small numbers (0 = no handle). The real one delegates to the platform's
// service control layer; tests install their own.
class ServiceManagerApi {
  public:
    using Handle = unsigned;

    virtual ~ServiceManagerApi() = default;
    virtual Handle OpenSCManager(DWORD desired_access) = 0;
    virtual Handle OpenService(Handle manager, std::string_view name, DWORD desired_access) = 0;
    virtual bool QueryServiceStatus(Handle service, scm::SERVICE_STATUS* status) = 0;
    virtual bool ControlService(Handle service, DWORD control, scm::SERVICE_STATUS* status) = 0;
    virtual bool StartService(Handle service) = 0;
    virtual bool CloseServiceHandle(Handle handle) = 0;
};

// The interface in force: the real one unless a test installed another.
ServiceManagerApi& service_manager_api();
// Installs `api` (nullptr restores the real one); returns the previous one.
ServiceManagerApi* set_service_manager_api(ServiceManagerApi* api);

}  // namespace varolan::util
