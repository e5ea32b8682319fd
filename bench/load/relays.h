// The two relays under comparison: the gateway service started through the
// service control layer on a temporary store and runtime directory, and socat
// relaying a seqpacket socket of the same kind to the same host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace varolan::bench {

class TarnixRelay {
  public:
    TarnixRelay() = default;
    ~TarnixRelay();
    TarnixRelay(const TarnixRelay&) = delete;
    TarnixRelay& operator=(const TarnixRelay&) = delete;

    // Registers `tarnix` in a fresh store below `work_dir`, points "Telnet Port"
    // at `host_port`, lets `sessions` pipe sessions in (all of one account, as
    // the bench's clients are), starts the service and waits for its pipe.
    // `open_files` other than 0: the soft open-files limit the service is started
    // with (it inherits the limit of its starter).
    bool start(const std::string& tarnix, const std::string& work_dir, std::uint16_t host_port,
               std::uint32_t sessions, unsigned open_files, std::string* error);
    // Stops the service through the service control layer (SIGKILL after 30 s).
    void stop();
    int pid() const { return pid_; }
    const std::string& socket_path() const { return socket_path_; }

  private:
    int pid_ = -1;
    std::string socket_path_;
};

class SocatRelay {
  public:
    SocatRelay() = default;
    ~SocatRelay();
    SocatRelay(const SocatRelay&) = delete;
    SocatRelay& operator=(const SocatRelay&) = delete;

    bool start(const std::string& socat, const std::string& work_dir, std::uint16_t host_port,
               int backlog, std::string* error);
    void stop();
    int pid() const { return pid_; }
    const std::string& socket_path() const { return socket_path_; }
    const std::string& command() const { return command_; }

  private:
    int pid_ = -1;
    std::string socket_path_;
    std::string command_;
};

// Runs a program with arguments, waits for it; its exit status or -1.
int run_program(const std::string& program, const std::vector<std::string>& args);

}  // namespace varolan::bench
