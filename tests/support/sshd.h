// The machine's OpenSSH server, started by a test on a free loopback port
// with its own configuration, host key and authorized keys in a temporary
// folder; and a local account made for a test. Both need root; a test skips
// when sshd_unavailable() says why it cannot run. Every process the server
// started is killed and reaped when the object goes, and the server dies with
// the test process if that ends first.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/process.h"

namespace varolan::test {

// Empty when an OpenSSH server can be run here; else why not.
std::string sshd_unavailable();

class Sshd {
  public:
    Sshd();
    ~Sshd();  // stop()
    Sshd(const Sshd&) = delete;
    Sshd& operator=(const Sshd&) = delete;

    // `keys_of_root`: authorized keys for root (public key login); password
    // login is on for every other account. A fresh host key is made the
    // first time; `new_host_key` makes another one (a host whose key changed).
    bool start(const std::string& keys_of_root, bool new_host_key = false);
    void stop();
    std::uint16_t port() const { return port_; }
    // The host key's fingerprint as the gateway shows it ("SHA256:...").
    std::string fingerprint() const;
    // What the server logged (its standard error).
    std::string log() const;

  private:
    TempDir dir_;
    int pid_ = -1;
    std::uint16_t port_ = 0;
};

// A local account with a password and a shell, removed at destruction.
class TestAccount {
  public:
    explicit TestAccount(const std::string& password);
    ~TestAccount();
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }

  private:
    TempDir home_;
    std::string name_;
    bool ok_ = false;
};

}  // namespace varolan::test
