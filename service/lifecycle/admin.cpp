#include "service/lifecycle/admin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/store_layout.h"
#include "platform/core/clock.h"
#include "platform/core/file_trust.h"
#include "platform/core/log.h"
#include "platform/registry/registry.h"
#include "platform/scm/scm.h"
#include "service/lifecycle/lifecycle.h"
#include "service/lifecycle/session_report.h"
#include "service/session/session_table.h"
#include "service/session/ssh_session.h"

namespace varolan::service {

namespace {

constexpr std::uint32_t STATE_WAIT_MS = 15000;
constexpr std::uint32_t STATE_POLL_MS = 50;

const scm::SERVICE_TABLE_ENTRY dispatch_table[] = {
    {SERVICE_NAME, service_main},
    {nullptr, nullptr},
};

const char* error_text(DWORD code) {
    switch (code) {
        case ERROR_SERVICE_DOES_NOT_EXIST:
            return "the service is not installed (tarnix install)";
        case ERROR_SERVICE_ALREADY_RUNNING:
            return "the service is already running";
        case ERROR_SERVICE_NOT_ACTIVE:
            return "the service is not running";
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
            return "the service cannot accept this request while it is starting or stopping";
        case ERROR_INVALID_SERVICE_CONTROL:
            return "the service does not accept this request now";
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            return "the service did not answer in time";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "the service program was not found";
        default:
            return "failed";
    }
}

int fail(const char* command, DWORD code) {
    std::fprintf(stderr, "tarnix %s: %s (error %u)\n", command, error_text(code),
                 static_cast<unsigned>(code));
    return 1;
}

DWORD open_varolan(DWORD access, scm::ScHandle& manager, scm::ScHandle& service) {
    DWORD rc = scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager);
    if (rc == ERROR_SUCCESS) {
        rc = scm::open_service(manager, SERVICE_NAME, access, service);
    }
    return rc;
}

// Polls the service's endpoint until the state is `wanted` or no longer
// `passing`; prints each state seen after `last`. An endpoint that does not
// answer in time (a service stopping with every descriptor still taken) is
// asked again until the wait is over.
DWORD wait_for_state(DWORD last, DWORD passing, DWORD wanted) {
    scm::SERVICE_STATUS status;
    status.dwCurrentState = last;
    const std::uint64_t deadline = monotonic_ms() + STATE_WAIT_MS;
    while (status.dwCurrentState == passing && monotonic_ms() < deadline) {
        sleep_ms(STATE_POLL_MS);
        const DWORD rc = scm::query_endpoint(SERVICE_NAME, &status);
        if (rc == ERROR_SERVICE_REQUEST_TIMEOUT) {
            status.dwCurrentState = last;
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            break;
        }
        if (status.dwCurrentState != last) {
            last = status.dwCurrentState;
            std::printf("%s\n", scm::state_name(last));
        }
    }
    return status.dwCurrentState == wanted ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

// Commands that act on the store as it is (install writes it, remove and start
// act on what it says) first make sure nobody else could have changed it.
bool store_refused(const char* command) {
    const std::string problem = reg::store_trust_problem();
    if (problem.empty()) {
        return false;
    }
    std::fprintf(stderr, "tarnix %s: refusing the store: %s\n", command, problem.c_str());
    return true;
}

// The state of a running service straight from its endpoint, without the
// store, so that a service can be seen and stopped whatever became of the
// store. False when no service answers.
bool running_by_endpoint(scm::SERVICE_STATUS* status) {
    return scm::query_endpoint(SERVICE_NAME, status) == ERROR_SUCCESS &&
           status->dwCurrentState != scm::SERVICE_STOPPED;
}

bool value_missing(const reg::Key& key, const char* name) {
    DWORD size = 0;
    return reg::query_value(key, name, nullptr, nullptr, &size) == ERROR_FILE_NOT_FOUND;
}

int command_install() {
    if (store_refused("install")) {
        return 1;
    }
    const std::string image = scm::current_image_path();
    if (image.empty()) {
        return fail("install", ERROR_FILE_NOT_FOUND);
    }
    if (unsigned rc = install_service(image.c_str()); rc != 0) {
        return fail("install", rc);
    }
    std::printf("%s installed: %s\nstore: %s\n", SERVICE_NAME, image.c_str(),
                reg::store_path().c_str());
    // Root installs for the service account, which must be able to use the store.
    std::string given;
    if (reg::give_store_to_service_account(given) != ERROR_SUCCESS) {
        std::fprintf(stderr, "tarnix install: cannot give the store to %s\n",
                     reg::service_account().c_str());
        return 1;
    }
    if (!given.empty()) {
        std::printf("%s\n", given.c_str());
    }
    // The gateway's own SSH key, which hosts are given to let it in.
    char key[SSH_PATH_SIZE];
    store_side_path(key, sizeof key, reg::store_path().c_str(), SSH_IDENTITY_NAME);
    char error[ssh::TEXT_SIZE] = {};
    switch (ssh::make_identity(key, reg::store_path().c_str(), error)) {
        case ssh::KeyFile::created:
            std::printf("ssh key: %s (new; its public half: %s.pub)\n", key, key);
            break;
        case ssh::KeyFile::present:
            std::printf("ssh key: %s\n", key);
            break;
        case ssh::KeyFile::failed:
            std::fprintf(stderr, "tarnix install: no ssh key: %s\n", error);
            break;
    }
    return 0;
}

int command_remove() {
    if (store_refused("remove")) {
        return 1;
    }
    scm::ScHandle manager;
    scm::ScHandle service;
    DWORD rc = open_varolan(scm::SERVICE_ALL_ACCESS, manager, service);
    scm::SERVICE_STATUS status;
    if (rc == ERROR_SUCCESS) {
        rc = scm::query_service_status(service, &status);
    }
    if (rc == ERROR_SUCCESS && status.dwCurrentState != scm::SERVICE_STOPPED) {
        std::fprintf(stderr, "tarnix remove: the service is %s; stop it first\n",
                     scm::state_name(status.dwCurrentState));
        return 1;
    }
    if (rc == ERROR_SUCCESS) {
        rc = scm::delete_service(manager, SERVICE_NAME);
    }
    if (rc != ERROR_SUCCESS) {
        return fail("remove", rc);
    }
    std::printf("%s removed (its configuration stays in the store)\n", SERVICE_NAME);
    return 0;
}

int command_start() {
    // The store names the program that is started: it must be trusted, and the
    // service would refuse a store that is missing or damaged anyway.
    if (store_refused("start")) {
        return 1;
    }
    if (reg::verify_store() != ERROR_SUCCESS) {
        std::fprintf(stderr, "tarnix start: %s\n", reg::last_store_error().c_str());
        return 1;
    }
    scm::ScHandle manager;
    scm::ScHandle service;
    DWORD rc = open_varolan(scm::SERVICE_ALL_ACCESS, manager, service);
    if (rc == ERROR_SUCCESS) {
        rc = scm::start_service(service);
    }
    if (const TrustProblem p = check_trusted(service.image_path(), "service program", -1);
        rc == ERROR_ACCESS_DENIED && p.found) {
        std::fprintf(stderr, "tarnix start: refusing to run it: %s\n", p.text.c_str());
        return 1;
    }
    if (rc != ERROR_SUCCESS) {
        return fail("start", rc);
    }
    scm::SERVICE_STATUS status;
    rc = scm::query_service_status(service, &status);
    if (rc != ERROR_SUCCESS) {
        return fail("start", rc);
    }
    std::printf("%s\n", scm::state_name(status.dwCurrentState));
    if (wait_for_state(status.dwCurrentState, scm::SERVICE_START_PENDING, scm::SERVICE_RUNNING) !=
        ERROR_SUCCESS) {
        return 1;
    }
    return 0;
}

// A running service is controlled through its endpoint alone, so that it can
// be stopped whatever became of the store. When nothing runs, the
// registration tells "not installed" from "not running".
int command_control(const char* command, DWORD control) {
    scm::SERVICE_STATUS status;
    DWORD rc;
    if (running_by_endpoint(&status)) {
        rc = scm::control_endpoint(SERVICE_NAME, control, &status);
    } else {
        scm::ScHandle manager;
        scm::ScHandle service;
        rc = open_varolan(scm::SERVICE_ALL_ACCESS, manager, service);
        if (rc == ERROR_SUCCESS) {
            rc = scm::control_service(service, control, &status);
        }
    }
    if (rc != ERROR_SUCCESS) {
        return fail(command, rc);
    }
    std::printf("%s\n", scm::state_name(status.dwCurrentState));
    if (control == scm::SERVICE_CONTROL_STOP &&
        wait_for_state(status.dwCurrentState, scm::SERVICE_STOP_PENDING, scm::SERVICE_STOPPED) !=
            ERROR_SUCCESS) {
        return 1;
    }
    return 0;
}

// "N sessions" of the running service, when it gives its listing.
void print_session_count() {
    scm::SERVICE_STATUS status;
    std::string listing;
    if (scm::query_listing(SERVICE_NAME, &status, &listing) != ERROR_SUCCESS) {
        return;
    }
    std::size_t count = 0;
    for (char c : listing) {
        count += c == '\n' ? 1 : 0;
    }
    std::printf("%zu session%s\n", count, count == 1 ? "" : "s");
}

int command_status() {
    scm::SERVICE_STATUS running;
    if (running_by_endpoint(&running)) {
        std::printf("%s\n", scm::state_name(running.dwCurrentState));
        print_session_count();
        return 0;
    }
    scm::ScHandle manager;
    scm::ScHandle service;
    DWORD rc = open_varolan(scm::SERVICE_QUERY_STATUS, manager, service);
    scm::SERVICE_STATUS status;
    if (rc == ERROR_SUCCESS) {
        rc = scm::query_service_status(service, &status);
    }
    if (rc != ERROR_SUCCESS) {
        return fail("status", rc);
    }
    std::printf("%s\n", scm::state_name(status.dwCurrentState));
    return 0;
}

void console_observer(const scm::SERVICE_STATUS& status) {
    std::fprintf(stderr, "%s: %s (check point %u, wait hint %u ms)\n", SERVICE_NAME,
                 scm::state_name(status.dwCurrentState), static_cast<unsigned>(status.dwCheckPoint),
                 static_cast<unsigned>(status.dwWaitHint));
}

int command_console() {
    set_log_style(LogStyle::plain);
    std::fprintf(stderr, "%s in the foreground on store %s; Ctrl-C stops it.\n", SERVICE_NAME,
                 reg::store_path().c_str());
    DWORD rc = scm::run_service_in_console(dispatch_table, console_observer);
    if (rc != ERROR_SUCCESS) {
        return fail("console", rc);
    }
    return service_exit_status(current_status().dwWin32ExitCode);
}

int usage() {
    std::fprintf(stderr,
                 "usage: tarnix [install|remove|start|stop|pause|continue|status|console]\n"
                 "       tarnix sessions [--json]\n");
    return 2;
}

// The live sessions of the running service, as a table or as JSON.
int command_sessions(int argc, char** argv) {
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") != 0) {
            return usage();
        }
        json = true;
    }
    scm::SERVICE_STATUS status;
    std::string listing;
    const DWORD rc = scm::query_listing(SERVICE_NAME, &status, &listing);
    if (rc != ERROR_SUCCESS) {
        return fail("sessions", rc);
    }
    std::vector<SessionRow> rows;
    std::string error;
    if (!parse_session_listing(listing, &rows, &error)) {
        std::fprintf(stderr, "tarnix sessions: %s\n", error.c_str());
        return 1;
    }
    const std::string out = json ? sessions_as_json(rows) : sessions_as_text(rows);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace

unsigned install_service(const char* image_path) {
    scm::ScHandle manager;
    DWORD rc = scm::open_sc_manager(scm::SC_MANAGER_ALL_ACCESS, manager);
    if (rc == ERROR_SUCCESS) {
        rc = scm::create_service(manager, SERVICE_NAME, image_path);
    }
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    reg::Key product;
    LONG status = reg::create_key(reg::hklm(), layout::PRODUCT_KEY, reg::KEY_ALL_ACCESS, product);
    if (status != ERROR_SUCCESS) {
        return static_cast<unsigned>(status);
    }
    // First values, only where the administrator (or the utility) set none.
    // "Terminal Type" and "Prompt" start empty (read as missing by the
    // service), so that the utility finds every pipe-user value it reads.
    const std::uint8_t escape[2] = {static_cast<std::uint8_t>(FIRST_ESCAPE_CHAR), 0};
    const std::uint8_t empty[1] = {0};
    const struct {
        const char* name;
        const std::uint8_t* data;
        DWORD size;
    } strings[] = {{layout::VALUE_ESCAPE_CHAR, escape, sizeof escape},
                   {layout::VALUE_TERMINAL_TYPE, empty, sizeof empty},
                   {layout::VALUE_PROMPT, empty, sizeof empty}};
    for (const auto& v : strings) {
        if (status == ERROR_SUCCESS && value_missing(product, v.name)) {
            status = reg::set_value(product, v.name, reg::REG_SZ, v.data, v.size);
        }
    }
    const struct {
        const char* name;
        std::uint32_t value;
    } dwords[] = {{layout::VALUE_NUMBER_OF_PORTS, FIRST_NUMBER_OF_PORTS},
                  {layout::VALUE_TELNET_PORT, FIRST_TELNET_PORT}};
    for (const auto& d : dwords) {
        if (status == ERROR_SUCCESS && value_missing(product, d.name)) {
            status =
                reg::set_value(product, d.name, reg::REG_DWORD,
                               reinterpret_cast<const std::uint8_t*>(&d.value), sizeof d.value);
        }
    }
    return static_cast<unsigned>(status);
}

int service_exit_status(DWORD exit_code) {
    switch (exit_code) {
        case 0:
            return 0;
        case ERROR_BADDB:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
            return STORE_UNUSABLE_EXIT;
        default:
            return 1;
    }
}

int tarnix_main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : nullptr;
    scm::set_listing_source(session_listing);
    if (command == nullptr || std::getenv(scm::SERVICE_MARKER_ENV) != nullptr) {
        DWORD rc = scm::start_service_ctrl_dispatcher(dispatch_table);
        if (rc == ERROR_SUCCESS) {
            // A service that stopped for a reason (a store it cannot use) fails.
            return service_exit_status(current_status().dwWin32ExitCode);
        }
        request_stop("StartServiceCtrlDispatcher failed.");
        if (rc != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            // Started as the service but unable to serve (another instance runs,
            // the runtime directory is unsafe): a failure, not a quiet exit.
            std::fprintf(stderr, "tarnix: %s (error %u)\n", error_text(rc),
                         static_cast<unsigned>(rc));
            return 1;
        }
        if (command == nullptr) {
            std::fprintf(stderr,
                         "tarnix: not started as a service; \"tarnix start\" starts it, "
                         "\"tarnix console\" runs it in the foreground\n");
            return 0;
        }
    }
    const std::string c = command;
    if (c == "install") {
        return command_install();
    }
    if (c == "remove") {
        return command_remove();
    }
    if (c == "start") {
        return command_start();
    }
    if (c == "stop") {
        return command_control("stop", scm::SERVICE_CONTROL_STOP);
    }
    if (c == "pause") {
        return command_control("pause", scm::SERVICE_CONTROL_PAUSE);
    }
    if (c == "continue") {
        return command_control("continue", scm::SERVICE_CONTROL_CONTINUE);
    }
    if (c == "status") {
        return command_status();
    }
    if (c == "console") {
        return command_console();
    }
    if (c == "sessions") {
        return command_sessions(argc, argv);
    }
    return usage();
}

}  // namespace varolan::service
