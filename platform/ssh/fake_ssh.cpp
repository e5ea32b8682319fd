#include "platform/ssh/fake_ssh.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace varolan::ssh {

namespace {

std::string entry_name(const std::string& host, std::uint16_t port) {
    std::string lower;
    for (char c : host) {
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return port == 22 ? lower : "[" + lower + "]:" + std::to_string(port);
}

}  // namespace

class FakeClient final : public Client {
  public:
    explicit FakeClient(FakeSshHost& host) : host_(host) {
        auto l = host_.lock();
        ++host_.clients_alive;
    }
    ~FakeClient() override {
        auto l = host_.lock();
        --host_.clients_alive;
        host_.notify();
    }

    bool handshake(UniqueFd socket, const char* name, std::uint16_t port) override {
        auto l = host_.lock();
        socket_ = std::move(socket);
        host_.host = name;
        host_.port = port;
        entry_ = entry_name(name, port);
        return fail_unless(host_.handshake_ok, "handshake refused");
    }
    bool host_key(char* type, char* fingerprint) override {
        auto l = host_.lock();
        std::snprintf(type, KEY_TYPE_SIZE, "%s", host_.key_type.c_str());
        std::snprintf(fingerprint, FINGERPRINT_SIZE, "%s", host_.fingerprint.c_str());
        return true;
    }
    // The fake's known-hosts lines: "NAME TYPE FINGERPRINT".
    HostKeyCheck check_host_key(const char* known_hosts) override {
        std::ifstream file(known_hosts);
        std::string line;
        auto l = host_.lock();
        while (std::getline(file, line)) {
            std::istringstream words(line);
            std::string name, type, fingerprint;
            if (words >> name >> type >> fingerprint && name == entry_) {
                return type == host_.key_type && fingerprint == host_.fingerprint
                           ? HostKeyCheck::known
                           : HostKeyCheck::changed;
            }
        }
        return HostKeyCheck::unknown;
    }
    bool record_host_key(const char* known_hosts) override {
        std::string line;
        {
            auto l = host_.lock();
            line = entry_ + " " + host_.key_type + " " + host_.fingerprint + "\n";
        }
        int fd = ::open(known_hosts, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        bool ok =
            fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        if (fd >= 0) {
            ::close(fd);
        }
        return fail_unless(ok, "cannot record");
    }

    AuthResult auth_none(const char* user) override {
        auto l = host_.lock();
        user_ = user;
        host_.attempts.push_back("none " + user_);
        return AuthResult::denied;
    }
    unsigned methods() override {
        auto l = host_.lock();
        return host_.offered;
    }
    AuthResult auth_publickey(const char* key_file) override {
        auto l = host_.lock();
        host_.attempts.push_back(std::string("publickey ") + key_file);
        return judge(!host_.accepted_key.empty() && host_.accepted_key == key_file);
    }
    AuthResult auth_password(const char* password) override {
        auto l = host_.lock();
        host_.attempts.push_back(std::string("password ") + password);
        return judge(host_.password == password);
    }
    AuthResult auth_kbdint(KbdintRound* round) override {
        auto l = host_.lock();
        if (!asked_) {
            asked_ = true;
            if (host_.fail_during_auth) {
                return judge(false);
            }
            *round = KbdintRound{};
            round->count = 1;
            std::snprintf(round->prompts[0].text, TEXT_SIZE, "%s", host_.kbdint_prompt.c_str());
            return AuthResult::info;
        }
        asked_ = false;
        host_.attempts.push_back("kbdint " + answer_);
        return judge(host_.password == answer_);
    }
    bool kbdint_answer(std::size_t index, const char* answer) override {
        if (index == 0) {
            answer_ = answer;
        }
        return true;
    }

    bool open_shell(const char* terminal_type, int columns, int rows) override {
        auto l = host_.lock();
        host_.terminal_type = terminal_type;
        host_.columns = columns;
        host_.rows = rows;
        host_.changed_.notify_all();
        return fail_unless(host_.shell_ok, "shell refused");
    }
    int poll_fd() const override { return host_.wake_read_.get(); }
    bool output_pending() override { return false; }
    // The wake-up pipe stands for the connection: processing empties it.
    bool process() override {
        auto l = host_.lock();
        drain();
        return true;
    }
    int read(void* buffer, std::size_t size) override {
        auto l = host_.lock();
        if (host_.reopen_ == FakeSshHost::Reopen::at_read) {
            host_.reopen_ = FakeSshHost::Reopen::no;
            host_.taking_input_ = true;
            host_.took_input_ = true;
        }
        if (host_.output_.empty()) {
            drain();
            if (host_.ended_) {
                host_.notify();  // keeps the descriptor readable for the end
                return -1;
            }
            return 0;
        }
        std::size_t n = std::min(size, host_.output_.size());
        std::memcpy(buffer, host_.output_.data(), n);
        host_.output_.erase(0, n);
        host_.changed_.notify_all();
        return static_cast<int>(n);
    }
    int write(const void* data, std::size_t size) override {
        auto l = host_.lock();
        if (host_.ended_) {
            return -1;
        }
        if (!host_.taking_input_) {
            ++host_.refused_writes;
            if (host_.reopen_ == FakeSshHost::Reopen::at_refused_write) {
                host_.reopen_ = FakeSshHost::Reopen::at_read;
            }
            host_.output_ += host_.output_at_refused_write_;
            host_.output_at_refused_write_.clear();
            host_.changed_.notify_all();
            return 0;
        }
        host_.input_.append(static_cast<const char*>(data), size);
        host_.changed_.notify_all();
        return static_cast<int>(size);
    }
    bool took_input() override {
        auto l = host_.lock();
        return std::exchange(host_.took_input_, false);
    }
    bool send_break(std::uint32_t) override {
        auto l = host_.lock();
        ++host_.breaks;
        host_.changed_.notify_all();
        return true;
    }
    const char* error_text() override { return error_.c_str(); }

  private:
    void drain() {
        char bytes[64];
        while (::read(host_.wake_read_.get(), bytes, sizeof bytes) > 0) {
        }
    }
    bool fail_unless(bool ok, const char* why) {
        if (!ok) {
            error_ = why;
        }
        return ok;
    }
    // Under the host's lock.
    AuthResult judge(bool accepted) {
        if (host_.fail_during_auth) {
            error_ = "connection closed by the host";
            return AuthResult::failed;
        }
        return accepted && user_ == host_.user ? AuthResult::success : AuthResult::denied;
    }

    FakeSshHost& host_;
    UniqueFd socket_;
    std::string entry_;
    std::string user_;
    std::string answer_;
    std::string error_ = "failed";
    bool asked_ = false;
};

FakeSshHost::FakeSshHost() {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read_.reset(fds[0]);
        wake_write_.reset(fds[1]);
    }
    set_client_factory([this] { return std::make_unique<FakeClient>(*this); });
}

FakeSshHost::~FakeSshHost() {
    set_client_factory(nullptr);
}

void FakeSshHost::notify() {
    char one = 1;
    (void)::write(wake_write_.get(), &one, 1);
    changed_.notify_all();
}

void FakeSshHost::shell_write(const std::string& bytes) {
    auto l = lock();
    output_ += bytes;
    notify();
}

void FakeSshHost::shell_write_with_next_refused_write(const std::string& bytes) {
    auto l = lock();
    output_at_refused_write_ += bytes;
}

void FakeSshHost::take_input_at_read_after_next_refused_write() {
    auto l = lock();
    reopen_ = Reopen::at_refused_write;
}

std::string FakeSshHost::shell_input() {
    auto l = lock();
    return input_;
}

void FakeSshHost::set_taking_input(bool on) {
    auto l = lock();
    taking_input_ = on;
    notify();
}

void FakeSshHost::end_shell() {
    auto l = lock();
    ended_ = true;
    notify();
}

}  // namespace varolan::ssh
