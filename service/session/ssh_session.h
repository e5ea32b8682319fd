// SSH connections from the session prompt: `SSH [user@]host [port]` and the
// serial ports' automatic "ssh://user@host[:port]". The dialogue (host key
// trust on first use, the user's name, authentication) runs on the user's
// line; the open shell is then relayed like any host connection, without
// telnet processing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ssh/ssh.h"

namespace varolan::service {

class UserSide;
struct SessionRecord;
enum class PromptEnd;

inline constexpr std::size_t SSH_PATH_SIZE = 4096;
inline constexpr std::size_t SSH_USER_SIZE = 64;     // a user name, cut
inline constexpr std::size_t SSH_HOST_SIZE = 256;    // a host name, as the store holds it
inline constexpr std::size_t SSH_SECRET_SIZE = 256;  // a password or answer, cut
inline constexpr std::uint16_t SSH_DEFAULT_PORT = 22;
inline constexpr int SSH_MAX_FAILURES = 3;
inline constexpr int SSH_COLUMNS = 80;
inline constexpr int SSH_ROWS = 24;
// The gateway's files in the store's folder.
inline constexpr const char* SSH_KNOWN_HOSTS_NAME = "ssh_known_hosts";
inline constexpr const char* SSH_IDENTITY_NAME = "ssh_id_ed25519";

// Settings read once at service start, before any session exists.
void configure_ssh(bool enabled, const char* store_file);
bool ssh_enabled();
const char* ssh_known_hosts_file();
const char* ssh_identity_file();
// The path of `name` in the folder of `store_file`, into `out` of `size` bytes.
void store_side_path(char* out, std::size_t size, const char* store_file, const char* name);

// Where to connect and as whom.
struct SshTarget {
    char user[SSH_USER_SIZE] = {};  // empty: asked for ("login as: ")
    char host[SSH_HOST_SIZE] = {};  // as typed, brackets of an IPv6 address removed
    std::uint16_t port = SSH_DEFAULT_PORT;
};

// True when the first word of `line` is SSH, in any case.
bool is_ssh_command(const char* line);
// Reads `SSH [user@]host [port]` (the line as typed). False when the host is
// missing or the port is not 1 to 65535.
bool parse_ssh_command(const char* line, SshTarget* target);
// True for "ssh://..." in any case.
bool is_ssh_url(const char* name);
// Reads "ssh://user@host[:port]" (an IPv6 host in brackets). False when the
// user or the host is missing or the port is not 1 to 65535.
bool parse_ssh_url(const char* url, SshTarget* target);

// How an SSH connection attempt ended.
enum class SshOpen {
    open,       // the shell is open
    refused,    // not connected; the user was told why
    user_gone,  // the user side failed while answering a question
};

// Connects to `target` (a permitted destination) with the dialogue on `user`
// (null: nothing written), asking questions only when `interactive`. On `open`, `*client` holds the
// client with its shell open. `session_name` names the session in the log.
SshOpen ssh_open(UserSide* user, SshTarget& target, bool interactive, const char* terminal_type,
                 const char* session_name, std::unique_ptr<ssh::Client>* client);

// Opens an SSH shell for the session as its host connection (the reader
// thread running, the relay's bytes passing unchanged): `connected`; or not
// (`no_connection`, the user was told why); or the user side failed while
// answering (`user_gone`: user_handle is then null).
PromptEnd open_ssh(SessionRecord& record, SshTarget& target, bool interactive);
// `SSH ...` typed at the prompt (the line as typed); "Invalid command" when it
// does not read.
PromptEnd run_ssh_command(SessionRecord& record, const char* line);
// A serial port's automatic "ssh://..." connection: no questions, the
// gateway's key only. 1 with the shell open, 0 without.
int connect_ssh_url(SessionRecord& record, const char* url);

// Reads one line without echo into `out` of `size` bytes (cut to fit; the
// user still ends it with CR or LF); backspace removes the last character.
// Writes `prompt` first and CR LF at the end. Returns the length, or -1 when
// the read failed or a NUL byte arrived.
int read_secret(UserSide* handle, const char* prompt, char* out, std::size_t size);

}  // namespace varolan::service
