// Service control: the service side (dispatcher, control handler, status
// reports) and the controller side (open manager and service, query, control,
// start) of the service control manager the gateway was designed against.
//
// A service is registered in the store under
// SYSTEM\CurrentControlSet\Services\<name> (ImagePath, Type). A running
// service hosts its own control endpoint: a Unix socket in the runtime
// directory ($VAROLAN_RUNTIME_DIR, default /run/varolan), owner-only, next to a
// lock file that keeps a second instance of the same service from starting
// (it holds the process id of the instance that runs).
// The process knows it was started as a service by the environment marker
// VAROLAN_SERVICE=<name>, which the controller's start and the systemd unit set.
// Every call returns an explicit status; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/winerror.h"

namespace varolan::scm {

// --- constants (the values of the interface the design names) -------------------

inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;

// dwCurrentState
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;

// Controls
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;

// dwControlsAccepted bits
inline constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;

// Access rights of manager and service handles.
inline constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
inline constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
inline constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
inline constexpr DWORD SERVICE_START = 0x0010;
inline constexpr DWORD SERVICE_STOP = 0x0020;
inline constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
inline constexpr DWORD SERVICE_INTERROGATE = 0x0080;
inline constexpr DWORD DELETE_ACCESS = 0x10000;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Registration in the store.
inline constexpr const char* SERVICES_KEY = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr const char* VALUE_IMAGE_PATH = "ImagePath";
inline constexpr const char* VALUE_TYPE = "Type";

// Environment: the service marker, the runtime directory and its default.
inline constexpr const char* SERVICE_MARKER_ENV = "VAROLAN_SERVICE";
inline constexpr const char* RUNTIME_DIR_ENV = "VAROLAN_RUNTIME_DIR";
inline constexpr const char* DEFAULT_RUNTIME_DIR = "/run/varolan";

// The status record, fields in the order the design gives them.
struct SERVICE_STATUS {
    DWORD dwServiceType = 0;
    DWORD dwCurrentState = 0;
    DWORD dwControlsAccepted = 0;
    DWORD dwWin32ExitCode = 0;
    DWORD dwServiceSpecificExitCode = 0;
    DWORD dwCheckPoint = 0;
    DWORD dwWaitHint = 0;
};

// "STOPPED", "START_PENDING", ... ("UNKNOWN" for other values).
const char* state_name(DWORD state);

// --- service side ------------------------------------------------------------------

using ServiceMainFunction = void (*)(DWORD argc, char** argv);
using HandlerFunction = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRY {
    const char* lpServiceName;
    ServiceMainFunction lpServiceProc;
};

// Opaque status handle; null means "not registered".
struct ServiceStatusContext;
using SERVICE_STATUS_HANDLE = ServiceStatusContext*;

// StartServiceCtrlDispatcher: runs the first service of `table` (a table ended
// by an all-null entry). Fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// when the process was not started as that service (marker absent or naming
// another service), ERROR_SERVICE_ALREADY_RUNNING when another process hosts the
// service, ERROR_ACCESS_DENIED when the runtime directory is unsafe or cannot be
// made. Otherwise publishes the control endpoint, runs the service main on a
// thread of its own and serves queries and controls on the calling thread
// (the control handler runs there) until the service main has returned;
// SIGTERM and SIGINT arrive as SERVICE_CONTROL_STOP (held back while the service
// does not accept STOP, delivered as soon as it does). Returns ERROR_SUCCESS then.
DWORD start_service_ctrl_dispatcher(const SERVICE_TABLE_ENTRY* table);

// The same without the marker: the caller's terminal is the service manager.
// Every status reported is also handed to `observer` (may be null), on the
// reporting thread. Used by "tarnix console".
using StatusObserver = void (*)(const SERVICE_STATUS& status);
DWORD run_service_in_console(const SERVICE_TABLE_ENTRY* table, StatusObserver observer);

// RegisterServiceCtrlHandler: valid only while the dispatcher of a service of that
// name (case-insensitive) runs in this process; null otherwise.
SERVICE_STATUS_HANDLE register_service_ctrl_handler(const char* service_name,
                                                    HandlerFunction handler);

// SetServiceStatus: publishes the record to the endpoint (and to systemd when
// NOTIFY_SOCKET is set: READY=1 on the first RUNNING, STOPPING=1 on
// STOP_PENDING, STATUS=<state> always). False for a null or stale handle, a
// state outside 1..7, or an injected failure.
bool set_service_status(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// --- controller side -----------------------------------------------------------------

// Move-only handle of the manager or of one service; closing is RAII.
class ScHandle {
  public:
    ScHandle() = default;
    ~ScHandle() = default;
    ScHandle(ScHandle&& other) noexcept;
    ScHandle& operator=(ScHandle&& other) noexcept;
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    bool is_open() const { return open_; }
    bool is_manager() const { return open_ && name_.empty(); }
    DWORD access() const { return access_; }
    // Service handles: the registered name and ImagePath.
    const std::string& name() const { return name_; }
    const std::string& image_path() const { return image_path_; }
    void close();

  private:
    friend DWORD open_sc_manager(DWORD, ScHandle&);
    friend DWORD open_service(const ScHandle&, std::string_view, DWORD, ScHandle&);
    bool open_ = false;
    DWORD access_ = 0;
    std::string name_;
    std::string image_path_;
};

// OpenSCManager (local machine, active database): fails only when the store
// cannot be used.
DWORD open_sc_manager(DWORD desired_access, ScHandle& manager);
// OpenService: ERROR_SERVICE_DOES_NOT_EXIST when `name` is not registered (no key
// or no ImagePath); ERROR_INVALID_HANDLE when `manager` is not an open manager.
DWORD open_service(const ScHandle& manager, std::string_view name, DWORD desired_access,
                   ScHandle& service);
// QueryServiceStatus: asks the endpoint; no endpoint answering = SERVICE_STOPPED.
DWORD query_service_status(const ScHandle& service, SERVICE_STATUS* status);
// ControlService: STOP, PAUSE, CONTINUE or INTERROGATE. ERROR_SERVICE_NOT_ACTIVE
// when the service does not run; ERROR_SERVICE_CANNOT_ACCEPT_CTRL while it is
// starting or stopping; ERROR_INVALID_SERVICE_CONTROL when its controls-accepted
// bits do not allow the control (or the code is unknown). `status` receives the
// status after the handler ran (or the current one on refusal).
DWORD control_service(const ScHandle& service, DWORD control, SERVICE_STATUS* status);
// StartService: ERROR_SERVICE_ALREADY_RUNNING when the service runs; otherwise
// spawns ImagePath detached (own session, stdio on /dev/null, the marker set)
// and waits, at most `timeout_ms`, until its dispatcher answers.
// ERROR_SERVICE_REQUEST_TIMEOUT when it does not in time, ERROR_FILE_NOT_FOUND
// when ImagePath cannot be run, ERROR_ACCESS_DENIED when it is owned by an
// account other than this one or root or others can write it, the
// dispatcher's own failure otherwise.
inline constexpr std::uint32_t START_TIMEOUT_MS = 30000;
DWORD start_service(const ScHandle& service, std::uint32_t timeout_ms = START_TIMEOUT_MS);
// CloseServiceHandle.
DWORD close_service_handle(ScHandle& handle);

// Registration: writes SYSTEM\CurrentControlSet\Services\<name> with ImagePath
// (REG_SZ) and Type SERVICE_WIN32_OWN_PROCESS, replacing an earlier ImagePath.
DWORD create_service(const ScHandle& manager, std::string_view name, std::string_view image_path);
// Deletes the registration; ERROR_SERVICE_DOES_NOT_EXIST when there is none.
DWORD delete_service(const ScHandle& manager, std::string_view name);

// --- endpoint level (no store needed) ---------------------------------------------

// Runtime directory in use: $VAROLAN_RUNTIME_DIR or the default.
std::string runtime_dir();
// Absolute path of this process's executable (for registering it); empty when
// it cannot be found.
std::string current_image_path();
// Query and control of the service of that name through its endpoint alone.
DWORD query_endpoint(std::string_view name, SERVICE_STATUS* status);
DWORD control_endpoint(std::string_view name, DWORD control, SERVICE_STATUS* status);

// The service's own listing (for the gateway: its live sessions), asked for
// through the endpoint by the same accounts that may query it. The service
// names its source before it starts its dispatcher; the source runs on the
// dispatcher's thread and must not wait for anything but short locks.
using ListingSource = std::string (*)();
void set_listing_source(ListingSource source);
// The status and the listing of the running service: ERROR_SUCCESS with
// both; ERROR_SERVICE_NOT_ACTIVE when no service answers; ERROR_ACCESS_DENIED,
// ERROR_SERVICE_REQUEST_TIMEOUT or ERROR_GEN_FAILURE otherwise (a listing
// that does not come whole included).
DWORD query_listing(std::string_view name, SERVICE_STATUS* status, std::string* listing);

// --- test hooks --------------------------------------------------------------------

// The next `count` status reports of `state` fail (0 = clear).
void inject_status_failure(DWORD state, unsigned count);
// When the environment variable VAROLAN_SCM_TEST_GATE names a directory, a
// report of state S waits (at most 60 s) while the file "hold-<S>" (S as
// state_name gives it, e.g. hold-RUNNING) exists there before it is published,
// so a test can look at a service held in START_PENDING or STOP_PENDING.
inline constexpr const char* TEST_GATE_ENV = "VAROLAN_SCM_TEST_GATE";

}  // namespace varolan::scm
