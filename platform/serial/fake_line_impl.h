// The shared state of a fake line, behind the FakeLine the test drives
// (fake_comm.cpp) and the ports opened on it (fake_port.cpp, fake_opener.cpp).
// Internal to the fake.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/serial/fake_comm.h"

namespace varolan::serial {

namespace detail {
// The properties of a 16550-class UART with every modem line.
COMMPROP uart_properties();
}  // namespace detail

struct FakeLine::Impl {
    mutable std::mutex m;
    mutable std::condition_variable cv;
    std::deque<char> input;  // taken from the front a block at a time
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
    bool modem_lines = true;   // false: the driver reports no modem lines
    std::uint64_t reads = 0;   // ReadFile calls
    bool output_held = false;  // flow control holds the output
    bool open = false;
    std::uint64_t generation = 0;  // bumped by every open and close
    int opens = 0;
    int waiters = 0;
    int readers = 0;
    std::vector<std::pair<DcbField, DWORD>> refused_values;
    std::vector<DcbField> refused_any;
    std::map<CommCall, std::pair<int, DWORD>> failing;
    COMMPROP props = detail::uart_properties();
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
        if (it == failing.end() || it->second.first == 0) {
            return false;
        }
        *error = it->second.second;
        if (it->second.first > 0) {
            --it->second.first;
        }
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

// A port opened on `line`; `generation` tells this open from later ones.
std::unique_ptr<CommPort> make_fake_port(std::shared_ptr<FakeLine> line, std::uint64_t generation);

}  // namespace varolan::serial
