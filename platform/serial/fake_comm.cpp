// The fake line as the test drives and observes it.
#include <chrono>

#include "platform/serial/fake_line_impl.h"

namespace varolan::serial {

namespace {

DWORD modem_events(DWORD before, DWORD after) {
    DWORD changed = before ^ after;
    DWORD ev = 0;
    if (changed & MS_CTS_ON) {
        ev |= EV_CTS;
    }
    if (changed & MS_DSR_ON) {
        ev |= EV_DSR;
    }
    if (changed & MS_RLSD_ON) {
        ev |= EV_RLSD;
    }
    if ((changed & MS_RING_ON) && !(after & MS_RING_ON)) {
        ev |= EV_RING;
    }
    return ev;
}

}  // namespace

namespace detail {

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

}  // namespace detail

FakeLine::FakeLine() : impl_(std::make_unique<Impl>()) {
    impl_->readable.create(true, false);
}
FakeLine::~FakeLine() = default;

void FakeLine::push_input(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->input.insert(impl_->input.end(), bytes.begin(), bytes.end());
    if (!bytes.empty()) {
        impl_->note_event(EV_RXCHAR);
    }
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

void FakeLine::set_modem_lines(bool present) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->modem_lines = present;
    impl_->cv.notify_all();
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

void FakeLine::hold_output(bool on) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->output_held = on;
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
        if (e.kind == kind) {
            out.push_back(e);
        }
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

std::uint64_t FakeLine::read_calls() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->reads;
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
                if (e.kind == kind) {
                    ++count;
                }
            }
            return count >= n;
        },
        timeout_ms);
}

}  // namespace varolan::serial
