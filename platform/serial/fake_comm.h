// A fake serial line for tests: scripted input, recorded output, line states and
// every call that changes the line, with the modem lines, breaks and refusals a
// test chooses. Install a FakeCommOpener with set_comm_opener (the constructor
// does it) and add the lines the test needs. Everything here is thread-safe: the
// code under test runs on its own threads while the test drives the line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial/comm.h"

namespace varolan::serial {

// The DCB fields a test can make the line refuse.
enum class DcbField {
    BaudRate,
    ByteSize,
    Parity,
    StopBits,
    fOutxCtsFlow,
    fOutxDsrFlow,
    fDtrControl,
    fRtsControl,
    fOutX,
    fInX,
    XonChar,
    XoffChar,
    fParity,
};

// The calls a test can make fail.
enum class CommCall {
    SetupComm,
    GetCommState,
    SetCommState,
    GetCommTimeouts,
    SetCommTimeouts,
    SetCommMask,
    WaitCommEvent,
    GetCommModemStatus,
    ClearCommError,
    PurgeComm,
    GetCommProperties,
    ReadFile,
    WriteFile,
};

// One entry of a line's log, stamped with the process clock (the fake clock in
// tests) so delays between steps can be asserted.
struct LineEvent {
    enum Kind {
        opened,
        closed,
        written,    // text = the bytes of one WriteFile
        state_set,  // dcb = the DCB taken
        state_refused,
        timeouts_set,  // timeouts
        purged,        // value = PURGE_ flags
        dtr,           // value = 1 raised, 0 dropped
        rts,           // value = 1 raised, 0 dropped
        mask_set,      // value = event mask
        wait_started,  // WaitCommEvent began (value = mask)
        wait_ended,    // value = event reported (0 on failure)
    };
    Kind kind;
    std::uint64_t at_ms = 0;
    std::string text;
    DWORD value = 0;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
};

class FakeLine : public std::enable_shared_from_this<FakeLine> {
  public:
    FakeLine();
    ~FakeLine();
    FakeLine(const FakeLine&) = delete;
    FakeLine& operator=(const FakeLine&) = delete;

    // --- what the test drives ---
    // Bytes the port will read, appended to what is waiting.
    void push_input(const std::string& bytes);
    // Modem lines (MS_ bits); a change wakes WaitCommEvent for the masked lines.
    void set_modem_status(DWORD ms_bits);
    void raise_modem(DWORD ms_bits);
    void drop_modem(DWORD ms_bits);
    // A received break: CE_BREAK at the next ClearCommError, EV_BREAK, and (as a
    // UART does) a NUL byte in the input.
    void inject_break(bool with_nul = true);
    // A line whose driver reports no modem lines (a pty, an adapter without
    // them): modem status reads none and a wait for modem events alone fails
    // with ERROR_NOT_SUPPORTED, as on the real line.
    void set_modem_lines(bool present);
    // Line errors (CE_ bits) reported at the next ClearCommError.
    void inject_errors(DWORD ce_bits);
    // The other end goes away: blocked and later reads fail, the poll fd is
    // readable. reconnect() undoes it.
    void hang_up();
    void reconnect();
    // Flow control (CTS low, XOFF received) holds the output, or lets it go:
    // while held, a write with a write time-out waits that long on the process
    // clock and takes nothing (ERROR_TIMEOUT); one without waits until the
    // output is let go.
    void hold_output(bool on);
    // SetCommState fails whenever the DCB asks `field` to be `value`
    // (refuse_any: to differ from the line's current value).
    void refuse(DcbField field, DWORD value);
    void refuse_any(DcbField field);
    void clear_refusals();
    // The next `times` calls of `call` fail (times < 0: always).
    void fail_call(CommCall call, int times = -1, DWORD error = ERROR_GEN_FAILURE);
    void set_properties(const COMMPROP& properties);
    // The DCB the line reports before anything was set.
    void set_initial_state(const DCB& dcb);

    // --- what the test observes ---
    std::string output() const;          // every byte written, in order
    std::string take_output();           // the same, then forgotten
    std::vector<LineEvent> log() const;  // every change, in order
    std::vector<LineEvent> log_of(LineEvent::Kind kind) const;
    DCB state() const;  // the DCB in force
    COMMTIMEOUTS timeouts() const;
    bool dtr() const;
    bool rts() const;
    DWORD modem_status() const;
    std::size_t input_left() const;
    std::uint64_t read_calls() const;  // ReadFile calls so far, on every open
    int open_count() const;            // successful opens so far
    bool is_open() const;
    bool waiting_for_event() const;  // a WaitCommEvent is blocked now
    bool reading() const;            // a ReadFile is blocked now

    // Waits (real time, bounded) until `pred` holds; the predicate runs under
    // the line's lock with the line's accessors unavailable, so it is given the
    // output and the log. Returns false on timeout.
    bool wait_until(const std::function<bool(const std::string& output,
                                             const std::vector<LineEvent>& log)>& pred,
                    std::uint32_t timeout_ms = 10000) const;
    // Shorthands: until the output contains `text` (counting from the start of
    // the output, or from `from` bytes in); until `n` log entries of `kind`.
    bool wait_for_output(const std::string& text, std::uint32_t timeout_ms = 10000,
                         std::size_t from = 0) const;
    bool wait_for_log(LineEvent::Kind kind, std::size_t n = 1,
                      std::uint32_t timeout_ms = 10000) const;

  private:
    friend class FakeCommPort;
    friend class FakeCommOpener;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class FakeCommOpener final : public CommOpener {
  public:
    FakeCommOpener();            // installs itself as the process opener
    ~FakeCommOpener() override;  // restores the previous opener

    // A present device under `name` (the name as given to open, e.g. "COM7" or a
    // path). Adding a name twice returns the existing line.
    std::shared_ptr<FakeLine> add_line(const std::string& name);
    void remove_line(const std::string& name);
    std::shared_ptr<FakeLine> line(const std::string& name) const;
    // Results of the next open attempts of `name`, consumed one per attempt,
    // before the line's presence decides (absent: ERROR_FILE_NOT_FOUND; present
    // and open elsewhere: ERROR_ACCESS_DENIED).
    void script_open(const std::string& name, std::vector<DWORD> results);
    // Every open attempt so far, in order, with the clock time of each.
    std::vector<std::pair<std::string, std::uint64_t>> attempts() const;
    int attempts_of(const std::string& name) const;
    bool wait_for_attempts(const std::string& name, int n, std::uint32_t timeout_ms = 10000) const;

    DWORD open(const char* com_name_or_path, std::unique_ptr<CommPort>& out) override;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, std::shared_ptr<FakeLine>> lines_;
    std::map<std::string, std::deque<DWORD>> scripted_;
    std::vector<std::pair<std::string, std::uint64_t>> attempts_;
    CommOpener* previous_ = nullptr;
};

}  // namespace varolan::serial
