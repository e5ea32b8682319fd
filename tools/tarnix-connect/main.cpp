// tarnix-connect: a user's client for the gateway's pipe. Every byte typed is
// sent as one message (the gateway's prompt reads one byte per message) and
// everything the gateway sends is written to standard output, both at the same
// time. The program ends with 0 when the gateway closes the pipe.
//
// With standard input not a terminal (scripts), end of input does not end the
// session at once: the program goes on showing what the gateway sends until the
// gateway closes the pipe or nothing has come for the linger time (default
// 2000 ms, --linger MS), so that a script's last command still gets its answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/core/clock.h"
#include "platform/core/event.h"
#include "platform/pipe/console.h"
#include "platform/pipe/pipe.h"

namespace {

using namespace varolan;

constexpr const char* PIPE_NAME = "\\\\.\\PIPE\\Tarnix";
constexpr std::uint32_t DEFAULT_LINGER_MS = 2000;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: tarnix-connect [--pipe PATH] [--linger MS]\n"
                 "Connects the terminal to the gateway's pipe (default %s).\n"
                 "  --pipe PATH   socket of the pipe to use\n"
                 "  --linger MS   after the end of a non-terminal input, wait this long\n"
                 "                for more output before leaving (default %u)\n",
                 pipe::pipe_socket_path(PIPE_NAME).c_str(), DEFAULT_LINGER_MS);
}

const char* status_text(DWORD status) {
    switch (status) {
        case ERROR_FILE_NOT_FOUND:
            return "no gateway is listening there";
        case ERROR_PATH_NOT_FOUND:
            return "no such directory";
        case ERROR_ACCESS_DENIED:
            return "permission denied";
        case ERROR_PIPE_BUSY:
            return "the gateway is busy";
        case ERROR_INVALID_PARAMETER:
            return "invalid socket path";
        default:
            return "connection failed";
    }
}

// Copies every message waiting (and the rest of a long one) to standard output.
// Returns 0 to go on, 1 when the gateway has closed, -1 on failure.
int drain_pipe(pipe::NamedPipe& p) {
    char buffer[8192];
    for (;;) {
        DWORD n = 0;
        DWORD status = p.read(buffer, sizeof buffer, &n);
        if (status == ERROR_BROKEN_PIPE) {
            return 1;
        }
        if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
            return -1;
        }
        if (n > 0 && !console::write_all(console::STDOUT_FD, buffer, n)) {
            return -1;
        }
        if (status == ERROR_SUCCESS) {
            return 0;
        }
    }
}

// Typed bytes read but not yet sent: the program reads the terminal only when
// this is empty, so it never holds more than one read's worth.
struct Typed {
    unsigned char bytes[4096];
    std::size_t pos = 0;
    std::size_t len = 0;
    bool empty() const { return pos == len; }
};

// Sends the typed bytes, one message each, as far as the pipe takes them now.
// Returns false when the gateway has gone.
bool send_typed(pipe::NamedPipe& p, Typed& typed) {
    while (!typed.empty()) {
        DWORD written = 0;
        if (p.write_nowait(&typed.bytes[typed.pos], 1, &written) != ERROR_SUCCESS) {
            return false;
        }
        if (written == 0) {
            return true;  // the pipe is full: go on when it takes more
        }
        ++typed.pos;
    }
    typed.pos = typed.len = 0;
    return true;
}

// Reads and writes at the same time: the gateway's output is copied to the
// terminal while typed bytes wait for room in the pipe, so a paste of any size
// into a host that echoes it goes through.
int run(const std::string& path, std::uint32_t linger_ms) {
    pipe::NamedPipe p;
    DWORD status = pipe::connect_pipe_client(path, &p);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "tarnix-connect: %s: %s\n", path.c_str(), status_text(status));
        return 1;
    }
    console::RawMode raw;
    raw.enter(console::STDIN_FD);

    Typed typed;
    bool input_open = true;
    std::uint64_t deadline = 0;
    for (;;) {
        const bool waiting_to_send = !typed.empty();
        PollFd fds[2] = {
            {p.poll_fd(), static_cast<short>(poll_in | (waiting_to_send ? poll_out : 0)), 0},
            {console::STDIN_FD, poll_in, 0}};
        const bool read_input = input_open && !waiting_to_send;
        std::uint32_t timeout = INFINITE_WAIT;
        if (!input_open && !waiting_to_send) {
            std::uint64_t now = monotonic_ms();
            if (now >= deadline) {
                return 0;
            }
            timeout = static_cast<std::uint32_t>(deadline - now);
        }
        int ready = poll_fds(fds, read_input ? 2 : 1, timeout);
        if (ready < 0) {
            raw.restore();
            std::fprintf(stderr, "tarnix-connect: poll failed\n");
            return 1;
        }
        if (ready == 0) {
            continue;  // the deadline is tested above
        }
        if ((fds[0].revents & ~poll_out) != 0) {
            int result = drain_pipe(p);
            if (result == 1) {
                return 0;
            }
            if (result < 0) {
                raw.restore();
                std::fprintf(stderr, "tarnix-connect: %s: read failed\n", path.c_str());
                return 1;
            }
            if (!input_open) {
                deadline = monotonic_ms() + linger_ms;
            }
        }
        if (read_input && fds[1].revents != 0) {
            long n = console::read_fd(console::STDIN_FD, typed.bytes, sizeof typed.bytes);
            if (n <= 0) {
                input_open = false;
                deadline = monotonic_ms() + linger_ms;
            } else {
                typed.pos = 0;
                typed.len = static_cast<std::size_t>(n);
            }
        }
        if (!send_typed(p, typed)) {
            // The gateway has gone: show what it still sent, then leave.
            return drain_pipe(p) < 0 ? 1 : 0;
        }
        if (!input_open && waiting_to_send && typed.empty()) {
            deadline = monotonic_ms() + linger_ms;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = varolan::pipe::pipe_socket_path(PIPE_NAME);
    std::uint32_t linger_ms = DEFAULT_LINGER_MS;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        auto take = [&](const char* opt) {
            std::size_t len = std::strlen(opt);
            if (arg == opt && i + 1 < argc) {
                value = argv[++i];
                return has_value = true;
            }
            if (arg.compare(0, len, opt) == 0 && arg.size() > len && arg[len] == '=') {
                value = arg.substr(len + 1);
                return has_value = true;
            }
            return false;
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        if (take("--pipe")) {
            path = value;
        } else if (take("--linger")) {
            char* end = nullptr;
            unsigned long ms = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || ms > 3600000) {
                std::fprintf(stderr, "tarnix-connect: bad --linger value: %s\n", value.c_str());
                return 2;
            }
            linger_ms = static_cast<std::uint32_t>(ms);
        } else {
            usage(stderr);
            return 2;
        }
        (void)has_value;
    }
    return run(path, linger_ms);
}
