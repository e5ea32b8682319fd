// A scripted SSH host for tests: clients made while a FakeSshHost is
// installed talk to it instead of a network host. It records what the
// gateway did (user names, answers, terminal, shell input, BREAKs) and lets
// a test play the host's part (accept or refuse, send shell output, stop
// taking input, end the shell).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ssh/ssh.h"

namespace varolan::ssh {

class FakeSshHost {
  public:
    FakeSshHost();   // installs itself as the client factory
    ~FakeSshHost();  // restores the real client

    // --- the script (set before connecting) ---
    bool handshake_ok = true;
    std::string key_type = "ssh-ed25519";
    std::string fingerprint = "SHA256:fakefakefakefakefakefakefakefakefakefakefak";
    unsigned offered = METHOD_PUBLICKEY | METHOD_KBDINT | METHOD_PASSWORD;
    std::string user = "alice";       // the only account
    std::string password = "secret";  // its password (and keyboard-interactive answer)
    std::string accepted_key;         // a key file accepted for it ("" = none)
    std::string kbdint_prompt = "Password: ";
    bool fail_during_auth = false;  // the host closes at the first method tried
    bool shell_ok = true;

    // --- what happened (read under lock(), or through the helpers) ---
    std::vector<std::string>
        attempts;      // "none alice", "publickey KEYFILE", "password X", "kbdint X"
    std::string host;  // the host name the client was given
    std::uint16_t port = 0;
    std::string terminal_type;
    int columns = 0;
    int rows = 0;
    int breaks = 0;
    int clients_alive = 0;
    int refused_writes = 0;  // writes that took nothing (the shell not taking input)

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }

    // --- the shell ---
    // Output the shell writes (queued; a client reads it block by block).
    void shell_write(const std::string& bytes);
    // Output that arrives just as the client next writes while the shell
    // takes no input: the library takes it in during that write, and no
    // descriptor shows it afterwards.
    void shell_write_with_next_refused_write(const std::string& bytes);
    // The shell takes input again, and the news arrives just as the client
    // reads after its next refused write: the library takes it in during
    // that read, and no descriptor shows it afterwards.
    void take_input_at_read_after_next_refused_write();
    // Input the shell got so far.
    std::string shell_input();
    // The shell stops (or resumes) taking input: writes then take nothing.
    void set_taking_input(bool on);
    // The shell ends: once its output is read, reads report the end.
    void end_shell();
    // Waits (bounded) until `pred` holds; evaluated under the lock.
    template <typename Pred>
    bool wait_for(Pred pred) {
        auto l = lock();
        return changed_.wait_for(l, std::chrono::seconds(10), pred);
    }

  private:
    friend class FakeClient;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::string output_at_refused_write_;
    std::string input_;
    bool taking_input_ = true;
    bool ended_ = false;
    enum class Reopen { no, at_refused_write, at_read } reopen_ = Reopen::no;
    bool took_input_ = false;  // the client's library took something in unseen
    UniqueFd wake_read_;       // readable while output waits or the shell ended
    UniqueFd wake_write_;
    void notify();  // under lock: wakes clients and waiters
};

}  // namespace varolan::ssh
