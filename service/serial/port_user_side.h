// An open serial port as the user side of a session.
#pragma once

#include <memory>

#include "platform/serial/comm.h"
#include "service/session/user_side.h"

namespace varolan::service {

class PortUserSide final : public UserSide {
  public:
    explicit PortUserSide(std::unique_ptr<serial::CommPort> port) : port_(std::move(port)) {}
    ~PortUserSide() override { close(); }

    bool read(void* buffer, std::uint32_t size, std::uint32_t* got) override {
        *got = 0;
        return port_ && port_->ReadFile(buffer, size, got);
    }
    bool write(const void* data, std::uint32_t size) override {
        serial::DWORD done = 0;
        return port_ && port_->WriteFile(data, size, &done) && done == size;
    }
    // With the relay's write time-out set, a write the line's flow control
    // holds ends after that time with what went; that is not a failure.
    bool write_available(const void* data, std::uint32_t size, std::uint32_t* done) override {
        *done = 0;
        if (!port_) {
            return false;
        }
        serial::DWORD n = 0;
        const bool ok = port_->WriteFile(data, size, &n);
        *done = n;
        return ok || port_->last_error() == ERROR_TIMEOUT;
    }
    void close() override {
        if (port_) {
            port_->close();
            port_.reset();
        }
    }
    int poll_fd() const override { return port_ ? port_->poll_fd() : -1; }

    // The port itself, for the line settings; null once closed.
    serial::CommPort* port() const { return port_.get(); }

  private:
    std::unique_ptr<serial::CommPort> port_;
};

}  // namespace varolan::service
