// The SSH dialogue on the user's line: connecting, the host key, the user's
// name and authentication, the shell.
#include <cstdio>
#include <cstring>

#include "platform/core/log.h"
#include "platform/core/text.h"
#include "platform/net/net.h"
#include "service/session/session.h"
#include "service/session/ssh_session.h"
#include "service/session/user_text.h"

namespace varolan::service {

namespace {

constexpr char connect_failed_text[] = "Connect Failed.\r\n";
constexpr char access_denied_text[] = "Access denied.\r\n";
constexpr char try_again_text[] = "Permission denied, please try again.\r\n";
constexpr char login_prompt[] = "login as: ";
constexpr char fallback_terminal_type[] = "vt100";
// Methods tried in one connection at most: a host that keeps answering
// "partial success" cannot keep the user answering for ever.
constexpr int MAX_ROUNDS = 12;

// What one connection attempt knows, for its messages and its log lines.
struct Attempt {
    UserSide* user;
    SshTarget& target;
    bool interactive;
    const char* session_name;
    ssh::Client& client;
    char address[ADDRESS_TEXT_SIZE];
};

// The log line prefix of an attempt: "SESSION: SSH USER@HOST (ADDRESS port N)".
void log_attempt(LogLevel level, const Attempt& a, const char* what, const char* detail = "") {
    log_message(level, "%s: SSH %s%s%s (%s port %u): %s%s", a.session_name, a.target.user,
                a.target.user[0] != '\0' ? "@" : "", a.target.host, a.address,
                static_cast<unsigned>(a.target.port), what, detail);
}

// Overwrites a secret once it is no longer needed.
void wipe(char* secret, std::size_t size) {
    volatile char* p = secret;
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

enum class Step { go_on, refused, user_gone };

// The host's key: known goes on; an unknown one is shown and accepted only by
// "yes" (and then recorded); a changed one is refused.
Step check_host_key(Attempt& a) {
    char type[ssh::KEY_TYPE_SIZE];
    char fingerprint[ssh::FINGERPRINT_SIZE];
    if (!a.client.host_key(type, fingerprint)) {
        log_attempt(LogLevel::warning, a, "no host key: ", a.client.error_text());
        write_text(a.user, connect_failed_text);
        return Step::refused;
    }
    char key[ssh::KEY_TYPE_SIZE + ssh::FINGERPRINT_SIZE + 1];
    std::snprintf(key, sizeof key, "%s %s", type, fingerprint);
    switch (a.client.check_host_key(ssh_known_hosts_file())) {
        case ssh::HostKeyCheck::known:
            log_attempt(LogLevel::info, a, "host key known: ", key);
            return Step::go_on;
        case ssh::HostKeyCheck::changed:
            log_attempt(LogLevel::warning, a, "HOST KEY CHANGED, refused: now ", key);
            write_formatted(a.user,
                            "WARNING: THE HOST KEY OF %s HAS CHANGED (now %s %s).\r\n"
                            "Connection refused; only the gateway's administrator can accept "
                            "the new key.\r\n",
                            a.target.host, type, fingerprint);
            return Step::refused;
        case ssh::HostKeyCheck::error:
            log_attempt(LogLevel::error, a, "known hosts unusable: ", a.client.error_text());
            write_text(a.user, connect_failed_text);
            return Step::refused;
        case ssh::HostKeyCheck::unknown:
            break;
    }
    if (!a.interactive) {
        log_attempt(LogLevel::warning, a, "unknown host key refused (no one to ask): ", key);
        write_formatted(a.user, "The host key of %s is not known; connection refused.\r\n",
                        a.target.host);
        return Step::refused;
    }
    char prompt[MESSAGE_SIZE];
    std::snprintf(prompt, sizeof prompt,
                  "The host key of %s is not known.\r\n%s key fingerprint is %s.\r\n"
                  "Continue connecting (yes/no)? ",
                  a.target.host, type, fingerprint);
    char answer[LINE_SIZE];
    if (read_line(a.user, LINE_LIMIT, prompt, answer) < 0) {
        return Step::user_gone;
    }
    if (!equal_nocase(answer, "yes")) {
        log_attempt(LogLevel::info, a, "unknown host key not accepted: ", key);
        return Step::refused;
    }
    if (!a.client.record_host_key(ssh_known_hosts_file())) {
        log_attempt(LogLevel::error, a,
                    "host key accepted but not recorded: ", a.client.error_text());
    } else {
        log_attempt(LogLevel::notice, a, "host key accepted and recorded: ", key);
    }
    return Step::go_on;
}

// Shows one keyboard-interactive round and gives its answers.
Step answer_round(Attempt& a, const ssh::KbdintRound& round) {
    for (const char* text : {round.name, round.instruction}) {
        if (text[0] != '\0') {
            write_formatted(a.user, "%s\r\n", text);
        }
    }
    for (std::size_t i = 0; i < round.count; ++i) {
        char answer[SSH_SECRET_SIZE];
        if (read_secret(a.user, round.prompts[i].text, answer, sizeof answer) < 0) {
            return Step::user_gone;
        }
        bool given = a.client.kbdint_answer(i, answer);
        wipe(answer, sizeof answer);
        if (!given) {
            return Step::refused;
        }
    }
    return Step::go_on;
}

// One attempt with what the user types: keyboard-interactive while the host
// offers it and it asks something, else the password.
ssh::AuthResult typed_attempt(Attempt& a, unsigned methods, bool* kbdint_usable, Step* step) {
    *step = Step::go_on;
    if ((methods & ssh::METHOD_KBDINT) != 0 && *kbdint_usable) {
        ssh::KbdintRound round;
        ssh::AuthResult r = a.client.auth_kbdint(&round);
        bool asked = false;
        for (int rounds = 0; r == ssh::AuthResult::info && rounds < MAX_ROUNDS; ++rounds) {
            asked = true;
            *step = answer_round(a, round);
            if (*step != Step::go_on) {
                return ssh::AuthResult::failed;
            }
            r = a.client.auth_kbdint(&round);
        }
        if (r == ssh::AuthResult::info) {
            r = ssh::AuthResult::denied;
        }
        if (asked || r != ssh::AuthResult::denied || (methods & ssh::METHOD_PASSWORD) == 0) {
            return r;
        }
        *kbdint_usable = false;  // refused without a question: the password is next
    }
    char prompt[MESSAGE_SIZE];
    std::snprintf(prompt, sizeof prompt, "%s@%s's password: ", a.target.user, a.target.host);
    char password[SSH_SECRET_SIZE];
    if (read_secret(a.user, prompt, password, sizeof password) < 0) {
        *step = Step::user_gone;
        return ssh::AuthResult::failed;
    }
    ssh::AuthResult r = a.client.auth_password(password);
    wipe(password, sizeof password);
    return r;
}

// Authentication: the gateway's key when the host accepts it, then (only when
// someone can be asked) keyboard-interactive or the password, three failures
// at most.
Step authenticate(Attempt& a) {
    ssh::AuthResult r = a.client.auth_none(a.target.user);
    const char* how = "none";
    int failures = 0;
    bool key_tried = false;
    bool kbdint_usable = true;
    for (int round = 0; r != ssh::AuthResult::success && round < MAX_ROUNDS; ++round) {
        if (r == ssh::AuthResult::failed) {
            log_attempt(LogLevel::warning, a,
                        "connection lost during authentication: ", a.client.error_text());
            write_text(a.user, connect_failed_text);
            return Step::refused;
        }
        const unsigned methods = a.client.methods();
        if (!key_tried && (methods & ssh::METHOD_PUBLICKEY) != 0) {
            key_tried = true;
            how = "public key";
            r = a.client.auth_publickey(ssh_identity_file());
            if (r == ssh::AuthResult::denied) {
                // The administrator's hint when a key the host should take
                // is refused, or the key file itself is unusable.
                log_attempt(LogLevel::info, a, "gateway key not used: ", a.client.error_text());
            }
            continue;
        }
        if (!a.interactive || (methods & (ssh::METHOD_KBDINT | ssh::METHOD_PASSWORD)) == 0 ||
            failures >= SSH_MAX_FAILURES) {
            break;
        }
        if (failures > 0) {
            write_text(a.user, try_again_text);
        }
        Step step = Step::go_on;
        how = (methods & ssh::METHOD_KBDINT) != 0 && kbdint_usable ? "keyboard-interactive"
                                                                   : "password";
        r = typed_attempt(a, methods, &kbdint_usable, &step);
        if (step != Step::go_on) {
            return step;
        }
        if (r == ssh::AuthResult::denied) {
            ++failures;
        }
    }
    if (r != ssh::AuthResult::success) {
        log_attempt(LogLevel::warning, a, "access denied", "");
        write_text(a.user, access_denied_text);
        return Step::refused;
    }
    log_attempt(LogLevel::notice, a, "authenticated by ", how);
    return Step::go_on;
}

// The user's name: as given, else asked for (echoed, edited like the prompt).
Step take_user_name(Attempt& a) {
    while (a.target.user[0] == '\0') {
        if (!a.interactive) {
            return Step::refused;
        }
        char line[LINE_SIZE];
        if (read_line(a.user, LINE_LIMIT, login_prompt, line) < 0) {
            return Step::user_gone;
        }
        std::snprintf(a.target.user, sizeof a.target.user, "%s", line);
    }
    return Step::go_on;
}

Step open_shell(Attempt& a, const char* terminal_type) {
    const char* type = terminal_type;
    if (type == nullptr || type[0] == '\0' || std::strcmp(type, "UNKNOWN") == 0) {
        type = fallback_terminal_type;
    }
    if (!a.client.open_shell(type, SSH_COLUMNS, SSH_ROWS)) {
        log_attempt(LogLevel::warning, a, "no shell: ", a.client.error_text());
        write_text(a.user, connect_failed_text);
        return Step::refused;
    }
    log_attempt(LogLevel::info, a, "shell open, terminal ", type);
    return Step::go_on;
}

SshOpen outcome(Step step) {
    return step == Step::user_gone ? SshOpen::user_gone : SshOpen::refused;
}

}  // namespace

SshOpen ssh_open(UserSide* user, SshTarget& target, bool interactive, const char* terminal_type,
                 const char* session_name, std::unique_ptr<ssh::Client>* client) {
    if (session_name == nullptr) {
        session_name = "session";
    }
    char name[SSH_HOST_SIZE];
    std::snprintf(name, sizeof name, "%s", target.host);
    HostAddressList addresses;
    if (!resolve_host(addresses, name, target.port)) {
        write_formatted(user, "%s: Unknown Host\r\n", name);
        log_info("%s: SSH %s: unknown host", session_name, target.host);
        return SshOpen::refused;
    }
    write_formatted(user, "Trying... %s\r\n", name);
    HostSocket socket;
    HostAddress connected;
    if (!connect_permitted(socket, addresses, user, session_name, name, &connected)) {
        return SshOpen::refused;
    }
    std::unique_ptr<ssh::Client> made = ssh::new_client();
    Attempt a{user, target, interactive, session_name, *made, {}};
    format_address(connected, a.address);
    if (!made->handshake(socket.take(), target.host, target.port)) {
        log_attempt(LogLevel::warning, a, "handshake failed: ", made->error_text());
        write_text(user, connect_failed_text);
        return SshOpen::refused;
    }
    Step step = check_host_key(a);
    if (step == Step::go_on) {
        step = take_user_name(a);
    }
    if (step == Step::go_on) {
        step = authenticate(a);
    }
    if (step == Step::go_on) {
        step = open_shell(a, terminal_type);
    }
    if (step != Step::go_on) {
        return outcome(step);
    }
    *client = std::move(made);
    return SshOpen::open;
}

}  // namespace varolan::service
