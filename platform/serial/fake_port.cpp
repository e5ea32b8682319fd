// A port opened on a fake line: the CommPort calls on the line's shared state.
#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/serial/fake_line_impl.h"

namespace varolan::serial {

namespace {

DWORD field_of(const DCB& dcb, DcbField field) {
    switch (field) {
        case DcbField::BaudRate:
            return dcb.BaudRate;
        case DcbField::ByteSize:
            return dcb.ByteSize;
        case DcbField::Parity:
            return dcb.Parity;
        case DcbField::StopBits:
            return dcb.StopBits;
        case DcbField::fOutxCtsFlow:
            return dcb.fOutxCtsFlow;
        case DcbField::fOutxDsrFlow:
            return dcb.fOutxDsrFlow;
        case DcbField::fDtrControl:
            return dcb.fDtrControl;
        case DcbField::fRtsControl:
            return dcb.fRtsControl;
        case DcbField::fOutX:
            return dcb.fOutX;
        case DcbField::fInX:
            return dcb.fInX;
        case DcbField::XonChar:
            return static_cast<unsigned char>(dcb.XonChar);
        case DcbField::XoffChar:
            return static_cast<unsigned char>(dcb.XoffChar);
        case DcbField::fParity:
            return dcb.fParity;
    }
    return 0;
}

}  // namespace

// One open of a fake line.
class FakeCommPort final : public CommPort {
  public:
    FakeCommPort(std::shared_ptr<FakeLine> line, std::uint64_t generation)
        : line_(std::move(line)), generation_(generation) {}
    ~FakeCommPort() override { close(); }

    bool SetupComm(DWORD, DWORD) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        return check(d, CommCall::SetupComm);
    }

    bool GetCommState(DCB* dcb) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::GetCommState)) {
            return false;
        }
        *dcb = d.dcb;
        return true;
    }

    bool SetCommState(const DCB* dcb) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommState)) {
            return false;
        }
        bool refused = false;
        for (const auto& [field, value] : d.refused_values) {
            if (field_of(*dcb, field) == value) {
                refused = true;
            }
        }
        for (DcbField field : d.refused_any) {
            if (field_of(*dcb, field) != field_of(d.dcb, field)) {
                refused = true;
            }
        }
        if (refused) {
            LineEvent e{LineEvent::state_refused};
            e.dcb = *dcb;
            d.add_log(e);
            error_ = ERROR_INVALID_PARAMETER;
            return false;
        }
        d.dcb = *dcb;
        LineEvent e{LineEvent::state_set};
        e.dcb = *dcb;
        d.add_log(e);
        d.set_dtr(dcb->fDtrControl != DTR_CONTROL_DISABLE);
        d.set_rts(dcb->fRtsControl != RTS_CONTROL_DISABLE);
        return true;
    }

    bool GetCommTimeouts(COMMTIMEOUTS* timeouts) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::GetCommTimeouts)) {
            return false;
        }
        *timeouts = d.timeouts;
        return true;
    }

    bool SetCommTimeouts(const COMMTIMEOUTS* timeouts) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommTimeouts)) {
            return false;
        }
        d.timeouts = *timeouts;
        LineEvent e{LineEvent::timeouts_set};
        e.timeouts = *timeouts;
        d.add_log(e);
        return true;
    }

    bool SetCommMask(DWORD mask) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommMask)) {
            return false;
        }
        d.mask = mask;
        d.history = 0;
        LineEvent e{LineEvent::mask_set};
        e.value = mask;
        d.add_log(e);
        return true;
    }

    bool GetCommMask(DWORD* mask) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommMask)) {
            return false;
        }
        *mask = d.mask;
        return true;
    }

    bool WaitCommEvent(DWORD* event) override {
        auto& d = impl();
        std::unique_lock<std::mutex> lock(d.m);
        *event = 0;
        if (!check(d, CommCall::WaitCommEvent)) {
            return false;
        }
        if (d.mask == 0) {
            error_ = ERROR_INVALID_PARAMETER;
            return false;
        }
        if (!d.modem_lines && (d.mask & ~MODEM_LINE_EVENTS) == 0) {
            error_ = ERROR_NOT_SUPPORTED;
            return false;
        }
        LineEvent start{LineEvent::wait_started};
        start.value = d.mask;
        d.add_log(start);
        ++d.waiters;
        d.cv.wait(lock, [&] { return d.history != 0 || !alive(d) || d.hung; });
        --d.waiters;
        LineEvent end{LineEvent::wait_ended};
        if (d.history != 0) {
            *event = d.history;
            d.history = 0;
            end.value = *event;
            d.add_log(end);
            return true;
        }
        d.add_log(end);
        error_ = alive(d) ? comm_line_error(EIO) : ERROR_OPERATION_ABORTED;
        return false;
    }

    bool GetCommModemStatus(DWORD* status) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::GetCommModemStatus)) {
            return false;
        }
        *status = d.modem_lines ? d.modem : 0;
        return true;
    }

    bool ClearCommError(DWORD* errors, COMSTAT* stat) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::ClearCommError)) {
            return false;
        }
        if (errors != nullptr) {
            *errors = d.errors;
        }
        d.errors = 0;
        if (stat != nullptr) {
            *stat = COMSTAT{};
            stat->cbInQue = static_cast<DWORD>(d.input.size());
        }
        return true;
    }

    bool PurgeComm(DWORD flags) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::PurgeComm)) {
            return false;
        }
        if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) {
            d.input.clear();
            d.update_readable();
        }
        LineEvent e{LineEvent::purged};
        e.value = flags;
        d.add_log(e);
        return true;
    }

    bool GetCommProperties(COMMPROP* properties) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::GetCommProperties)) {
            return false;
        }
        *properties = d.props;
        return true;
    }

    bool EscapeCommFunction(DWORD function) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!alive(d)) {
            error_ = comm_line_error(EBADF);
            return false;
        }
        switch (function) {
            case SETDTR:
                d.set_dtr(true);
                return true;
            case CLRDTR:
                d.set_dtr(false);
                return true;
            case SETRTS:
                d.set_rts(true);
                return true;
            case CLRRTS:
                d.set_rts(false);
                return true;
            case SETBREAK:
            case CLRBREAK:
            case SETXON:
            case SETXOFF:
                return true;
            default:
                error_ = ERROR_INVALID_PARAMETER;
                return false;
        }
    }

    bool ReadFile(void* buffer, DWORD count, DWORD* done) override {
        auto& d = impl();
        std::unique_lock<std::mutex> lock(d.m);
        *done = 0;
        ++d.reads;
        if (!check(d, CommCall::ReadFile)) {
            return false;
        }
        auto* out = static_cast<char*>(buffer);
        const COMMTIMEOUTS t = d.timeouts;
        const bool at_once = t.ReadIntervalTimeout == MAXDWORD &&
                             t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        const bool all_zero = t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0 &&
                              t.ReadTotalTimeoutConstant == 0;
        auto take = [&] {
            const std::size_t n = std::min<std::size_t>(count - *done, d.input.size());
            std::copy_n(d.input.begin(), n, out + *done);
            d.input.erase(d.input.begin(), d.input.begin() + static_cast<std::ptrdiff_t>(n));
            *done += static_cast<DWORD>(n);
            d.update_readable();
        };
        if (at_once || count == 0) {
            take();
            return finish(d);
        }
        ++d.readers;
        d.cv.notify_all();
        bool ok = true;
        if (all_zero) {
            while (*done < count) {
                d.cv.wait(lock, [&] { return !d.input.empty() || d.hung || !alive(d); });
                take();
                if (*done < count && (d.hung || !alive(d))) {
                    break;
                }
            }
        } else {
            // Total time-out only (interval time-outs are not modelled).
            std::uint64_t total = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                                  t.ReadTotalTimeoutConstant;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
            while (*done < count) {
                if (!d.cv.wait_until(lock, deadline,
                                     [&] { return !d.input.empty() || d.hung || !alive(d); })) {
                    break;
                }
                take();
                if (d.hung || !alive(d)) {
                    break;
                }
                if (t.ReadIntervalTimeout == MAXDWORD && *done > 0) {
                    break;
                }
            }
        }
        --d.readers;
        ok = finish(d);
        return ok;
    }

    bool WriteFile(const void* buffer, DWORD count, DWORD* done) override {
        auto& d = impl();
        std::unique_lock<std::mutex> lock(d.m);
        *done = 0;
        if (!check(d, CommCall::WriteFile)) {
            return false;
        }
        // Output held by flow control: a write with a time-out waits that long
        // (on the process clock) and takes nothing; one without waits until
        // the line lets go, hangs up or is closed.
        if (d.output_held) {
            const std::uint64_t total =
                static_cast<std::uint64_t>(d.timeouts.WriteTotalTimeoutMultiplier) * count +
                d.timeouts.WriteTotalTimeoutConstant;
            if (total != 0) {
                lock.unlock();
                varolan::sleep_ms(static_cast<std::uint32_t>(total));
                lock.lock();
            } else {
                d.cv.wait(lock, [&] { return !d.output_held || d.hung || !alive(d); });
            }
            if (!alive(d)) {
                error_ = ERROR_OPERATION_ABORTED;
                return false;
            }
            if (d.output_held && !d.hung) {
                error_ = ERROR_TIMEOUT;
                return false;
            }
        }
        if (d.hung) {
            error_ = comm_line_error(EIO);  // the line has gone away
            return false;
        }
        std::string bytes(static_cast<const char*>(buffer), count);
        d.output += bytes;
        LineEvent e{LineEvent::written};
        e.text = bytes;
        d.add_log(e);
        *done = count;
        return true;
    }

    int poll_fd() const override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        return alive(d) ? d.readable.poll_fd() : -1;
    }

    void close() override {
        if (!line_) {
            return;
        }
        auto& d = impl();
        {
            std::lock_guard<std::mutex> lock(d.m);
            if (alive(d)) {
                d.open = false;
                ++d.generation;
                d.mask = 0;
                d.history = 0;
                d.add_log(LineEvent{LineEvent::closed});
                d.cv.notify_all();
            }
        }
        line_.reset();
    }

    DWORD last_error() const override { return error_; }

  private:
    FakeLine::Impl& impl() const {
        // A closed port answers from a private dead line, so calls fail cleanly.
        if (!line_) {
            static FakeLine dead;
            return *dead.impl_;
        }
        return *line_->impl_;
    }
    bool alive(const FakeLine::Impl& d) const {
        return line_ && d.open && d.generation == generation_;
    }
    bool check(FakeLine::Impl& d, CommCall call) {
        if (!alive(d)) {
            error_ = comm_line_error(EBADF);
            return false;
        }
        DWORD error = 0;
        if (d.should_fail(call, &error)) {
            error_ = error;
            return false;
        }
        return true;
    }
    bool finish(FakeLine::Impl& d) {
        if (!alive(d)) {
            error_ = ERROR_OPERATION_ABORTED;
            return false;
        }
        if (d.hung) {
            error_ = comm_line_error(EIO);  // the line has gone away
            return false;
        }
        return true;
    }

    std::shared_ptr<FakeLine> line_;
    std::uint64_t generation_;
    DWORD error_ = ERROR_SUCCESS;
};

std::unique_ptr<CommPort> make_fake_port(std::shared_ptr<FakeLine> line, std::uint64_t generation) {
    return std::make_unique<FakeCommPort>(std::move(line), generation);
}

}  // namespace varolan::serial
