// The session record shared by every session kind, the command interpreter,
// and the host connection with its reader thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/core/event.h"
#include "platform/core/thread.h"
#include "platform/core/thread_event.h"
#include "platform/net/net.h"
#include "platform/ssh/ssh.h"
#include "service/session/connection_log.h"
#include "service/session/globals.h"
#include "service/session/session_table.h"
#include "service/session/telnet.h"
#include "service/session/user_side.h"

namespace varolan::service {

inline constexpr std::size_t SESSION_NAME_SIZE = 128;

// Size of a command line buffer: LINE_LIMIT characters and the terminator.
inline constexpr std::size_t LINE_SIZE = LINE_LIMIT + 1;

static_assert(TERMINAL_TYPE_SIZE - 1 == TELNET_TERMINAL_TYPE_MAX);

// Bytes waiting for the host, in the order they are to go: the user's data
// (every 255 doubled), the answers to the host's negotiation, a BRK, the login
// script. Bounded: whoever adds makes sure of the room first.
inline constexpr std::size_t HOST_QUEUE_SIZE = 32768;
static_assert(HOST_QUEUE_SIZE >= 2 * BLOCK_SIZE + telnet_answer_bound(BLOCK_SIZE));

struct HostQueue {
    std::size_t size() const { return tail - head; }
    std::size_t room() const { return HOST_QUEUE_SIZE - size(); }
    bool empty() const { return head == tail; }
    const unsigned char* front() const { return bytes + head; }
    // Space for `n` (at most room()) more bytes after the waiting ones, which
    // are moved to the start when the space behind them is too small.
    unsigned char* reserve(std::size_t n);
    // The first `n` bytes reserved are now waiting.
    void commit(std::size_t n) { tail += n; }
    // The first `n` waiting bytes have gone.
    void consume(std::size_t n);
    void clear() { head = tail = 0; }

    std::size_t head = 0;
    std::size_t tail = 0;
    unsigned char bytes[HOST_QUEUE_SIZE];
};

// One per session thread, owned by it for the thread's whole life. While a host
// connection is open its reader thread uses the fields marked "shared".
//
// Hand-over of a host block: the reader stores the data and its terminator,
// then `received_count` with release order. The session thread loads
// `received_count` with acquire order; when it is not 0 it passes the block on,
// then calls drain_host_block(), which empties the buffer, clears the count
// (release) and only then sets `drained_event`.
struct SessionRecord {
    std::unique_ptr<UserSide> user_handle;  // null = the user side is gone
    HostSocket host_socket;                 // shared (recv, shutdown)
    Thread reader_thread;
    ThreadEvent drained_event;  // auto-reset; shared; only the reader waits for it
    Event block_event;          // auto-reset; set by the reader after each block and at the end
    std::atomic<std::int32_t> received_count{0};  // shared
    char receive_buffer[BLOCK_SIZE + 1] = {};     // shared
    char terminal_type[TERMINAL_TYPE_SIZE] = {};  // at most 15 characters
    std::atomic<std::int32_t> host_closed{0};     // shared
    std::atomic<bool> reader_stop{false};         // shared: asks the reader to end
    std::atomic<int> reader_exit_code{0};         // socket error when the reader ended
    // shared: the CPU the session thread ran on at its last hand-over. The
    // reader keeps to that CPU, so that handing a block over and back is a
    // switch between two threads on one CPU, not a wake-up of another CPU
    // (which costs more than the block's whole relay).
    std::atomic<int> session_cpu{-1};

    // The relay's own state for the open connection (session thread only;
    // reset by connect_host and end_host_connection).
    TelnetState telnet;    // a host command cut by the last block's end
    HostQueue host_queue;  // bytes waiting for the host
    // The waiting host block once filtered: its data bytes (-1: not filtered
    // yet) and how many of them the user side has taken.
    std::int32_t deliver_length = -1;
    std::int32_t deliver_offset = 0;
    std::uint64_t host_waiting_since = 0;  // the host last took a byte, or bytes began to wait
    std::uint64_t user_waiting_since = 0;  // the user side last took a byte of the block
    std::int32_t discarded = 0;            // user bytes thrown away while the host was stuck
    // How the log names this session ("pipe session 3 (alice)", "port ttyS0").
    char session_name[SESSION_NAME_SIZE] = {};
    // The open host connection as the log reports it, with its byte counts.
    ConnectionLog connection_log;

    // Set while the host connection is an SSH shell: host_socket is then the
    // session's end of the shell's link, and the bytes pass both ways
    // unchanged (no telnet processing). Session thread only.
    std::unique_ptr<ssh::ShellLink> ssh_link;

    // The session in the administrator's listing (listed by its session kind).
    SessionEntry listing;
};

// True while the open host connection is an SSH shell.
inline bool host_is_ssh(const SessionRecord& record) {
    return record.ssh_link != nullptr;
}

// Puts the configured terminal type into the record, cut to 15 characters.
void set_terminal_type(SessionRecord& record, const char* name);

// Formats the session prompt into `out` (PROMPT_SIZE bytes): "\r\n%s\r\nTelnet >"
// with global_prompt when it is set, else "\r\n(%s %s)\r\nTelnet >" with this
// machine's host name and `device_name`. A text too long is cut so that the
// prompt keeps its "\r\nTelnet >" ending and fits the buffer.
void format_session_prompt(char* out, const char* device_name);

// Writes `prompt` and reads one line with echo into `line` (max_length + 1
// bytes). Returns the line's length, or -1 when the read failed or a NUL byte
// arrived (the line is then empty).
int read_line(UserSide* handle, int max_length, const char* prompt, char* line);

// How the command dialogue ended.
enum class PromptEnd {
    connected,      // a host connection is open, its reader thread running
    no_connection,  // none was made (unknown host, failed connect): show the prompt again
    user_gone,      // the user quit, or the user side failed: user_handle is null
};

// Runs the command dialogue on record.user_handle until a host connection is
// open or the dialogue ends without one.
PromptEnd run_command_prompt(SessionRecord& record, const char* prompt);

// Opens a host connection without dialogue (automatic connections). `host_name`
// is a buffer of at least LINE_SIZE bytes; the resolver may lower-case it, and
// when the name cannot be resolved its first character is set to NUL. The
// messages go to record.user_handle when it is set. Returns 1 or 0 as above.
// Without a port, the configured default (telnet_port) is used.
int connect_host(SessionRecord& record, char* host_name);
int connect_host(SessionRecord& record, char* host_name, std::uint16_t port);

// Starts serving a connected host_socket: the hand-over state and events,
// then the reader thread. On failure writes "Connect Failed.\r\n" to `user`,
// ends the connection and returns false.
bool begin_host_connection(SessionRecord& record, UserSide* user);

// Fills `addresses` for `name` and `port`: a dotted address is looked up in
// reverse and taken when found, then the name is looked up, then the name in
// lower case (changed in place). A name gives every address it has, IPv4
// first. Returns 1 on success, 0 if it cannot be resolved.
int resolve_host(HostAddressList& addresses, char* name, std::uint16_t port);

// Connects `socket` to the first of `addresses` that the permitted
// destinations allow and that accepts. When none does, writes "Connect
// Failed.\r\n" to `user`, logs why (refused by the rules, or the connection
// failed) and returns false. `*connected` is the address connected.
bool connect_permitted(HostSocket& socket, const HostAddressList& addresses, UserSide* user,
                       const char* session_name, const char* host_name, HostAddress* connected);

// Parses a TCP port number: decimal digits only, 1 to 65535.
bool parse_port(const char* word, std::uint16_t* port);

// Connects `socket` to the first of `addresses` that accepts, trying them in
// order. Returns the address connected, or null when none did (the socket is
// then closed).
const HostAddress* connect_first(HostSocket& socket, const HostAddressList& addresses);

// Thread routine of the host reader: receives one block at a time into the
// record and waits for it to be drained; sets host_closed at the end.
void host_reader(SessionRecord* record);

// Ends the open host connection: shuts the socket down, wakes the reader's
// wait, joins the reader, then closes the socket and the events, and logs the
// end with `why` and the byte counts. Safe to call when no connection is open.
void end_host_connection(SessionRecord& record, HostEnd why = HostEnd::closed);

// Closes the user side and sets record.user_handle to null, which tells the
// session that the user side is gone. Nothing happens when it is null already.
void close_user_side(SessionRecord& record);

// True when any of the `count` bytes of `block` (NUL bytes included) is one of
// the characters of escape_set. An empty escape_set never matches.
bool block_has_escape(const char* block, std::size_t count);

// Session-thread side of the hand-over.
// The byte count of the waiting host block (0 = none), with acquire order.
inline std::int32_t host_block_count(const SessionRecord& record) {
    return record.received_count.load(std::memory_order_acquire);
}
// True once the reader has ended (the host closed or the connection failed).
inline bool host_connection_closed(const SessionRecord& record) {
    return record.host_closed.load(std::memory_order_acquire) != 0;
}
// Marks the waiting block consumed and lets the reader receive the next one.
void drain_host_block(SessionRecord& record);

}  // namespace varolan::service
