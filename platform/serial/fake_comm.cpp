#include "platform/serial/fake_comm.h"

#include <chrono>

#include "platform/core/clock.h"
#include "platform/core/event.h"

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

COMMPROP uart_properties() {
    COMMPROP p;
    p.dwMaxBaud = BAUD_USER;
    p.dwProvSubType = PST_RS232;
    p.dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK | PCF_XONXOFF |
                           PCF_SETXCHAR | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
    p.dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                         SP_PARITY_CHECK | SP_RLSD;
    p.dwSettableBaud = BAUD_075 | BAUD_110 | BAUD_134_5 | BAUD_150 | BAUD_300 | BAUD_600 |
                       BAUD_1200 | BAUD_1800 | BAUD_2400 | BAUD_4800 | BAUD_7200 | BAUD_9600 |
                       BAUD_14400 | BAUD_19200 | BAUD_38400 | BAUD_56K | BAUD_57600 | BAUD_115200 |
                       BAUD_128K | BAUD_USER;
    p.wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    p.wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                            PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    p.dwCurrentTxQueue = 4096;
    p.dwCurrentRxQueue = 4096;
    return p;
}

DWORD modem_events(DWORD before, DWORD after) {
    DWORD changed = before ^ after;
    DWORD ev = 0;
    if (changed & MS_CTS_ON)
        ev |= EV_CTS;
    if (changed & MS_DSR_ON)
        ev |= EV_DSR;
    if (changed & MS_RLSD_ON)
        ev |= EV_RLSD;
    if ((changed & MS_RING_ON) && !(after & MS_RING_ON))
        ev |= EV_RING;
    return ev;
}

}  // namespace

struct FakeLine::Impl {
    mutable std::mutex m;
    mutable std::condition_variable cv;
    std::string input;
    std::string output;
    std::vector<LineEvent> log;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD mask = 0;
    DWORD history = 0;  // masked events since SetCommMask or the last wait
    DWORD modem = 0;
    DWORD errors = 0;
    bool dtr = false;
    bool rts = false;
    bool hung = false;
    bool open = false;
    std::uint64_t generation = 0;  // bumped by every open and close
    int opens = 0;
    int waiters = 0;
    int readers = 0;
    std::vector<std::pair<DcbField, DWORD>> refused_values;
    std::vector<DcbField> refused_any;
    std::map<CommCall, std::pair<int, DWORD>> failing;
    COMMPROP props = uart_properties();
    Event readable;  // manual reset: set while input waits or the line is hung up

    void add_log(LineEvent e) {
        e.at_ms = varolan::now_ms();
        log.push_back(std::move(e));
        cv.notify_all();
    }
    void update_readable() {
        if (!input.empty() || hung) {
            readable.set();
        } else {
            readable.reset();
        }
    }
    void note_event(DWORD ev) {
        history |= ev & mask;
        cv.notify_all();
    }
    // True (with the error) when the next call of `call` is to fail.
    bool should_fail(CommCall call, DWORD* error) {
        auto it = failing.find(call);
        if (it == failing.end() || it->second.first == 0)
            return false;
        *error = it->second.second;
        if (it->second.first > 0)
            --it->second.first;
        return true;
    }
    void set_dtr(bool on) {
        if (dtr != on) {
            dtr = on;
            LineEvent e{LineEvent::dtr};
            e.value = on ? 1 : 0;
            add_log(e);
        }
    }
    void set_rts(bool on) {
        if (rts != on) {
            rts = on;
            LineEvent e{LineEvent::rts};
            e.value = on ? 1 : 0;
            add_log(e);
        }
    }
};

FakeLine::FakeLine() : impl_(std::make_unique<Impl>()) {
    impl_->readable.create(true, false);
}
FakeLine::~FakeLine() = default;

void FakeLine::push_input(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->input += bytes;
    if (!bytes.empty())
        impl_->note_event(EV_RXCHAR);
    impl_->update_readable();
    impl_->cv.notify_all();
}

void FakeLine::set_modem_status(DWORD ms_bits) {
    std::lock_guard<std::mutex> lock(impl_->m);
    DWORD before = impl_->modem;
    impl_->modem = ms_bits;
    impl_->note_event(modem_events(before, ms_bits));
}

void FakeLine::raise_modem(DWORD ms_bits) {
    set_modem_status(modem_status() | ms_bits);
}
void FakeLine::drop_modem(DWORD ms_bits) {
    set_modem_status(modem_status() & ~ms_bits);
}

void FakeLine::inject_break(bool with_nul) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->errors |= CE_BREAK;
    DWORD ev = EV_BREAK;
    if (with_nul) {
        impl_->input.push_back('\0');
        ev |= EV_RXCHAR;
    }
    impl_->note_event(ev);
    impl_->update_readable();
}

void FakeLine::inject_errors(DWORD ce_bits) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->errors |= ce_bits;
    impl_->note_event(EV_ERR);
}

void FakeLine::hang_up() {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->hung = true;
    impl_->update_readable();
    impl_->cv.notify_all();
}

void FakeLine::reconnect() {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->hung = false;
    impl_->update_readable();
    impl_->cv.notify_all();
}

void FakeLine::refuse(DcbField field, DWORD value) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->refused_values.emplace_back(field, value);
}

void FakeLine::refuse_any(DcbField field) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->refused_any.push_back(field);
}

void FakeLine::clear_refusals() {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->refused_values.clear();
    impl_->refused_any.clear();
}

void FakeLine::fail_call(CommCall call, int times, DWORD error) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->failing[call] = {times, error};
    impl_->cv.notify_all();
}

void FakeLine::set_properties(const COMMPROP& properties) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->props = properties;
}

void FakeLine::set_initial_state(const DCB& dcb) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->dcb = dcb;
}

std::string FakeLine::output() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->output;
}

std::string FakeLine::take_output() {
    std::lock_guard<std::mutex> lock(impl_->m);
    std::string out;
    out.swap(impl_->output);
    return out;
}

std::vector<LineEvent> FakeLine::log() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->log;
}

std::vector<LineEvent> FakeLine::log_of(LineEvent::Kind kind) const {
    std::lock_guard<std::mutex> lock(impl_->m);
    std::vector<LineEvent> out;
    for (const auto& e : impl_->log) {
        if (e.kind == kind)
            out.push_back(e);
    }
    return out;
}

DCB FakeLine::state() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->dcb;
}

COMMTIMEOUTS FakeLine::timeouts() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->timeouts;
}

bool FakeLine::dtr() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->dtr;
}

bool FakeLine::rts() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->rts;
}

DWORD FakeLine::modem_status() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->modem;
}

std::size_t FakeLine::input_left() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->input.size();
}

int FakeLine::open_count() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->opens;
}

bool FakeLine::is_open() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->open;
}

bool FakeLine::waiting_for_event() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->waiters > 0;
}

bool FakeLine::reading() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->readers > 0;
}

bool FakeLine::wait_until(
    const std::function<bool(const std::string&, const std::vector<LineEvent>&)>& pred,
    std::uint32_t timeout_ms) const {
    std::unique_lock<std::mutex> lock(impl_->m);
    return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return pred(impl_->output, impl_->log); });
}

bool FakeLine::wait_for_output(const std::string& text, std::uint32_t timeout_ms,
                               std::size_t from) const {
    return wait_until(
        [&](const std::string& out, const std::vector<LineEvent>&) {
            return out.size() >= from && out.find(text, from) != std::string::npos;
        },
        timeout_ms);
}

bool FakeLine::wait_for_log(LineEvent::Kind kind, std::size_t n, std::uint32_t timeout_ms) const {
    return wait_until(
        [&](const std::string&, const std::vector<LineEvent>& log) {
            std::size_t count = 0;
            for (const auto& e : log) {
                if (e.kind == kind)
                    ++count;
            }
            return count >= n;
        },
        timeout_ms);
}

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
        if (!check(d, CommCall::GetCommState))
            return false;
        *dcb = d.dcb;
        return true;
    }

    bool SetCommState(const DCB* dcb) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommState))
            return false;
        bool refused = false;
        for (const auto& [field, value] : d.refused_values) {
            if (field_of(*dcb, field) == value)
                refused = true;
        }
        for (DcbField field : d.refused_any) {
            if (field_of(*dcb, field) != field_of(d.dcb, field))
                refused = true;
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
        if (!check(d, CommCall::GetCommTimeouts))
            return false;
        *timeouts = d.timeouts;
        return true;
    }

    bool SetCommTimeouts(const COMMTIMEOUTS* timeouts) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommTimeouts))
            return false;
        d.timeouts = *timeouts;
        LineEvent e{LineEvent::timeouts_set};
        e.timeouts = *timeouts;
        d.add_log(e);
        return true;
    }

    bool SetCommMask(DWORD mask) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::SetCommMask))
            return false;
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
        if (!check(d, CommCall::SetCommMask))
            return false;
        *mask = d.mask;
        return true;
    }

    bool WaitCommEvent(DWORD* event) override {
        auto& d = impl();
        std::unique_lock<std::mutex> lock(d.m);
        *event = 0;
        if (!check(d, CommCall::WaitCommEvent))
            return false;
        if (d.mask == 0) {
            error_ = ERROR_INVALID_PARAMETER;
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
        error_ = alive(d) ? ERROR_BROKEN_PIPE : ERROR_OPERATION_ABORTED;
        return false;
    }

    bool GetCommModemStatus(DWORD* status) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::GetCommModemStatus))
            return false;
        *status = d.modem;
        return true;
    }

    bool ClearCommError(DWORD* errors, COMSTAT* stat) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!check(d, CommCall::ClearCommError))
            return false;
        if (errors != nullptr)
            *errors = d.errors;
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
        if (!check(d, CommCall::PurgeComm))
            return false;
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
        if (!check(d, CommCall::GetCommProperties))
            return false;
        *properties = d.props;
        return true;
    }

    bool EscapeCommFunction(DWORD function) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        if (!alive(d)) {
            error_ = ERROR_INVALID_HANDLE;
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
        if (!check(d, CommCall::ReadFile))
            return false;
        auto* out = static_cast<char*>(buffer);
        const COMMTIMEOUTS t = d.timeouts;
        const bool at_once = t.ReadIntervalTimeout == MAXDWORD &&
                             t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
        const bool all_zero = t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0 &&
                              t.ReadTotalTimeoutConstant == 0;
        auto take = [&] {
            while (*done < count && !d.input.empty()) {
                out[(*done)++] = d.input.front();
                d.input.erase(0, 1);
            }
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
                if (*done < count && (d.hung || !alive(d)))
                    break;
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
                if (d.hung || !alive(d))
                    break;
                if (t.ReadIntervalTimeout == MAXDWORD && *done > 0)
                    break;
            }
        }
        --d.readers;
        ok = finish(d);
        return ok;
    }

    bool WriteFile(const void* buffer, DWORD count, DWORD* done) override {
        auto& d = impl();
        std::lock_guard<std::mutex> lock(d.m);
        *done = 0;
        if (!check(d, CommCall::WriteFile))
            return false;
        if (d.hung) {
            error_ = ERROR_BROKEN_PIPE;
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
        if (!line_)
            return;
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
            error_ = ERROR_INVALID_HANDLE;
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
            error_ = ERROR_BROKEN_PIPE;
            return false;
        }
        return true;
    }

    std::shared_ptr<FakeLine> line_;
    std::uint64_t generation_;
    DWORD error_ = ERROR_SUCCESS;
};

FakeCommOpener::FakeCommOpener() {
    previous_ = set_comm_opener(this);
}

FakeCommOpener::~FakeCommOpener() {
    set_comm_opener(previous_);
}

std::shared_ptr<FakeLine> FakeCommOpener::add_line(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = lines_[comm_device_path(name.c_str())];
    if (!slot)
        slot = std::make_shared<FakeLine>();
    changed_.notify_all();
    return slot;
}

void FakeCommOpener::remove_line(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.erase(comm_device_path(name.c_str()));
}

std::shared_ptr<FakeLine> FakeCommOpener::line(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = lines_.find(comm_device_path(name.c_str()));
    return it == lines_.end() ? nullptr : it->second;
}

void FakeCommOpener::script_open(const std::string& name, std::vector<DWORD> results) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& q = scripted_[comm_device_path(name.c_str())];
    q.insert(q.end(), results.begin(), results.end());
}

std::vector<std::pair<std::string, std::uint64_t>> FakeCommOpener::attempts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
}

int FakeCommOpener::attempts_of(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string key = comm_device_path(name.c_str());
    int n = 0;
    for (const auto& a : attempts_) {
        if (a.first == key)
            ++n;
    }
    return n;
}

bool FakeCommOpener::wait_for_attempts(const std::string& name, int n,
                                       std::uint32_t timeout_ms) const {
    std::string key = comm_device_path(name.c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        int count = 0;
        for (const auto& a : attempts_) {
            if (a.first == key)
                ++count;
        }
        return count >= n;
    });
}

DWORD FakeCommOpener::open(const char* com_name_or_path, std::unique_ptr<CommPort>& out) {
    out.reset();
    std::string key = comm_device_path(com_name_or_path);
    if (key.empty())
        return ERROR_PATH_NOT_FOUND;
    std::shared_ptr<FakeLine> line;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attempts_.emplace_back(key, varolan::now_ms());
        changed_.notify_all();
        auto q = scripted_.find(key);
        if (q != scripted_.end() && !q->second.empty()) {
            DWORD result = q->second.front();
            q->second.pop_front();
            if (result != ERROR_SUCCESS)
                return result;
        }
        auto it = lines_.find(key);
        if (it == lines_.end())
            return ERROR_FILE_NOT_FOUND;
        line = it->second;
    }
    auto& d = *line->impl_;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(d.m);
        if (d.open)
            return ERROR_ACCESS_DENIED;
        d.open = true;
        generation = ++d.generation;
        ++d.opens;
        d.timeouts = COMMTIMEOUTS{};
        d.add_log(LineEvent{LineEvent::opened});
        // Opening raises DTR and RTS, as a serial driver does.
        d.set_dtr(true);
        d.set_rts(true);
    }
    out = std::make_unique<FakeCommPort>(line, generation);
    return ERROR_SUCCESS;
}

}  // namespace varolan::serial
