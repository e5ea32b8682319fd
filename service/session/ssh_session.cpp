#include "service/session/ssh_session.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/core/log.h"
#include "platform/core/text.h"
#include "service/session/session.h"
#include "service/session/user_side.h"
#include "service/session/user_text.h"

namespace varolan::service {

namespace {

std::atomic<bool> enabled{false};
std::mutex files_mutex;  // the paths are set at start, read by every session
char known_hosts_path[SSH_PATH_SIZE] = {};
char identity_path[SSH_PATH_SIZE] = {};

// Copies `n` bytes of `text` into `out` of `size` bytes; false when they do not fit.
bool copy_part(char* out, std::size_t size, const char* text, std::size_t n) {
    if (n >= size) {
        return false;
    }
    std::memcpy(out, text, n);
    out[n] = '\0';
    return true;
}

// "host", "[v6 address]" or "user@" before either: fills the target's user
// (when `user_wanted`) and host. The port is not part of `word`.
bool split_user_host(const char* word, std::size_t length, SshTarget* target) {
    const char* at = nullptr;
    for (const char* p = word; p < word + length; ++p) {
        if (*p == '@') {
            at = p;  // the last one: a host name never holds '@'
        }
    }
    const char* host = word;
    if (at != nullptr) {
        if (at == word || !copy_part(target->user, sizeof target->user, word,
                                     static_cast<std::size_t>(at - word))) {
            return false;
        }
        host = at + 1;
    }
    std::size_t host_length = static_cast<std::size_t>(word + length - host);
    if (host_length >= 2 && host[0] == '[' && host[host_length - 1] == ']') {
        ++host;
        host_length -= 2;
    }
    return host_length > 0 && std::memchr(host, '[', host_length) == nullptr &&
           copy_part(target->host, sizeof target->host, host, host_length);
}

}  // namespace

void store_side_path(char* out, std::size_t size, const char* store_file, const char* name) {
    const char* slash = std::strrchr(store_file, '/');
    if (slash == nullptr) {
        std::snprintf(out, size, "%s", name);
    } else {
        std::snprintf(out, size, "%.*s/%s", static_cast<int>(slash - store_file), store_file, name);
    }
}

void configure_ssh(bool on, const char* store_file) {
    std::lock_guard<std::mutex> lock(files_mutex);
    store_side_path(known_hosts_path, sizeof known_hosts_path, store_file, SSH_KNOWN_HOSTS_NAME);
    store_side_path(identity_path, sizeof identity_path, store_file, SSH_IDENTITY_NAME);
    enabled.store(on);
}

bool ssh_enabled() {
    return enabled.load();
}

const char* ssh_known_hosts_file() {
    std::lock_guard<std::mutex> lock(files_mutex);
    return known_hosts_path;
}

const char* ssh_identity_file() {
    std::lock_guard<std::mutex> lock(files_mutex);
    return identity_path;
}

bool is_ssh_command(const char* line) {
    return starts_with_nocase(line, "ssh") && (line[3] == '\0' || line[3] == ' ');
}

bool parse_ssh_command(const char* line, SshTarget* target) {
    *target = SshTarget{};
    char command[LINE_SIZE] = {};
    char destination[LINE_SIZE] = {};
    char port_word[LINE_SIZE] = {};
    int words = std::sscanf(line, "%40s %40s %40s", command, destination, port_word);
    if (words < 2 || !is_ssh_command(command)) {
        return false;
    }
    if (words >= 3 && !parse_port(port_word, &target->port)) {
        return false;
    }
    return split_user_host(destination, std::strlen(destination), target);
}

bool is_ssh_url(const char* name) {
    return starts_with_nocase(name, "ssh://");
}

bool parse_ssh_url(const char* url, SshTarget* target) {
    *target = SshTarget{};
    if (!is_ssh_url(url)) {
        return false;
    }
    const char* rest = url + 6;
    std::size_t length = std::strlen(rest);
    if (length > 0 && rest[length - 1] == '/') {
        --length;
    }
    // The port follows the last ':' after the host, unless that ':' is part
    // of an IPv6 address written without brackets.
    const char* at = nullptr;
    for (const char* p = rest; p < rest + length; ++p) {
        if (*p == '@') {
            at = p;
        }
    }
    const char* host = at != nullptr ? at + 1 : rest;
    const char* colon = nullptr;
    int colons = 0;
    for (const char* p = host; p < rest + length; ++p) {
        if (*p == ':') {
            colon = p;
            ++colons;
        }
    }
    bool bracketed = host[0] == '[';
    if (colon != nullptr && (colons == 1 || (bracketed && colon > host && colon[-1] == ']'))) {
        char port_word[8] = {};
        if (!copy_part(port_word, sizeof port_word, colon + 1,
                       static_cast<std::size_t>(rest + length - colon - 1)) ||
            !parse_port(port_word, &target->port)) {
            return false;
        }
        length = static_cast<std::size_t>(colon - rest);
    }
    return split_user_host(rest, length, target) && target->user[0] != '\0';
}

PromptEnd open_ssh(SessionRecord& record, SshTarget& target, bool interactive) {
    const char* session_name = record.session_name;
    UserSide* user = record.user_handle.get();
    std::unique_ptr<ssh::Client> client;
    switch (ssh_open(user, target, interactive, record.terminal_type, session_name, &client)) {
        case SshOpen::user_gone:
            close_user_side(record);
            return PromptEnd::user_gone;
        case SshOpen::refused:
            return PromptEnd::no_connection;
        case SshOpen::open:
            break;
    }
    // A connection left over from before is ended first; nothing is leaked.
    end_host_connection(record);
    UniqueFd local;
    std::unique_ptr<ssh::ShellLink> link = ssh::ShellLink::start(std::move(client), &local);
    if (!link) {
        log_error("%s: SSH %s: no link for the shell (out of descriptors or threads)", session_name,
                  target.host);
        write_text(user, "Connect Failed.\r\n");
        return PromptEnd::no_connection;
    }
    record.host_socket.adopt(std::move(local));
    record.ssh_link = std::move(link);
    if (!begin_host_connection(record, user)) {
        return PromptEnd::no_connection;
    }
    char name[SSH_USER_SIZE + SSH_HOST_SIZE + 8];
    std::snprintf(name, sizeof name, "SSH %s%s%s", target.user, target.user[0] != '\0' ? "@" : "",
                  target.host);
    char where[16];
    std::snprintf(where, sizeof where, "port %u", static_cast<unsigned>(target.port));
    log_connection_made(record.connection_log, session_name, name, where);
    note_host_connected(record.listing, HostProtocol::ssh, target.host, target.port);
    return PromptEnd::connected;
}

PromptEnd run_ssh_command(SessionRecord& record, const char* line) {
    SshTarget target;
    if (!parse_ssh_command(line, &target)) {
        write_text(record.user_handle.get(), "Invalid command\r\n");
        return PromptEnd::no_connection;
    }
    return open_ssh(record, target, true);
}

int connect_ssh_url(SessionRecord& record, const char* url) {
    SshTarget target;
    if (!parse_ssh_url(url, &target)) {
        log_error("%s: \"%s\" is not ssh://user@host[:port]", record.session_name, url);
        write_text(record.user_handle.get(), "Connect Failed.\r\n");
        return 0;
    }
    return open_ssh(record, target, false) == PromptEnd::connected ? 1 : 0;
}

int read_secret(UserSide* handle, const char* prompt, char* out, std::size_t size) {
    std::size_t length = 0;
    out[0] = '\0';
    if (handle == nullptr || size == 0) {
        return -1;
    }
    handle->write(prompt, static_cast<std::uint32_t>(std::strlen(prompt)));
    for (;;) {
        unsigned char c = 0;
        std::uint32_t got = 0;
        if (!handle->read(&c, 1, &got)) {
            std::memset(out, 0, size);
            return -1;
        }
        if (got == 0) {
            continue;
        }
        if (c == 0) {
            std::memset(out, 0, size);
            return -1;
        }
        if (c == 13 || c == 10) {
            handle->write("\r\n", 2);
            return static_cast<int>(length);
        }
        if (c == 8 || c == 127) {
            // Nothing is shown, so both erase keys a terminal may send erase.
            if (length > 0) {
                out[--length] = '\0';
            }
            continue;
        }
        if (length + 1 < size) {
            out[length++] = static_cast<char>(c);
            out[length] = '\0';
        }
    }
}

}  // namespace varolan::service
