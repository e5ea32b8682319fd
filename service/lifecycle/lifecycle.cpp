#include "service/lifecycle/lifecycle.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/core/limits.h"
#include "platform/core/log.h"
#include "platform/core/thread.h"
#include "platform/registry/registry.h"
#include "service/session/connection_log.h"
#include "service/session/globals.h"
#include "service/session/policy.h"
#include "service/session/ssh_session.h"

namespace varolan::service {

namespace {

using PipeEntry = void (*)();
using PortEntry = void (*)(const std::uint32_t*);

// The status record last reported and the handle it is reported through. The
// dispatcher's thread (control_handler) and the service main thread both
// report, so the record is guarded.
std::mutex status_mutex;
scm::SERVICE_STATUS service_status;
scm::SERVICE_STATUS_HANDLE status_handle = nullptr;

// The stop event: manual reset, created by service_main, set by STOP and by
// request_stop from any thread, closed by service_main. Creation, setting and
// closing are guarded so a late request never writes to a closed descriptor.
std::mutex stop_mutex;
Event stop_event;
std::atomic<bool> stop_requested{false};
std::atomic<const char*> stop_text{""};

// The "Debug" hold: 1 while start_sessions holds; any CONTINUE clears it.
std::atomic<int> debug_hold{0};
std::atomic<bool> debug_holding{false};

void builtin_pipe_session() {}

void builtin_port_session(const std::uint32_t* port_index) {
    const std::uint32_t index = *port_index;
    (void)index;
    port_handshake_event().set();
}

std::atomic<PipeEntry> pipe_entry{builtin_pipe_session};
std::atomic<PortEntry> port_entry{builtin_port_session};

// Longest "Permitted Destinations" value read (bytes).
constexpr DWORD DESTINATIONS_VALUE_LIMIT = 64 * 1024;

// "Permitted Destinations": each string of the multi-string (or the one string
// of a REG_SZ) is a rule; missing or empty = any destination. A line that is
// no rule is logged and permits nothing, and a value that cannot be read as
// a list permits nothing at all: the administrator meant to restrict.
void read_permitted_destinations() {
    reg::Key key;
    DWORD type = 0;
    DWORD size = 0;
    if (reg::open_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_READ, key) != ERROR_SUCCESS ||
        reg::query_value(key, layout::VALUE_PERMITTED_DESTINATIONS, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
        set_permitted_destinations(false, {});
        return;
    }
    std::vector<char> data(size + 2, '\0');  // terminated whatever was stored
    DWORD got = size;
    if (size > DESTINATIONS_VALUE_LIMIT || (type != reg::REG_MULTI_SZ && type != reg::REG_SZ) ||
        reg::query_value(key, layout::VALUE_PERMITTED_DESTINATIONS, nullptr,
                         reinterpret_cast<std::uint8_t*>(data.data()), &got) != ERROR_SUCCESS) {
        log_error("\"%s\" cannot be read as a list of destinations: none is permitted",
                  layout::VALUE_PERMITTED_DESTINATIONS);
        set_permitted_destinations(true, {});
        return;
    }
    std::vector<DestinationRule> rules;
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < got && data[pos] != '\0'; ++lines) {
        const char* line = data.data() + pos;
        DestinationRule rule;
        if (parse_destination_rule(line, &rule)) {
            rules.push_back(std::move(rule));
        } else {
            log_error("\"%s\": \"%s\" is not host-or-CIDR[:port-or-range]; it permits nothing",
                      layout::VALUE_PERMITTED_DESTINATIONS, line);
        }
        pos += std::strlen(line) + 1;
    }
    if (lines > 0) {
        log_info("permitted destinations: %zu rule(s)", rules.size());
    }
    set_permitted_destinations(lines > 0, std::move(rules));
}

// "Maximum Sessions" (0 or missing: what the process's descriptor and task
// limits allow) and "Maximum Sessions Per User" (0 or missing: 64).
void read_session_limits() {
    SessionLimits limits;
    std::uint32_t value = 0;
    limits.total =
        reg_read_dword(layout::PRODUCT_KEY, layout::VALUE_MAX_SESSIONS, &value) && value != 0
            ? value
            : default_max_sessions(open_file_limit(), task_limit());
    value = 0;
    limits.per_user =
        reg_read_dword(layout::PRODUCT_KEY, layout::VALUE_MAX_SESSIONS_PER_USER, &value) &&
                value != 0
            ? value
            : DEFAULT_MAX_SESSIONS_PER_USER;
    set_session_limits(limits);
    log_info("pipe sessions: at most %u, at most %u per account",
             static_cast<unsigned>(limits.total), static_cast<unsigned>(limits.per_user));
}

void signal_stop_event() {
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_requested.store(true);
    if (stop_event.valid()) {
        stop_event.set();
    }
}

DWORD current_state() {
    std::lock_guard<std::mutex> lock(status_mutex);
    return service_status.dwCurrentState;
}

// The store must be one this account may trust, and it must open and be
// sound: a service on a missing, foreign or damaged store would serve an empty
// configuration without anyone knowing. 0, or the status the service stops with.
DWORD check_store_at_start() {
    const std::string problem = reg::store_trust_problem();
    if (!problem.empty()) {
        log_error("refusing the store: %s", problem.c_str());
        return ERROR_ACCESS_DENIED;
    }
    const LONG status = reg::verify_store();
    if (status != ERROR_SUCCESS) {
        log_error("cannot start: %s", reg::last_store_error().c_str());
        return static_cast<DWORD>(status);
    }
    return 0;
}

// "Number of Ports" bounds the subkey indexes tried; no index past the last
// port key can find one, so the count is cut to the keys there are (a stored
// 0xFFFFFFFF would otherwise keep the start-up thread busy for hours).
std::uint32_t bounded_port_count(std::uint32_t stored) {
    std::uint32_t present = 0;
    if (!reg_count_subkeys(layout::PRODUCT_KEY, &present)) {
        log_error("cannot list the port keys (%s): no port sessions start",
                  reg::last_store_error().c_str());
        return 0;
    }
    if (stored > present) {
        log_warning("\"Number of Ports\" is %u but %u port keys exist: trying %u",
                    static_cast<unsigned>(stored), static_cast<unsigned>(present),
                    static_cast<unsigned>(present));
        return present;
    }
    return stored;
}

}  // namespace

void set_session_entries(void (*pipe)(), void (*port)(const std::uint32_t* port_index)) {
    pipe_entry.store(pipe != nullptr ? pipe : builtin_pipe_session);
    port_entry.store(port != nullptr ? port : builtin_port_session);
}

bool report_status(DWORD state, DWORD exit_code, DWORD check_point, DWORD wait_hint) {
    bool reported;
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        service_status.dwCurrentState = state;
        service_status.dwWin32ExitCode = exit_code;
        service_status.dwCheckPoint = check_point;
        service_status.dwWaitHint = wait_hint;
        service_status.dwControlsAccepted =
            state == scm::SERVICE_START_PENDING
                ? 0
                : scm::SERVICE_ACCEPT_STOP | scm::SERVICE_ACCEPT_PAUSE_CONTINUE;
        reported = scm::set_service_status(status_handle, &service_status);
    }
    if (!reported) {
        request_stop("SetServiceStatus");
    }
    return reported;
}

void request_stop(const char* text) {
    stop_text.store(text != nullptr ? text : "");
    signal_stop_event();
}

void control_handler(DWORD control) {
    switch (control) {
        case scm::SERVICE_CONTROL_STOP:
            log_notice("%s stopping", SERVICE_NAME);
            report_status(scm::SERVICE_STOP_PENDING, 0, 1, STOP_WAIT_HINT);
            signal_stop_event();
            return;
        case scm::SERVICE_CONTROL_PAUSE:
            if (current_state() == scm::SERVICE_RUNNING) {
                gate_hold();
                log_notice("%s paused: every session holds", SERVICE_NAME);
                report_status(scm::SERVICE_PAUSED, 0, 0, 0);
                return;
            }
            break;
        case scm::SERVICE_CONTROL_CONTINUE:
            // CONTINUE is also the way out of the "Debug" hold.
            debug_hold.store(0);
            if (current_state() == scm::SERVICE_PAUSED) {
                gate_release();
                log_notice("%s continued", SERVICE_NAME);
                report_status(scm::SERVICE_RUNNING, 0, 0, 0);
                return;
            }
            break;
        default:
            break;
    }
    report_status(current_state(), 0, 0, 0);
}

void service_main(DWORD /*argc*/, char** /*argv*/) {
    scm::SERVICE_STATUS_HANDLE handle =
        scm::register_service_ctrl_handler(SERVICE_NAME, control_handler);
    if (handle == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        status_handle = handle;
        service_status.dwServiceType = scm::SERVICE_WIN32_OWN_PROCESS;
        service_status.dwServiceSpecificExitCode = 0;
    }
    bool ok = report_status(scm::SERVICE_START_PENDING, 0, 1, START_WAIT_HINT);
    DWORD exit_code = ok ? check_store_at_start() : 0;
    ok = ok && exit_code == 0;
    if (ok) {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop_requested.store(false);
        ok = stop_event.create(true, false);
    }
    ok = ok && report_status(scm::SERVICE_START_PENDING, 0, 2, START_WAIT_HINT);
    if (ok) {
        ok = start_detached(start_sessions, session_stack_size);
        if (ok) {
            note_thread_created();
        }
    }
    ok = ok && report_status(scm::SERVICE_RUNNING, 0, 0, 0);
    if (ok) {
        log_notice("%s started", SERVICE_NAME);
        while (stop_event.wait(INFINITE_WAIT) == WaitResult::failed && !stop_requested.load()) {
            sleep_ms(DEBUG_HOLD_POLL_MS);
        }
    }
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop_event.close();
    }
    log_connections_at_stop();
    const char* why = last_stop_text();
    if (why[0] != '\0') {
        log_error("%s stopped: %s", SERVICE_NAME, why);
    } else {
        log_notice("%s stopped", SERVICE_NAME);
    }
    report_status(scm::SERVICE_STOPPED, exit_code, 0, 0);
}

namespace {

// Starts one session for each managed port among the first port_count of the
// store, one after another: each takes its index before the next starts.
void start_port_sessions(std::uint32_t port_count, Event& handshake) {
    PortEntry entry = port_entry.load();
    for (std::uint32_t i = 0; i < port_count; ++i) {
        char subkey[REG_STRING_SIZE];
        if (!reg_enum_subkey(layout::PRODUCT_KEY, i, subkey)) {
            continue;
        }
        char port_key[2 * REG_STRING_SIZE];
        std::snprintf(port_key, sizeof port_key, "%s\\%s", layout::PRODUCT_KEY, subkey);
        std::uint32_t flags = 0;
        if (!reg_read_dword(port_key, layout::VALUE_DEVICE_FLAGS, &flags) ||
            (flags & layout::DEVICE_NOT_MANAGED) != 0) {
            continue;
        }
        const std::uint32_t* index = &i;
        if (!start_detached([entry, index] { entry(index); }, session_stack_size)) {
            continue;  // no thread, so nobody would set the handshake
        }
        note_thread_created();
        // The new session has taken the index once the event is set.
        handshake.wait(INFINITE_WAIT);
    }
}

}  // namespace

void start_sessions() {
    Event& handshake = port_handshake_event();
    if (!handshake.valid() && !handshake.create(false, false)) {
        return;
    }
    handshake.reset();
    // The pause gate's descriptor is made once, before any session waits on it.
    gate_poll_fd();

    char buffer[REG_STRING_SIZE];
    reg_read_string(layout::PRODUCT_KEY, layout::VALUE_PROMPT, buffer);
    bounded_copy(global_prompt, PROMPT_SIZE, buffer);

    std::uint32_t port_count = 0;
    if (!reg_read_dword(layout::PRODUCT_KEY, layout::VALUE_NUMBER_OF_PORTS, &port_count)) {
        port_count = 0;
    }
    port_count = bounded_port_count(port_count);

    // A stored escape set longer than the 11 characters the buffer holds is cut.
    reg_read_string(layout::PRODUCT_KEY, layout::VALUE_ESCAPE_CHAR, buffer);
    bounded_copy(escape_set, ESCAPE_SET_SIZE, buffer);

    std::uint32_t port = 0;
    if (reg_read_dword(layout::PRODUCT_KEY, layout::VALUE_TELNET_PORT, &port) && port > 0 &&
        port <= 0xFFFF) {
        telnet_port.store(static_cast<std::uint16_t>(port));
    } else {
        telnet_port.store(static_cast<std::uint16_t>(layout::DEFAULT_TELNET_PORT));
    }

    read_session_limits();
    read_permitted_destinations();

    std::uint32_t ssh = 0;
    if (!reg_read_dword(layout::PRODUCT_KEY, layout::VALUE_SSH, &ssh)) {
        ssh = 0;
    }
    configure_ssh(ssh != 0, reg::store_path().c_str());
    if (ssh != 0) {
        log_info("SSH offered at the prompt; known hosts %s, key %s", ssh_known_hosts_file(),
                 ssh_identity_file());
    }

    std::uint32_t debug = 0;
    if (reg_read_dword(layout::PRODUCT_KEY, layout::VALUE_DEBUG, &debug) && debug != 0) {
        debug_hold.store(1);
        debug_holding.store(true);
        while (debug_hold.load() == 1 && !stop_requested.load()) {
            sleep_ms(DEBUG_HOLD_POLL_MS);
        }
        debug_holding.store(false);
        if (stop_requested.load()) {
            return;  // stopping: no sessions are started any more
        }
    }

    PipeEntry pipe = pipe_entry.load();
    if (start_detached(pipe, session_stack_size)) {
        note_thread_created();
    }

    start_port_sessions(port_count, handshake);
}

scm::SERVICE_STATUS current_status() {
    std::lock_guard<std::mutex> lock(status_mutex);
    return service_status;
}

const char* last_stop_text() {
    return stop_text.load();
}

bool debug_hold_active() {
    return debug_holding.load();
}

void reset_lifecycle() {
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        service_status = scm::SERVICE_STATUS{};
        status_handle = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop_event.close();
        stop_requested.store(false);
    }
    stop_text.store("");
    debug_hold.store(0);
    set_session_entries(nullptr, nullptr);
}

}  // namespace varolan::service
