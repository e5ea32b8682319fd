#include "service/session/session.h"

#include <cstdio>
#include <cstring>

#include "platform/core/errno_status.h"
#include "platform/core/log.h"
#include "platform/core/text.h"
#include "service/session/policy.h"
#include "service/session/relay.h"
#include "service/session/ssh_session.h"
#include "service/session/user_text.h"

namespace varolan::service {

namespace {

constexpr char help_text[] = "Commands\r\n\nO    Open\r\nQ    Quit\r\nS    Status\r\n?    Help\r\n";
// With SSH offered: one more line, after the Open line.
constexpr char help_text_ssh[] =
    "Commands\r\n\nO    Open\r\nSSH  Secure shell\r\nQ    Quit\r\nS    Status\r\n?    Help\r\n";
constexpr char invalid_command_text[] = "Invalid command\r\n";
constexpr char connect_failed_text[] = "Connect Failed.\r\n";
constexpr char prompt_ending[] = "\r\nTelnet >";

constexpr std::size_t HOST_NAME_MAX_LENGTH = 255;
static_assert(MESSAGE_SIZE > HOST_NAME_MAX_LENGTH + sizeof ": Unknown Host\r\n" - 1);
static_assert(MESSAGE_SIZE > HOST_NAME_MAX_LENGTH + sizeof "Trying... \r\n" - 1);

}  // namespace

bool parse_port(const char* word, std::uint16_t* port) {
    if (word[0] == '\0') {
        return false;
    }
    unsigned long value = 0;
    for (const char* p = word; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 65535) {
            return false;
        }
    }
    if (value == 0) {
        return false;
    }
    *port = static_cast<std::uint16_t>(value);
    return true;
}

namespace {

// "192.0.2.7:23" or "[2001:db8::7]:23" into `out` (ADDRESS_TEXT_SIZE + 8 bytes).
void format_destination(const HostAddress& address, char* out) {
    char text[ADDRESS_TEXT_SIZE];
    format_address(address, text);
    std::snprintf(out, ADDRESS_TEXT_SIZE + 8,
                  address.family == ADDRESS_FAMILY_INET6 ? "[%s]:%u" : "%s:%u", text,
                  static_cast<unsigned>(address.port));
}

}  // namespace

const HostAddress* connect_first(HostSocket& socket, const HostAddressList& addresses) {
    for (std::size_t i = 0; i < addresses.count; ++i) {
        const HostAddress& address = addresses.addresses[i];
        if (socket.open(address.family) && socket.connect(address)) {
            return &address;
        }
        socket.close();
    }
    return nullptr;
}

void close_user_side(SessionRecord& record) {
    if (record.user_handle) {
        record.user_handle->close();
        record.user_handle.reset();
    }
}

bool block_has_escape(const char* block, std::size_t count) {
    const std::size_t set_length = strnlen(escape_set, ESCAPE_SET_SIZE);
    if (set_length == 0) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (std::memchr(escape_set, block[i], set_length) != nullptr) {
            return true;
        }
    }
    return false;
}

void set_terminal_type(SessionRecord& record, const char* name) {
    bounded_copy(record.terminal_type, sizeof record.terminal_type, name);
}

void format_session_prompt(char* out, const char* device_name) {
    // The variable part is cut so that the prompt ends in "\r\nTelnet >" and fits.
    constexpr std::size_t room = PROMPT_SIZE - 1 - 2 - (sizeof prompt_ending - 1);
    char middle[PROMPT_SIZE];
    if (global_prompt[0] != '\0') {
        bounded_copy(middle, sizeof middle, global_prompt);
    } else {
        char host[HOST_NAME_SIZE];
        local_host_name(host, sizeof host);
        std::snprintf(middle, sizeof middle, "(%s %s)", host,
                      device_name != nullptr ? device_name : "");
    }
    int n = static_cast<int>(strnlen(middle, room));
    std::snprintf(out, PROMPT_SIZE, "\r\n%.*s%s", n, middle, prompt_ending);
}

int read_line(UserSide* handle, int max_length, const char* prompt, char* line) {
    int length = 0;
    line[0] = '\0';
    if (handle == nullptr) {
        return -1;
    }
    write_text(handle, prompt);
    while (length < max_length) {
        unsigned char c = 0;
        std::uint32_t got = 0;
        if (!handle->read(&c, 1, &got)) {
            line[0] = '\0';
            return -1;
        }
        if (got == 0) {
            // A zero-length message carries no byte; it is not a character.
            continue;
        }
        switch (c) {
            case 0:
                line[0] = '\0';
                return -1;
            case 8:
                if (length > 0) {
                    --length;
                    line[length] = '\0';
                    static constexpr char rubout[] = {8, 32, 8};
                    handle->write(rubout, sizeof rubout);
                }
                break;
            case 13:
            case 10:
                line[length] = '\0';
                write_text(handle, "\r\n");
                return length;
            default:
                line[length++] = static_cast<char>(c);
                line[length] = '\0';
                handle->write(&c, 1);
                break;
        }
    }
    line[length] = '\0';
    return length;
}

int resolve_host(HostAddressList& addresses, char* name, std::uint16_t port) {
    Resolver& resolver = process_resolver();
    addresses.count = 0;
    bool found = false;
    HostAddress dotted;
    dotted.family = ADDRESS_FAMILY_INET;
    if (parse_dotted(name, &dotted.ip) && resolver.reverse(dotted.ip)) {
        addresses.add(dotted);
        found = true;
    }
    if (!found) {
        found = resolver.forward_all(name, &addresses);
    }
    if (!found) {
        lower_in_place(name);
        found = resolver.forward_all(name, &addresses);
    }
    if (!found || addresses.count == 0) {
        addresses.count = 0;
        return 0;
    }
    for (std::size_t i = 0; i < addresses.count; ++i) {
        addresses.addresses[i].port = port;
    }
    return 1;
}

void host_reader(SessionRecord* record) {
    int code = 0;
    int cpu_asked = -1;
    while (!record->reader_stop.load(std::memory_order_acquire)) {
        // Follow the session thread to its CPU; a refusal is not retried until
        // the session has moved again, and the reader then runs wherever it may.
        int session_cpu = record->session_cpu.load(std::memory_order_relaxed);
        if (session_cpu >= 0 && session_cpu != cpu_asked) {
            cpu_asked = session_cpu;
            run_current_thread_on(session_cpu);
        }
        int n = record->host_socket.recv(record->receive_buffer, BLOCK_SIZE);
        if (n <= 0) {
            code = n < 0 ? last_socket_error() : 0;
            break;
        }
        add_bytes(record->connection_log.from_host, static_cast<std::size_t>(n));
        record->receive_buffer[n] = '\0';
        record->received_count.store(n, std::memory_order_release);
        record->block_event.set();
        // The count going back to 0 (released by drain_host_block) is what frees
        // the buffer; the event only wakes this thread for it. A drain that has
        // already happened costs no wait, and a signal left over from one that
        // was seen without waiting only costs a second look.
        bool failed = false;
        while (record->received_count.load(std::memory_order_acquire) != 0 &&
               !record->reader_stop.load(std::memory_order_acquire)) {
            if (record->drained_event.wait() != WaitResult::signaled) {
                failed = true;
                break;
            }
        }
        if (failed) {
            code = last_socket_error();
            break;
        }
    }
    record->reader_exit_code.store(code, std::memory_order_relaxed);
    record->host_closed.store(1, std::memory_order_release);
    record->block_event.set();
}

void drain_host_block(SessionRecord& record) {
    int cpu = current_cpu();
    if (cpu != record.session_cpu.load(std::memory_order_relaxed)) {
        record.session_cpu.store(cpu, std::memory_order_relaxed);
    }
    record.receive_buffer[0] = '\0';
    record.received_count.store(0, std::memory_order_release);
    record.drained_event.set();
}

void end_host_connection(SessionRecord& record, HostEnd why) {
    if (record.reader_thread.joinable()) {
        record.reader_stop.store(true, std::memory_order_release);
        record.host_socket.shutdown_both();
        record.drained_event.set();
        record.reader_thread.join();
    }
    record.host_socket.close();
    log_connection_end(record.connection_log, why, record.discarded);
    // An SSH shell's link sees its local end closed and ends the connection.
    record.ssh_link.reset();
    record.drained_event.close();
    record.block_event.close();
    record.received_count.store(0, std::memory_order_relaxed);
    reset_relay_state(record);
    note_host_ended(record.listing);
}

int connect_host(SessionRecord& record, char* host_name) {
    return connect_host(record, host_name, telnet_port.load(std::memory_order_relaxed));
}

int connect_host(SessionRecord& record, char* host_name, std::uint16_t port) {
    UserSide* user = record.user_handle.get();
    HostAddressList addresses;
    if (!resolve_host(addresses, host_name, port)) {
        write_formatted(user, "%s: Unknown Host\r\n", host_name);
        host_name[0] = '\0';
        return 0;
    }
    write_formatted(user, "Trying... %s\r\n", host_name);

    // A connection left over from before is ended first; nothing is leaked.
    end_host_connection(record);
    HostAddress connected;
    if (!connect_permitted(record.host_socket, addresses, user, record.session_name, host_name,
                           &connected) ||
        !begin_host_connection(record, user)) {
        return 0;
    }
    char where[ADDRESS_TEXT_SIZE + 8];
    format_destination(connected, where);
    log_connection_made(record.connection_log, record.session_name, host_name, where);
    note_host_connected(record.listing, HostProtocol::telnet, host_name, port);
    return 1;
}

bool connect_permitted(HostSocket& socket, const HostAddressList& addresses, UserSide* user,
                       const char* session_name, const char* host_name, HostAddress* connected) {
    // The resolved addresses are what is checked, whatever name was typed:
    // only the permitted ones are tried.
    HostAddressList permitted;
    for (std::size_t i = 0; i < addresses.count; ++i) {
        if (destination_permitted(addresses.addresses[i])) {
            permitted.add(addresses.addresses[i]);
        }
    }
    char where[ADDRESS_TEXT_SIZE + 8];
    format_destination(addresses.addresses[0], where);
    if (permitted.count == 0) {
        log_warning("%s: connection to %s (%s) refused: not a permitted destination", session_name,
                    host_name, where);
        write_text(user, connect_failed_text);
        return false;
    }
    const HostAddress* first = connect_first(socket, permitted);
    if (first == nullptr) {
        format_destination(permitted.addresses[0], where);
        log_info("%s: connection to %s (%s) failed: %s", session_name, host_name, where,
                 system_error_text(last_socket_error()));
        write_text(user, connect_failed_text);
        return false;
    }
    *connected = *first;
    return true;
}

bool begin_host_connection(SessionRecord& record, UserSide* user) {
    // Without its event or its reader the connection cannot be served: report
    // it as a failed connect and release what was made.
    if (!record.drained_event.create(false, false) || !record.block_event.create(false, false)) {
        write_text(user, connect_failed_text);
        end_host_connection(record);
        return false;
    }
    record.received_count.store(0, std::memory_order_relaxed);
    record.host_closed.store(0, std::memory_order_relaxed);
    record.reader_stop.store(false, std::memory_order_relaxed);
    record.reader_exit_code.store(0, std::memory_order_relaxed);
    record.receive_buffer[0] = '\0';
    reset_connection_counts(record.connection_log);
    record.session_cpu.store(current_cpu(), std::memory_order_relaxed);
    SessionRecord* shared = &record;
    if (!record.reader_thread.start([shared] { host_reader(shared); })) {
        write_text(user, connect_failed_text);
        end_host_connection(record);
        return false;
    }
    return true;
}

PromptEnd run_command_prompt(SessionRecord& record, const char* prompt) {
    char line[LINE_SIZE];
    note_session_state(record.listing, SessionState::prompt);
    for (;;) {
        gate_pass();
        if (read_line(record.user_handle.get(), LINE_LIMIT, prompt, line) < 0) {
            close_user_side(record);
            return PromptEnd::user_gone;
        }
        // SSH takes the line as typed: user names are not upper-cased.
        if (ssh_enabled() && is_ssh_command(line)) {
            return run_ssh_command(record, line);
        }
        upper_in_place(line);
        UserSide* user = record.user_handle.get();
        switch (line[0]) {
            case '\0':
                break;
            case '?':
            case 'H':
                write_text(user, ssh_enabled() ? help_text_ssh : help_text);
                break;
            case 'S':
                write_formatted(user,
                                "There have been %d connections\r\nWith %d bytes transported\r\n",
                                static_cast<int>(connection_count.load(std::memory_order_relaxed)),
                                static_cast<int>(byte_count.load(std::memory_order_relaxed)));
                break;
            case 'Q':
                close_user_side(record);
                return PromptEnd::user_gone;
            case 'O': {
                char command[LINE_SIZE] = {};
                char host[LINE_SIZE] = {};
                char port_word[LINE_SIZE] = {};
                int words = std::sscanf(line, "%40s %40s %40s", command, host, port_word);
                std::uint16_t port = telnet_port.load(std::memory_order_relaxed);
                if (words >= 3 && !parse_port(port_word, &port)) {
                    write_text(user, invalid_command_text);
                    break;
                }
                if (words >= 2) {
                    std::memcpy(line, host, sizeof line);
                }
                return connect_host(record, line, port) != 0 ? PromptEnd::connected
                                                             : PromptEnd::no_connection;
            }
            default:
                write_text(user, invalid_command_text);
                break;
        }
    }
}

}  // namespace varolan::service
