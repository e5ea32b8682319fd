// The users of the bench: any number of clients driven by one epoll loop on
// the calling thread. Each client connects by one of the three paths, gets to
// its host connection (through the gateway's prompt with "O 127.0.0.1" typed
// one byte per message), and then types keystrokes (one byte, waiting for its
// echo) or asks the host for bulk text.
#pragma once

#include <cstdint>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "bench/load/host.h"

namespace varolan::bench {

enum class Path { tarnix, socat, direct };
const char* path_name(Path path);

struct RttSample {
    std::int64_t sent_ns = 0;
    double rtt_us = 0;
};

struct SetupResult {
    int requested = 0;
    int served = 0;                 // reached the host
    int refused = 0;                // connect refused, or the connection ended before the host
    int timed_out = 0;              // still on the way at the deadline
    long retries = 0;               // connects retried because the listen queue was full
    std::vector<double> setup_ms;   // connect to the host's accept, per served client
    std::vector<double> prompt_ms;  // connect to the prompt (gateway path only)
    double wall_ms = 0;             // first connect to the last client served
};

class ClientSet {
  public:
    ClientSet(Path path, std::string socket_path, BenchHost& host);
    ~ClientSet();
    ClientSet(const ClientSet&) = delete;
    ClientSet& operator=(const ClientSet&) = delete;

    // Starts `count` new clients at once and runs the loop until each has
    // reached the host, failed, or the time-out passed. Their ids go to `ids`.
    SetupResult connect(int count, int timeout_ms, std::vector<int>* ids);

    // Keystrokes: each typing client sends one byte, waits for its echo, then
    // waits its think time (uniform in [think/2, 3*think/2]; 0 = at once).
    void start_typing(const std::vector<int>& ids, int think_ms);
    void stop_typing(const std::vector<int>& ids);
    // Runs the loop; samples of every typing client are collected.
    void run_for(int ms);
    std::vector<RttSample> take_samples();
    // Runs the loop until every client in `ids` has no keystroke in flight.
    void settle(const std::vector<int>& ids, int timeout_ms);

    // Each client in `ids` asks the host for `bytes` and reads them all.
    // Returns false on time-out or a failed client; `seconds` from the request
    // to the last byte of the last client.
    bool bulk(const std::vector<int>& ids, std::uint64_t bytes, int timeout_ms, double* seconds);

    // Clients connected from now on stop at the gateway's prompt instead of
    // opening a host connection: served means the prompt came.
    void hold_at_prompt(bool on) { hold_at_prompt_ = on; }

    void close_all();
    int live() const;
    long stray_bytes() const { return stray_bytes_; }

  private:
    bool hold_at_prompt_ = false;
    enum class State { connecting, prompt, greeting, ready, failed, closed };
    struct Client {
        int fd = -1;
        State state = State::connecting;
        std::int64_t t_start = 0;
        std::int64_t t_prompt = 0;
        std::int64_t t_ready = 0;
        double setup_ms = -1;
        std::string text;
        bool retry = false;
        long retries = 0;
        bool hold = false;  // stays at the prompt
        bool typing = false;
        int think_ms = 0;
        bool awaiting = false;
        std::int64_t t_sent = 0;
        std::int64_t next_send = 0;
        std::uint64_t bulk_want = 0;
        std::uint64_t bulk_got = 0;
        std::int64_t bulk_done = 0;
    };

    void begin_connect(int id);
    void poll_once(int timeout_ms);
    void on_event(int id, std::uint32_t events);
    void on_data(int id, const char* data, std::size_t n);
    void fail(int id, State state);
    void send_key(int id);
    void schedule(int id, std::int64_t now);

    Path path_;
    std::string socket_path_;
    BenchHost& host_;
    int epoll_fd_ = -1;
    std::vector<Client> clients_;
    std::vector<int> retry_list_;
    std::priority_queue<std::pair<std::int64_t, int>, std::vector<std::pair<std::int64_t, int>>,
                        std::greater<>>
        timers_;
    std::vector<RttSample> samples_;
    long stray_bytes_ = 0;
    std::uint64_t rng_ = 0x9e3779b97f4a7c15ull;
};

}  // namespace varolan::bench
