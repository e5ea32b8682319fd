#include "service/serial/port_session.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/store_layout.h"
#include "common/store_ops.h"
#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/core/log.h"
#include "platform/serial/comm.h"
#include "service/serial/port_codes.h"
#include "service/serial/port_key.h"
#include "service/serial/port_user_side.h"
#include "service/session/globals.h"
#include "service/session/relay.h"
#include "service/session/session.h"
#include "service/session/ssh_session.h"

namespace varolan::service {

namespace {

using namespace varolan::serial;
using namespace varolan::layout;

constexpr std::size_t DEVICE_PATH_SIZE = 64;
constexpr std::uint32_t QUEUE_SIZE = 4096;
constexpr std::uint32_t ABSENT_RETRY_MS = 1000;        // port not there yet
constexpr std::uint32_t SIGNAL_SETTLE_MS = 2000;       // after the line signal came
constexpr std::uint32_t DTR_LOW_MS = 1000;             // hang-up of a modem
constexpr std::uint32_t LINE_DROP_WAIT_MS = 2000;      // after the line signal went
constexpr std::uint32_t AUTO_CONNECT_RETRY_MS = 2000;  // after a failed automatic connection

constexpr unsigned char IAC_BRK[2] = {255, 243};

enum class Outcome { ok, give_up };  // ok: go on (or serve the next user)

// Everything one port session owns for its whole life.
struct PortSession {
    SessionRecord record;
    PortKey key;
    char device_path[DEVICE_PATH_SIZE] = {};
    char prompt_line[PROMPT_SIZE] = {};
    std::uint32_t status = 0;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    std::uint32_t flow_control = 0;
    std::uint32_t auto_open = 0;
    bool line_watched = false;  // the relay watches the AutoOpen line signal
    char computer_name[REG_STRING_SIZE] = {};
    MultiString login_script;
    std::uint32_t script_delay = 0;
    bool script_pending = false;
    MultiString modem_init;
    std::uint32_t modem_delay = 0;
    char port_buffer[BLOCK_SIZE] = {};

    CommPort* port() const {
        auto* side = static_cast<PortUserSide*>(record.user_handle.get());
        return side != nullptr ? side->port() : nullptr;
    }

    void close_port() { close_user_side(record); }

    Outcome give_up(std::uint32_t bits) {
        status |= bits;
        return Outcome::give_up;
    }

    bool read_dword(const char* name, std::uint32_t* value) { return key.read_dword(name, value); }
    std::uint32_t read_delay(const char* name, std::uint32_t fallback) {
        return key.read_delay(name, fallback);
    }
    void read_multi_string(const char* name, MultiString* out) { key.read_multi_string(name, out); }

    bool apply_state() { return port()->SetCommState(&dcb); }

    Outcome open_port();
    Outcome configure();
    Outcome apply_line_parameter(const char* name, std::uint32_t bit, void (*store)(DCB&, DWORD));
    Outcome apply_flow_control();
    void initialise_modem();
    void await_line_signal();
    Outcome serve_user();
    bool prepare_relay();
    Outcome relay();
    void hang_up(bool drop_dtr, HostEnd why = HostEnd::closed);
    enum class Input { none, taken, dropped, escape, line_gone };
    Input take_port_input();
    bool send_login_script();
    bool idle_wait(bool watch_line);
    bool line_dropped(CommPort* p, const LineMode* watched);
};

Outcome PortSession::open_port() {
    for (;;) {
        status = 0;
        key.write_flags(0);
        std::unique_ptr<CommPort> port;
        DWORD result = comm_opener().open(device_path, port);
        if (result == ERROR_SUCCESS) {
            record.user_handle = std::make_unique<PortUserSide>(std::move(port));
            return Outcome::ok;
        }
        if (result == ERROR_FILE_NOT_FOUND) {
            sleep_ms(ABSENT_RETRY_MS);
            gate_pass();
            continue;
        }
        return give_up(result == ERROR_ACCESS_DENIED ? DEVICE_ACCESS_DENIED : DEVICE_OPEN_FAILED);
    }
}

Outcome PortSession::apply_line_parameter(const char* name, std::uint32_t bit,
                                          void (*store)(DCB&, DWORD)) {
    std::uint32_t value = 0;
    if (!read_dword(name, &value)) {
        return give_up(bit);
    }
    store(dcb, value);
    if (!apply_state()) {
        return give_up(bit);
    }
    return Outcome::ok;
}

Outcome PortSession::apply_flow_control() {
    if (!read_dword(VALUE_FLOW_CONTROL, &flow_control)) {
        return give_up(DEVICE_FLOW_ERROR);
    }
    switch (flow_control) {
        case FLOW_NONE:
        case FLOW_XON_XOFF:
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 0;
            dcb.fOutX = 0;
            if (flow_control == FLOW_XON_XOFF) {
                char xon[REG_STRING_SIZE];
                char xoff[REG_STRING_SIZE];
                // An empty character counts as missing: NUL cannot be a flow character.
                if (!key.read_string(VALUE_XON_CHAR, xon) || xon[0] == '\0' ||
                    !key.read_string(VALUE_XOFF_CHAR, xoff) || xoff[0] == '\0') {
                    return give_up(DEVICE_FLOW_ERROR);
                }
                dcb.fOutX = 1;
                dcb.XonChar = xon[0];
                dcb.XoffChar = xoff[0];
            }
            break;
        case FLOW_DTR_DSR:
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 1;
            dcb.fOutX = 0;
            break;
        case FLOW_RTS_CTS:
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            dcb.fOutxCtsFlow = 1;
            dcb.fOutxDsrFlow = 0;
            dcb.fOutX = 0;
            break;
        case FLOW_HARDWARE:
            dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            dcb.fOutxCtsFlow = 1;
            dcb.fOutxDsrFlow = 1;
            dcb.fOutX = 0;
            break;
        default:
            dcb.fOutxCtsFlow = 0;
            dcb.fOutxDsrFlow = 0;
            dcb.fOutX = 0;
            break;
    }
    if (!apply_state()) {
        return give_up(DEVICE_FLOW_ERROR);
    }
    return Outcome::ok;
}

Outcome PortSession::configure() {
    CommPort* p = port();
    if (!p->SetupComm(QUEUE_SIZE, QUEUE_SIZE) || !p->GetCommState(&dcb)) {
        return give_up(DEVICE_SETUP_ERROR);
    }
    dcb.fBinary = 1;
    dcb.fParity = 1;
    if (!apply_state()) {
        return give_up(DEVICE_SETUP_ERROR);
    }
    // The line parameters, each applied at once so a refusal names its value.
    struct Parameter {
        const char* name;
        std::uint32_t bit;
        void (*store)(DCB&, DWORD);
    };
    static constexpr Parameter parameters[] = {
        {VALUE_DATA_BITS, DEVICE_DATABITS_ERROR,
         [](DCB& d, DWORD v) { d.ByteSize = static_cast<BYTE>(v & 0xFF); }},
        {VALUE_PARITY, DEVICE_PARITY_ERROR,
         [](DCB& d, DWORD v) { d.Parity = static_cast<BYTE>(v & 0xFF); }},
        {VALUE_STOP_BITS, DEVICE_STOPBITS_ERROR,
         [](DCB& d, DWORD v) { d.StopBits = static_cast<BYTE>(v & 0xFF); }},
        {VALUE_BAUD_RATE, DEVICE_BAUD_ERROR, [](DCB& d, DWORD v) { d.BaudRate = v; }},
    };
    for (const auto& parameter : parameters) {
        if (apply_line_parameter(parameter.name, parameter.bit, parameter.store) ==
            Outcome::give_up) {
            return Outcome::give_up;
        }
    }
    if (apply_flow_control() == Outcome::give_up) {
        return Outcome::give_up;
    }
    // Reads wait until the requested bytes have arrived.
    if (!p->GetCommTimeouts(&timeouts)) {
        return give_up(DEVICE_SETUP_ERROR);
    }
    timeouts = COMMTIMEOUTS{};
    if (!p->SetCommTimeouts(&timeouts)) {
        return give_up(DEVICE_SETUP_ERROR);
    }
    return Outcome::ok;
}

void PortSession::initialise_modem() {
    read_multi_string(VALUE_MODEM_INIT, &modem_init);
    if (modem_init.empty()) {
        return;
    }
    modem_delay = read_delay(VALUE_MODEM_DELAY, DEFAULT_MODEM_DELAY);
    modem_init.for_each([this](const char* text, std::uint32_t length) {
        char line[REG_STRING_SIZE + 1];
        std::memcpy(line, text, length);
        line[length] = '\r';
        sleep_ms(modem_delay);
        DWORD done = 0;
        port()->WriteFile(line, length + 1, &done);
        return true;
    });
    sleep_ms(modem_delay);
    // The modem's answers are not for the user.
    port()->PurgeComm(PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// Waits for the AutoOpen mode's line signal. A line that cannot report modem
// signals at all (its driver has no modem lines: a pty, a three-wire adapter)
// would never show it, and its status always reads "off": there the signal is
// taken as present, without a wait, and the relay does not watch it, so the
// line is never taken as dropped for want of a signal it cannot carry.
void PortSession::await_line_signal() {
    CommPort* p = port();
    LineMode mode{};
    line_watched = false;
    if (line_mode(auto_open, &mode)) {
        line_watched = true;
        p->SetCommMask(mode.event_mask);
        DWORD modem = 0;
        if (!p->GetCommModemStatus(&modem)) {
            modem = 0;
        }
        if ((modem & mode.status_bit) == 0) {
            DWORD event = 0;
            if (p->WaitCommEvent(&event)) {
                if ((event & mode.event_mask) != 0) {
                    sleep_ms(SIGNAL_SETTLE_MS);
                }
            } else if (p->last_error() == ERROR_NOT_SUPPORTED) {
                line_watched = false;
            }
        }
    }
    p->SetCommMask(0);
}

// Reads the port when there is room for what it may bring (or the host is
// stuck, when it is read only for the escape) and forwards the block. A block
// led by NUL is dropped uncounted.
PortSession::Input PortSession::take_port_input() {
    if (!wants_user_input(record)) {
        return Input::none;
    }
    CommPort* p = port();
    DWORD n = 0;
    if (!p->ReadFile(port_buffer, sizeof port_buffer, &n)) {
        // The line itself has gone (device removed, other end closed):
        // nothing more can come from it, so the connection ends.
        if (p->last_error() == ERROR_BROKEN_PIPE) {
            return Input::line_gone;
        }
        n = 0;
    }
    if (n == 0) {
        return Input::none;
    }
    if (port_buffer[0] == '\0') {
        return Input::dropped;
    }
    return forward_user_block(record, port_buffer, n) == UserBlock::escape ? Input::escape
                                                                           : Input::taken;
}

// The login script, once per connection: each line after its delay, with a
// carriage return. Until the host queue has room for all of it, it waits for
// a later pass. False when the host connection has failed.
bool PortSession::send_login_script() {
    constexpr std::size_t SCRIPT_ROOM = 2 * (REG_STRING_SIZE + REG_STRING_SIZE / 2);
    if (record.host_queue.room() < SCRIPT_ROOM) {
        return true;
    }
    const bool sent = login_script.for_each([this](const char* text, std::uint32_t length) {
        char line[REG_STRING_SIZE + 1];
        std::memcpy(line, text, length);
        line[length] = '\r';
        sleep_ms(script_delay);
        return queue_for_host(record, line, length + 1, true) && send_to_host(record);
    });
    script_pending = false;
    script_delay = 0;
    return sent;
}

// Waits for port input (with room for it), the reader's signal, the host taking
// bytes, the pause or the relay's next timed condition; a watched line signal
// (not pollable) bounds it. True when the port hung up while not being read.
bool PortSession::idle_wait(bool watch_line) {
    PollFd fds[4];
    unsigned count = 0;
    const int port_fd = record.user_handle ? record.user_handle->poll_fd() : -1;
    const bool want_input = wants_user_input(record);
    if (port_fd >= 0) {
        fds[count++] = PollFd{port_fd, want_input ? poll_in : static_cast<short>(0), 0};
    }
    if (record.block_event.valid()) {
        fds[count++] = PollFd{record.block_event.poll_fd(), poll_in, 0};
    }
    const RelayTimers timers = relay_timers(record);
    if (host_output_waiting(record) || timers.host_end) {
        fds[count++] = PollFd{record.host_socket.fd(),
                              static_cast<short>((host_output_waiting(record) ? poll_out : 0) |
                                                 (timers.host_end ? poll_rdhup : 0)),
                              0};
    }
    std::uint32_t timeout = timers.wait_ms;
    const int gate_fd = gate_poll_fd();
    if (gate_fd >= 0) {
        fds[count++] = PollFd{gate_fd, poll_in, 0};
    } else if (timeout > GATE_POLL_MS) {
        timeout = GATE_POLL_MS;
    }
    if (watch_line && timeout > PORT_LINE_POLL_MS) {
        timeout = PORT_LINE_POLL_MS;
    }
    poll_fds(fds, count, timeout);
    // The reader's signal is only a wake-up; the block itself is in the record.
    if (record.block_event.valid()) {
        record.block_event.try_consume();
    }
    return port_fd >= 0 && !want_input && (fds[0].revents & (poll_hup | poll_err)) != 0;
}

// Ends the host connection and closes the port. With the hardware handshake
// DTR is dropped first for a while, so a modem hangs up.
void PortSession::hang_up(bool drop_dtr, HostEnd why) {
    if (drop_dtr && flow_control == FLOW_HARDWARE && port() != nullptr) {
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        apply_state();
        sleep_ms(DTR_LOW_MS);
    }
    end_host_connection(record, why);
    close_port();
}

// Sets the port's relay time-outs and reads the login script. False when the
// port refuses the time-outs.
bool PortSession::prepare_relay() {
    // Reads return at once with what has arrived; a write that the line's
    // flow control holds ends after a while with what went, so that the relay
    // still notices the escape, a line drop and the host.
    timeouts = COMMTIMEOUTS{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = PORT_WRITE_WAIT_MS;
    if (!port()->SetCommTimeouts(&timeouts)) {
        return false;
    }
    // A login script is for a telnet host's login prompt; an SSH shell is
    // logged in already.
    if (host_is_ssh(record)) {
        login_script = MultiString{};
    } else {
        read_multi_string(VALUE_LOGIN_SCRIPT, &login_script);
    }
    script_delay =
        login_script.empty() ? 0 : read_delay(VALUE_LOGIN_SCRIPT_DELAY, DEFAULT_LOGIN_SCRIPT_DELAY);
    script_pending = false;
    return true;
}

// Passes a flagged BREAK on; true when the `watched` line signal has dropped:
// the host connection then ends at once and the line waits before its hang-up.
bool PortSession::line_dropped(CommPort* p, const LineMode* watched) {
    DWORD errors = 0;
    if (p->ClearCommError(&errors, nullptr) && (errors & CE_BREAK) != 0) {
        if (host_is_ssh(record)) {
            record.ssh_link->request_break();
        } else {
            queue_for_host(record, IAC_BRK, sizeof IAC_BRK, false);
        }
    }
    DWORD modem = 0;
    if (watched == nullptr || !p->GetCommModemStatus(&modem) || (modem & watched->status_bit)) {
        return false;
    }
    end_host_connection(record, HostEnd::line_dropped);
    sleep_ms(LINE_DROP_WAIT_MS);
    return true;
}

Outcome PortSession::relay() {
    connection_count.fetch_add(1, std::memory_order_relaxed);
    CommPort* p = port();
    if (!prepare_relay()) {
        end_host_connection(record, HostEnd::port_failed);
        return give_up(DEVICE_SETUP_ERROR);
    }
    DWORD errors = 0;
    p->ClearCommError(&errors, nullptr);

    LineMode mode{};
    const bool watch_line = line_watched && line_mode(auto_open, &mode);
    HostEnd why = HostEnd::closed;
    for (;;) {
        gate_pass();
        if (line_dropped(p, watch_line ? &mode : nullptr)) {
            break;
        }

        const Input input = take_port_input();
        if (input == Input::escape) {
            why = host_stuck(record) ? HostEnd::escape_stuck_host : HostEnd::escape;
            break;
        }
        if (input == Input::line_gone) {
            why = HostEnd::user_gone;
            break;
        }
        // A block led by NUL is dropped, but it was input all the same (a break
        // leaves one): the next pass follows at once, so that a break flagged
        // just after this pass's check is not left waiting for more input.
        bool busy = input != Input::none;
        if (input == Input::none && script_pending) {
            if (!send_login_script()) {
                why = HostEnd::host_failed;
                break;
            }
            busy = !script_pending;  // sent, not left for want of room
        }

        if (host_connection_closed(record)) {
            why = HostEnd::host_closed;
            break;
        }
        std::uint32_t written = 0;
        const HostBlock block = deliver_host_block(record, &written);
        if (block == HostBlock::user_failed) {
            why = HostEnd::user_gone;
            break;
        }
        if (written > 0 && script_delay != 0) {
            script_pending = true;
        }
        // A write that the line held has waited its time already.
        busy = busy || block == HostBlock::delivered || block == HostBlock::waiting;

        if (!send_to_host(record)) {
            why = HostEnd::host_failed;
            break;
        }
        if (host_gone_behind_stuck_user(record)) {
            why = HostEnd::user_took_nothing;
            break;
        }
        if (!busy && idle_wait(watch_line)) {
            why = HostEnd::line_dropped;
            break;  // the line hung up while it was not read
        }
    }
    hang_up(true, why);
    return Outcome::ok;
}

// One user: open, configure, initialise, wait for the line, then an automatic
// connection or the prompt, and the relay.
Outcome PortSession::serve_user() {
    if (open_port() == Outcome::give_up || configure() == Outcome::give_up) {
        return Outcome::give_up;
    }
    // Listed while the port is open for a user: waiting for its modem or line
    // first, then at the prompt or connected.
    list_session(record.listing, SessionKind::serial, device_path, SessionState::waiting);
    struct Unlist {
        SessionEntry& entry;
        ~Unlist() { unlist_session(entry); }
    } unlist{record.listing};
    initialise_modem();

    auto_open = AUTO_OPEN_PROMPT;
    if (!read_dword(VALUE_AUTO_OPEN, &auto_open)) {
        auto_open = AUTO_OPEN_PROMPT;
    }
    if (!modem_init.empty() && auto_open == AUTO_OPEN_PROMPT && flow_control == FLOW_HARDWARE) {
        auto_open = AUTO_OPEN_CARRIER;
    }
    computer_name[0] = '\0';
    if (auto_open != AUTO_OPEN_PROMPT) {
        if (!key.read_string(VALUE_AUTO_OPEN_COMPUTER_NAME, computer_name)) {
            computer_name[0] = '\0';
        }
        await_line_signal();
    }

    if (auto_open != AUTO_OPEN_PROMPT && computer_name[0] != '\0') {
        // "ssh://" names an SSH host only while the service offers SSH.
        const int connected = ssh_enabled() && is_ssh_url(computer_name)
                                  ? connect_ssh_url(record, computer_name)
                                  : connect_host(record, computer_name);
        if (connected == 1) {
            return relay();
        }
        // No connection: the failure text stays readable for a while, then
        // the line is hung up and the port reopened, which waits for the line
        // signal again.
        if (record.user_handle) {
            sleep_ms(AUTO_CONNECT_RETRY_MS);
        }
        hang_up(true);
        return Outcome::ok;
    }

    for (;;) {
        switch (run_command_prompt(record, prompt_line)) {
            case PromptEnd::connected:
                return relay();
            case PromptEnd::user_gone:
                return Outcome::ok;
            case PromptEnd::no_connection:
                break;
        }
    }
}

}  // namespace

void port_session(const std::uint32_t* port_index) {
    const std::uint32_t index = *port_index;
    auto session = std::make_unique<PortSession>();
    PortSession& s = *session;
    if (!s.key.find(index)) {
        port_handshake_event().set();
        return;
    }
    port_handshake_event().set();

    char text[REG_STRING_SIZE];
    if (!s.key.read_string(VALUE_TERMINAL_TYPE, text) || text[0] == '\0') {
        bounded_copy(text, sizeof text, DEFAULT_PORT_TERMINAL_TYPE);
    }
    set_terminal_type(s.record, text);

    if (!s.key.read_string(VALUE_PORT_NAME, text)) {
        text[0] = '\0';
    }
    // An empty name opens nothing (the port is given up as not openable); a
    // path too long for the buffer is cut.
    std::string path = comm_device_path(text);
    bounded_copy(s.device_path, sizeof s.device_path, path.c_str());
    format_session_prompt(s.prompt_line, s.device_path);
    std::snprintf(s.record.session_name, sizeof s.record.session_name, "port %.100s", s.key.name());
    log_info("port %s (%s): session started", s.key.name(), s.device_path);

    while (s.serve_user() == Outcome::ok) {
        // The next user finds a freshly opened and configured port.
    }

    // Giving up: release what is open and record the cause.
    end_host_connection(s.record);
    s.close_port();
    s.key.write_flags(s.status);
    log_warning("port %s (%s) given up: %s (Device Flags 0x%X)", s.key.name(), s.device_path,
                give_up_causes(s.status).c_str(), static_cast<unsigned>(s.status));
}

}  // namespace varolan::service
