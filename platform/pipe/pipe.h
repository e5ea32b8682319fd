// Message-mode named pipes on AF_UNIX SOCK_SEQPACKET sockets.
//
// A pipe name "\\.\PIPE\<name>" is the socket $VAROLAN_RUNTIME_DIR/pipe/<name>
// (runtime directory /run/varolan when the variable is unset). All instances of
// one name in this process share one listening socket; each instance is one
// accept() on it. A null DACL makes the socket mode 0666 (everybody on this
// machine may connect); without one the socket is owner-only.
//
// Every message written is one datagram of the connection. A read with a
// buffer shorter than the message returns what fits and fails with
// ERROR_MORE_DATA; the rest of the message stays readable by the next reads.
// A zero-length message is read as a successful read of 0 bytes; the peer
// having closed is ERROR_BROKEN_PIPE. Writes never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/fd.h"
#include "platform/core/winerror.h"
#include "platform/pipe/spill.h"

namespace varolan::pipe {

// Open modes, pipe modes and limits with the values the design uses.
inline constexpr DWORD PIPE_ACCESS_INBOUND = 0x1;
inline constexpr DWORD PIPE_ACCESS_OUTBOUND = 0x2;
inline constexpr DWORD PIPE_ACCESS_DUPLEX = 0x3;
inline constexpr DWORD PIPE_TYPE_BYTE = 0x0;
inline constexpr DWORD PIPE_TYPE_MESSAGE = 0x4;
inline constexpr DWORD PIPE_READMODE_BYTE = 0x0;
inline constexpr DWORD PIPE_READMODE_MESSAGE = 0x2;
inline constexpr DWORD PIPE_WAIT = 0x0;
inline constexpr DWORD PIPE_NOWAIT = 0x1;
inline constexpr DWORD PIPE_UNLIMITED_INSTANCES = 255;
inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;

// The part of a security descriptor that matters here: whether it carries a
// DACL and whether that DACL is null (access for everybody).
struct SecurityDescriptor {
    bool initialized = false;
    bool dacl_present = false;
    bool dacl_null = false;
    bool dacl_defaulted = false;
};

struct SecurityAttributes {
    DWORD length = sizeof(SecurityAttributes);
    const SecurityDescriptor* descriptor = nullptr;
    bool inherit_handle = false;
};

// InitializeSecurityDescriptor: only revision 1 is known.
bool initialize_security_descriptor(SecurityDescriptor* sd, DWORD revision);
// SetSecurityDescriptorDacl with a null or absent DACL (the only kind modelled).
bool set_security_descriptor_dacl(SecurityDescriptor* sd, bool dacl_present, const void* dacl,
                                  bool dacl_defaulted);

class Listener;  // the shared listening socket of one pipe name

// One end of a pipe connection: a server instance (created with
// create_named_pipe, connected by connect_named_pipe) or a client end
// (connect_pipe_client). Move-only; the socket is closed by the destructor.
class NamedPipe {
  public:
    NamedPipe();
    ~NamedPipe();
    NamedPipe(NamedPipe&& other) noexcept;
    NamedPipe& operator=(NamedPipe&& other) noexcept;
    NamedPipe(const NamedPipe&) = delete;
    NamedPipe& operator=(const NamedPipe&) = delete;

    // An instance that exists (created or connected) and has not been closed.
    bool valid() const;
    // A connection to the other end exists.
    bool connected() const { return sock_.valid(); }

    // ConnectNamedPipe: blocks in accept() until a client connects. Fails with
    // ERROR_PIPE_NOT_CONNECTED when the listener was shut down, ERROR_INVALID_HANDLE
    // on a closed or client end. Any other failure leaves the listener and its
    // waiting clients as they were, so that the caller may try again:
    // ERROR_TOO_MANY_OPEN_FILES (the process's or the system's descriptors are
    // used up), ERROR_NOT_ENOUGH_MEMORY, ERROR_GEN_FAILURE; last_system_error()
    // then tells the cause.
    DWORD connect();
    // True when a client waits in the listener's queue to be connected.
    bool clients_waiting() const;
    // The errno of the last failed connect (0 when none failed).
    int last_system_error() const { return last_errno_; }

    // The account and process of the other end as they were when it connected.
    struct PeerCredentials {
        std::uint32_t uid = 0;
        std::uint32_t gid = 0;
        std::int32_t pid = 0;
    };
    bool peer_credentials(PeerCredentials* out) const;

    // ReadFile: blocks until a message (or the rest of one) is there. ERROR_SUCCESS
    // with the whole (rest of the) message; ERROR_MORE_DATA with `size` bytes when
    // more of the message remains; ERROR_BROKEN_PIPE when the other end has closed.
    DWORD read(void* buffer, DWORD size, DWORD* bytes_read);
    // ReadFile on a pipe in non-blocking mode: the same, except that it never
    // waits and fails with ERROR_NO_DATA when no message is there.
    DWORD read_nowait(void* buffer, DWORD size, DWORD* bytes_read);

    // PeekNamedPipe asking only for the total: bytes of every message waiting
    // (zero-length messages count 0). ERROR_BROKEN_PIPE when nothing is waiting and
    // the other end has closed.
    DWORD peek(DWORD* total_available);
    // The same, also telling whether a message is waiting at all: a zero-length
    // message counts no bytes but is waiting (and a read returns it at once).
    DWORD peek(DWORD* total_available, bool* message_waiting);

    // WriteFile: one message of `size` bytes (0 allowed). ERROR_NO_DATA when the
    // other end has closed.
    DWORD write(const void* buffer, DWORD size, DWORD* bytes_written);
    // WriteFile on a pipe in non-blocking mode: never waits. ERROR_SUCCESS with
    // `*bytes_written` = `size` when the message went, 0 when the pipe has no
    // room for it now (nothing of it went; poll_fd() turns writable when there
    // may be). Otherwise as write().
    DWORD write_nowait(const void* buffer, DWORD size, DWORD* bytes_written);

    // Descriptor to poll() for readability (-1 when not connected). Bytes already
    // taken off the socket by a short read are not signalled by it; see buffered().
    int poll_fd() const { return sock_.get(); }
    // Bytes of a partly read message held in this object.
    std::size_t buffered() const { return spill_.left(); }
    // Bytes of memory the held rest of a long message occupies now; 0 once it
    // has been read.
    std::size_t spill_resident() const { return spill_.resident(); }

    // CloseHandle: closes the connection and releases the instance.
    void close();

    // Internal: used by the creation functions.
    void attach_listener(std::shared_ptr<Listener> listener);
    void attach_socket(UniqueFd sock);

  private:
    DWORD read_message(void* buffer, DWORD size, DWORD* bytes_read, bool wait);
    DWORD write_message(const void* buffer, DWORD size, DWORD* bytes_written, bool wait);

    std::shared_ptr<Listener> listener_;
    UniqueFd sock_;
    SpillStore spill_;
    int last_errno_ = 0;
};

// CreateNamedPipeA. `name` must be "\\.\PIPE\<name>" (case-insensitive prefix).
// Only duplex, message-type, message-read, blocking pipes are supported
// (ERROR_INVALID_PARAMETER otherwise). Buffer sizes and the default time-out are
// accepted and not used. `max_instances` 1..254 limits the instances that exist
// at once (ERROR_PIPE_BUSY beyond it); 255 is unlimited. ERROR_ACCESS_DENIED when
// another process is serving the same socket path, when the pipe's directory
// is not this process's own (see last_create_error), or when something that
// is not a socket is in the way. On success `*out` holds the new, unconnected instance.
DWORD create_named_pipe(const char* name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                        DWORD out_buffer_size, DWORD in_buffer_size, DWORD default_timeout,
                        const SecurityAttributes* security, NamedPipe* out);

// Why the calling thread's last create_named_pipe failed, as one line naming
// the path (empty when it gave no reason): the pipe's directory is not this
// service's own (another account owns it, others can write it, it is a link),
// or the socket path holds something that is not a socket.
std::string last_create_error();

// Client side: connects to the socket at `path` (a filesystem path, or a
// "\\.\PIPE\<name>" name). ERROR_FILE_NOT_FOUND when nothing listens there,
// ERROR_ACCESS_DENIED without permission.
DWORD connect_pipe_client(const std::string& path, NamedPipe* out);

// $VAROLAN_RUNTIME_DIR or /run/varolan.
std::string runtime_dir();
// Socket path of "\\.\PIPE\<name>"; empty when `name` is not a pipe name.
std::string pipe_socket_path(const char* name);

// Keeps the listening socket of `name` (created by create_named_pipe and not
// shut down) until shutdown_pipe_listener, even while no instance of the name
// exists: a client that connects between the end of one instance and the
// creation of the next waits in the backlog for the next connect() instead of
// finding no pipe or being reset. Without it the listener goes, and its socket
// file with it, when its last instance is closed. Returns false when no
// listener exists.
bool retain_pipe_listener(const char* name);

// Shuts the listening socket of `name` down: every thread blocked in connect()
// on an instance of that name returns ERROR_PIPE_NOT_CONNECTED, and so does every
// later connect() of the existing instances. Connected instances are not touched.
// Used at service stop and by tests. Returns false when no listener exists.
bool shutdown_pipe_listener(const char* name);

}  // namespace varolan::pipe
