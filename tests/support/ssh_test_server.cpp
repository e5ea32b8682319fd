#include "tests/support/ssh_test_server.h"

#include <libssh/libssh.h>
#include <libssh/server.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace varolan::test {

namespace {

// True once `wake` is readable (the server is to end), after at most `ms`.
bool ending(int wake, int ms) {
    pollfd p{wake, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

}  // namespace

SshTestServer::SshTestServer(Fault fault, const char* address) : fault_(fault) {
    ssh_init();
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    ssh_key key = nullptr;
    ssh_bind bind = ssh_bind_new();
    bind_ = bind;
    int port = 0;
    if (bind == nullptr || wake_ < 0 || ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK ||
        ssh_bind_options_set(bind, SSH_BIND_OPTIONS_BINDADDR, address) != SSH_OK ||
        ssh_bind_options_set(bind, SSH_BIND_OPTIONS_BINDPORT, &port) != SSH_OK ||
        ssh_bind_options_set(bind, SSH_BIND_OPTIONS_IMPORT_KEY, key) != SSH_OK) {
        ssh_key_free(key);
        return;
    }
    // The bind owns the key from now on.
    if (ssh_bind_listen(bind) != SSH_OK) {
        return;
    }
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(ssh_bind_get_fd(bind), reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        port_ = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(sa).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(sa).sin_port);
    }
    thread_ = std::thread([this] { run(); });
}

SshTestServer::~SshTestServer() {
    if (wake_ >= 0) {
        std::uint64_t one = 1;
        (void)::write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (bind_ != nullptr) {
        ssh_bind_free(static_cast<ssh_bind>(bind_));
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void SshTestServer::run() {
    auto bind = static_cast<ssh_bind>(bind_);
    for (;;) {
        pollfd p[2] = {{wake_, POLLIN, 0}, {ssh_bind_get_fd(bind), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 || p[0].revents != 0) {
            return;
        }
        ssh_session session = ssh_new();
        if (session == nullptr) {
            return;
        }
        long timeout = 10;  // no wait of this server lasts longer
        ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeout);
        if (ssh_bind_accept(bind, session) == SSH_OK &&
            ssh_handle_key_exchange(session) == SSH_OK) {
            serve(session);
        }
        ssh_disconnect(session);
        ssh_free(session);
    }
}

void SshTestServer::serve(void* handle) {
    auto session = static_cast<ssh_session>(handle);
    ssh_channel channel = nullptr;
    bool shell = false;
    while (!shell) {
        ssh_message message = ssh_message_get(session);
        if (message == nullptr) {
            return;  // the client went
        }
        const int type = ssh_message_type(message);
        const int subtype = ssh_message_subtype(message);
        if (type == SSH_REQUEST_AUTH && fault_ == Fault::close_at_auth) {
            ssh_message_free(message);
            return;
        }
        if (type == SSH_REQUEST_SERVICE) {
            ssh_message_service_reply_success(message);
        } else if (type == SSH_REQUEST_AUTH && subtype == SSH_AUTH_METHOD_PASSWORD) {
            ssh_message_auth_reply_success(message, 0);
        } else if (type == SSH_REQUEST_AUTH) {
            ssh_message_auth_set_methods(message, SSH_AUTH_METHOD_PASSWORD);
            ssh_message_reply_default(message);
        } else if (type == SSH_REQUEST_CHANNEL_OPEN && subtype == SSH_CHANNEL_SESSION) {
            channel = ssh_message_channel_request_open_reply_accept(message);
        } else if (type == SSH_REQUEST_CHANNEL &&
                   (subtype == SSH_CHANNEL_REQUEST_PTY || subtype == SSH_CHANNEL_REQUEST_SHELL)) {
            ssh_message_channel_request_reply_success(message);
            shell = subtype == SSH_CHANNEL_REQUEST_SHELL;
        } else {
            ssh_message_reply_default(message);
        }
        ssh_message_free(message);
    }
    if (channel == nullptr) {
        return;
    }
    shells_.fetch_add(1);
    ssh_channel_write(channel, "ready\r\n", 7);
    if (fault_ == Fault::blocks_on_input) {
        unsigned char b = 0;
        while (!ending(wake_, 0)) {
            const int n = ssh_channel_read_timeout(channel, &b, 1, 0, 100);
            if (n < 0 || (n == 0 && ssh_channel_is_eof(channel) != 0)) {
                break;
            }
            if (n == 1) {
                // A blocking session hands the whole packet to the socket.
                const std::string block(std::size_t{b} * 256, 'b');
                ssh_channel_write(channel, block.data(), static_cast<std::uint32_t>(block.size()));
                blocks_.fetch_add(1);
            }
        }
    }
    // From now on nothing is read: what the client sends piles up until the
    // connection takes no more.
    while (!ending(wake_, 1000)) {
    }
    ssh_channel_free(channel);
}

}  // namespace varolan::test
