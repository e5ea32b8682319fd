// The serial port on a Linux tty, behind CommPort. Its calls live in four
// files by concern: line state and time-outs (real_port_state.cpp), events,
// modem signals and errors (real_port_signals.cpp), reading and writing
// (real_port_io.cpp) and the probed properties (real_port_properties.cpp).
// Internal to the serial layer.
#pragma once

#include <atomic>

#include "platform/core/fd.h"
#include "platform/serial/comm.h"
#include "platform/serial/tty.h"

namespace varolan::serial::detail {

class RealCommPort final : public CommPort {
  public:
    // `has_modem`: the driver reports modem lines (TIOCMGET works).
    RealCommPort(UniqueFd fd, bool has_modem);
    ~RealCommPort() override;

    bool SetupComm(DWORD in_queue, DWORD out_queue) override;
    bool GetCommState(DCB* dcb) override;
    bool SetCommState(const DCB* dcb) override;
    bool GetCommTimeouts(COMMTIMEOUTS* timeouts) override;
    bool SetCommTimeouts(const COMMTIMEOUTS* timeouts) override;
    bool SetCommMask(DWORD event_mask) override;
    bool GetCommMask(DWORD* event_mask) override;
    bool WaitCommEvent(DWORD* event) override;
    bool GetCommModemStatus(DWORD* modem_status) override;
    bool ClearCommError(DWORD* errors, COMSTAT* stat) override;
    bool PurgeComm(DWORD flags) override;
    bool GetCommProperties(COMMPROP* properties) override;
    bool EscapeCommFunction(DWORD function) override;
    bool ReadFile(void* buffer, DWORD count, DWORD* done) override;
    bool WriteFile(const void* buffer, DWORD count, DWORD* done) override;
    int poll_fd() const override;
    void close() override;
    DWORD last_error() const override;

  private:
    bool fail(DWORD error);

    // Line state.
    // Sets `wanted` (built from `d`) and reads it back; on any difference the
    // line goes back to `before` and the result is false.
    bool apply_termios(const DCB& d, const termios& wanted, const termios& before,
                       std::uint32_t rate_before);
    void apply_modem_lines(const DCB& d);

    // Events.
    bool wait_modem_only(DWORD modem_mask, DWORD* event);
    bool wait_polling(DWORD mask, DWORD* event);

    // Reading and writing.
    bool read_some(unsigned char* out, DWORD count, DWORD* done);
    bool read_available(unsigned char* out, DWORD count, DWORD* done, DWORD first_wait_ms);

    // Properties: each probe sets the line and reads it back.
    DWORD probe_rates(const termios& base, bool uart, int baud_base, COMMPROP* p);
    bool takes_frame(const termios& base, tcflag_t cflag);
    bool probe_frames(const termios& base, COMMPROP* p);
    void restore_line(const termios& saved, std::uint32_t saved_rate);

    UniqueFd fd_;
    bool has_modem_ = false;
    bool has_counters_ = false;
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    std::atomic<DWORD> mask_{0};
    Counters error_base_;  // counters at the last ClearCommError
    Counters event_base_;  // counters at SetCommMask or the last event
    DWORD queue_in_ = 0;
    DWORD queue_out_ = 0;
    DWORD error_ = ERROR_SUCCESS;
};

}  // namespace varolan::serial::detail
