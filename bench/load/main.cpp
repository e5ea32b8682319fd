// varolan-bench: the same workloads through the gateway service, through socat
// and directly to the host, measured in one run. See docs/performance.md.
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/load/clients.h"
#include "bench/load/host.h"
#include "bench/load/procstat.h"
#include "bench/load/relays.h"
#include "bench/load/stats.h"

namespace varolan::bench {
namespace {

struct Options {
    std::vector<Path> paths{Path::tarnix, Path::socat, Path::direct};
    bool keys = true;
    bool bulk = true;
    bool setup = true;
    bool idle = true;
    bool at_prompt = false;  // the crowd stays at the gateway's prompt
    int clients = 1000;      // the large count: arrivals, idle sessions, keystrokes
    int many = 100;          // the middle count: keystrokes and bulk
    int keys_single = 2000;
    int key_rate = 1000;  // keystrokes per second, all typing clients together
    int think_ms = 0;     // when set: each client's think time, whatever the count
    int key_seconds = 5;
    int bulk_mb = 64;
    int bulk_many_kb = 1024;
    int bulk_rounds = 5;
    int idle_seconds = 10;
    int watchers = 10;
    int watch_think_ms = 10;
    int socat_backlog = 4096;
    int service_nofile = 0;  // soft open-files limit to start the service with (0: ours)
    std::string tarnix = VAROLAN_BENCH_TARNIX;
    std::string socat = "socat";
    std::string out;
};

void usage() {
    std::fprintf(stderr,
                 "usage: varolan-bench [--quick] [--paths=tarnix,socat,direct]\n"
                 "  [--workloads=keys,bulk,setup,idle] [--clients=1000] [--many=100]\n"
                 "  [--keys-single=2000] [--key-rate=1000] [--think-ms=N] [--key-seconds=5]\n"
                 "  [--bulk-mb=64] [--bulk-many-kb=1024] [--bulk-rounds=5]\n"
                 "  [--idle-seconds=10] [--watchers=10] [--socat-backlog=4096 (0: socat's own)]\n"
                 "  [--service-nofile=N (start the service with this soft open-files limit)]\n"
                 "  [--at-prompt (the crowd stays at the gateway's prompt, tarnix only)]\n"
                 "  [--tarnix=PATH] [--socat=PATH] [--out=FILE]\n");
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        if (!item.empty()) {
            out.push_back(item);
        }
    }
    return out;
}

bool parse(int argc, char** argv, Options& o) {
    std::map<std::string, int*> ints{{"--clients", &o.clients},
                                     {"--many", &o.many},
                                     {"--keys-single", &o.keys_single},
                                     {"--think-ms", &o.think_ms},
                                     {"--key-rate", &o.key_rate},
                                     {"--key-seconds", &o.key_seconds},
                                     {"--bulk-mb", &o.bulk_mb},
                                     {"--bulk-many-kb", &o.bulk_many_kb},
                                     {"--bulk-rounds", &o.bulk_rounds},
                                     {"--idle-seconds", &o.idle_seconds},
                                     {"--watchers", &o.watchers},
                                     {"--socat-backlog", &o.socat_backlog},
                                     {"--service-nofile", &o.service_nofile}};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg.substr(0, arg.find('='));
        std::string value = arg.find('=') == std::string::npos ? "" : arg.substr(arg.find('=') + 1);
        if (arg == "--quick") {
            o.keys_single = 1000;
            o.key_seconds = 2;
            o.bulk_mb = 16;
            o.bulk_many_kb = 256;
            o.bulk_rounds = 3;
            o.idle_seconds = 3;
        } else if (ints.count(name) != 0 && !value.empty()) {
            *ints[name] = std::atoi(value.c_str());
            if (*ints[name] < 0) {
                return false;
            }
        } else if (name == "--paths") {
            o.paths.clear();
            for (const std::string& p : split(value)) {
                if (p == "tarnix") {
                    o.paths.push_back(Path::tarnix);
                } else if (p == "socat") {
                    o.paths.push_back(Path::socat);
                } else if (p == "direct") {
                    o.paths.push_back(Path::direct);
                } else {
                    return false;
                }
            }
        } else if (name == "--workloads") {
            o.keys = o.bulk = o.setup = o.idle = false;
            for (const std::string& w : split(value)) {
                if (w == "keys") {
                    o.keys = true;
                } else if (w == "bulk") {
                    o.bulk = true;
                } else if (w == "setup") {
                    o.setup = true;
                } else if (w == "idle") {
                    o.idle = true;
                } else {
                    return false;
                }
            }
        } else if (arg == "--at-prompt") {
            o.at_prompt = true;
        } else if (name == "--tarnix") {
            o.tarnix = value;
        } else if (name == "--socat") {
            o.socat = value;
        } else if (name == "--out") {
            o.out = value;
        } else {
            return false;
        }
    }
    return o.clients >= 1 && o.many >= 1 && o.key_rate >= 1 && !o.paths.empty();
}

struct PathResult {
    bool ran = false;
    std::string error;
    std::string note;
    Summary keys_single, keys_many, keys_clients;
    std::vector<double> bulk_single_mbs, bulk_many_mbs;
    SetupResult setup;
    Summary watch_before, watch_during, watch_idle;
    bool idle_measured = false;
    int idle_sessions = 0;
    double idle_cpu_pct = 0;
    double idle_run_pct = 0;
    double idle_switches_per_s = 0;
    long rss_base_kb = 0, rss_kb = 0, pss_base_kb = 0, pss_kb = 0, threads = 0;
    double arrival_cpu_s = -1;  // relay CPU time spent while the crowd arrived
    int open_fds = -1;
    int processes = 0;
    std::string nofile;
};

// Think time of each of `clients` typing clients: the given one, or the one that
// makes them type `key_rate` keys a second together.
int think_time(const Options& o, std::size_t clients) {
    if (o.think_ms > 0) {
        return o.think_ms;
    }
    return static_cast<int>(std::max<std::size_t>(1, clients * 1000 / o.key_rate));
}

std::vector<double> rtts(const std::vector<RttSample>& samples) {
    std::vector<double> v;
    v.reserve(samples.size());
    for (const RttSample& s : samples) {
        v.push_back(s.rtt_us);
    }
    return v;
}

void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

bool wait_host_idle(BenchHost& host, int timeout_ms) {
    std::int64_t end = monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1000000;
    while (host.open_connections() > 0) {
        if (monotonic_ns() > end) {
            return false;
        }
        ::usleep(5000);
    }
    return true;
}

// One relay under test (none for the direct path) and its clients.
struct Relay {
    Path path = Path::direct;
    TarnixRelay tarnix;
    SocatRelay socat;
    std::string socket_path;
    int pid = -1;
    bool children = false;
    std::unique_ptr<ClientSet> clients;

    bool start(const Options& o, Path p, BenchHost& host, const std::string& work, PathResult& r) {
        path = p;
        if (p == Path::tarnix) {
            // A fresh store and runtime directory for every start.
            static int starts = 0;
            std::string dir = work + "/tarnix-" + std::to_string(++starts);
            std::filesystem::create_directories(dir);
            const auto sessions = static_cast<std::uint32_t>(o.clients + o.many + o.watchers + 16);
            if (!tarnix.start(o.tarnix, dir, host.port(), sessions,
                              static_cast<unsigned>(o.service_nofile), &r.error)) {
                return false;
            }
            pid = tarnix.pid();
            log("[tarnix] service process %d", pid);
            socket_path = tarnix.socket_path();
        } else if (p == Path::socat) {
            if (!socat.start(o.socat, work, host.port(), o.socat_backlog, &r.error)) {
                return false;
            }
            pid = socat.pid();
            socket_path = socat.socket_path();
            children = true;
            r.note = socat.command();
        }
        r.ran = true;
        if (pid > 0) {
            r.nofile = open_files_limit(pid);
            ProcUsage base = sample_processes(pid, children, false);
            r.rss_base_kb = base.rss_kb;
            r.pss_base_kb = base.pss_kb;
        }
        clients = std::make_unique<ClientSet>(p, socket_path, host);
        return true;
    }
    void stop(PathResult& r) {
        if (clients) {
            if (clients->stray_bytes() != 0) {
                r.note += (r.note.empty() ? "" : "; ") + std::to_string(clients->stray_bytes()) +
                          " unexpected bytes received";
            }
            clients->close_all();
            clients.reset();
        }
        tarnix.stop();
        socat.stop();
    }
};

// Keystrokes and bulk with 1 and with the middle count of clients. Every path
// runs at the same time and the rounds take turns, so that all paths see the
// same background load of the machine.
void run_paired(const Options& o, BenchHost& host, const std::string& work,
                std::map<Path, PathResult>& results) {
    std::vector<std::unique_ptr<Relay>> relays;
    std::map<Path, std::vector<int>> one, many;
    for (Path p : o.paths) {
        auto relay = std::make_unique<Relay>();
        PathResult& r = results[p];
        if (!relay->start(o, p, host, work, r)) {
            continue;
        }
        std::vector<int> ids;
        if (relay->clients->connect(1, 30000, &ids).served != 1) {
            r.error = "a single client could not reach the host";
            relay->stop(r);
            continue;
        }
        one[p] = ids;
        if (relay->clients->connect(o.many - 1, 60000, &ids).served != o.many - 1) {
            r.error = "not every one of the middle count of clients reached the host";
            relay->stop(r);
            continue;
        }
        many[p] = one[p];
        many[p].insert(many[p].end(), ids.begin(), ids.end());
        relays.push_back(std::move(relay));
    }
    constexpr int slices = 10;
    std::map<Path, std::vector<RttSample>> single, middle;
    std::map<Path, std::vector<double>> bulk1, bulkn;
    const int rounds = std::max(slices, o.bulk_rounds);
    for (int round = 0; round < rounds; ++round) {
        log("round %d of %d", round + 1, rounds);
        for (auto& relay : relays) {
            Path p = relay->path;
            ClientSet& cs = *relay->clients;
            PathResult& r = results[p];
            if (!r.error.empty()) {
                continue;
            }
            if (o.keys && round < slices) {
                // Single client, keys back to back: a tenth of the samples.
                cs.start_typing(one[p], 0);
                std::int64_t end = monotonic_ns() + 20ll * 1000000000;
                std::size_t want = static_cast<std::size_t>(o.keys_single / slices);
                std::vector<RttSample> got;
                while (got.size() < want && monotonic_ns() < end) {
                    cs.run_for(20);
                    auto more = cs.take_samples();
                    got.insert(got.end(), more.begin(), more.end());
                }
                cs.stop_typing(one[p]);
                cs.settle(one[p], 5000);
                cs.take_samples();
                single[p].insert(single[p].end(), got.begin(), got.end());
                // The middle count: a tenth of the time.
                cs.start_typing(many[p], think_time(o, many[p].size()));
                cs.run_for(std::max(100, o.key_seconds * 1000 / slices));
                cs.stop_typing(many[p]);
                cs.settle(many[p], 10000);
                auto m = cs.take_samples();
                middle[p].insert(middle[p].end(), m.begin(), m.end());
            }
            if (o.bulk && round < o.bulk_rounds) {
                double secs = 0;
                std::uint64_t bytes = static_cast<std::uint64_t>(o.bulk_mb) << 20;
                if (!cs.bulk(one[p], bytes, 120000, &secs) || secs <= 0) {
                    r.error = "bulk transfer to one client failed";
                    continue;
                }
                bulk1[p].push_back(static_cast<double>(bytes) / 1e6 / secs);
                bytes = static_cast<std::uint64_t>(o.bulk_many_kb) << 10;
                if (!cs.bulk(many[p], bytes, 120000, &secs) || secs <= 0) {
                    r.error = "bulk transfer to many clients failed";
                    continue;
                }
                bulkn[p].push_back(static_cast<double>(bytes) * many[p].size() / 1e6 / secs);
            }
        }
    }
    for (auto& relay : relays) {
        Path p = relay->path;
        PathResult& r = results[p];
        r.keys_single = summarize(rtts(single[p]));
        r.keys_many = summarize(rtts(middle[p]));
        r.bulk_single_mbs = bulk1[p];
        r.bulk_many_mbs = bulkn[p];
        relay->stop(r);
    }
    if (!wait_host_idle(host, 60000)) {
        log("host connections stayed open after the clients left");
    }
}

// The crowd: watchers, many clients arriving at once, idle sessions, and
// keystrokes of the whole crowd. One path at a time.
void run_crowd(const Options& o, Path path, BenchHost& host, const std::string& work,
               PathResult& r) {
    Relay relay;
    if (!relay.start(o, path, host, work, r)) {
        return;
    }
    ClientSet& cs = *relay.clients;
    const char* name = path_name(path);
    const int relay_pid = relay.pid;
    const bool children = relay.children;
    std::vector<int> watch;
    if (o.watchers > 0) {
        SetupResult sw = cs.connect(o.watchers, 30000, &watch);
        if (sw.served != o.watchers) {
            r.error = "watchers could not reach the host";
            relay.stop(r);
            return;
        }
        cs.start_typing(watch, o.watch_think_ms);
        cs.run_for(1000);
        r.watch_before = summarize(rtts(cs.take_samples()));
    }
    log("[%s] %d clients arriving at once%s", name, o.clients,
        o.at_prompt ? ", staying at the prompt" : "");
    cs.hold_at_prompt(o.at_prompt);
    std::vector<int> crowd;
    ProcUsage before_crowd;
    if (relay_pid > 0) {
        before_crowd = sample_processes(relay_pid, children, false);
    }
    r.setup = cs.connect(o.clients, 120000, &crowd);
    if (relay_pid > 0) {
        r.arrival_cpu_s =
            sample_processes(relay_pid, children, false).cpu_seconds - before_crowd.cpu_seconds;
    }
    r.watch_during = summarize(rtts(cs.take_samples()));
    cs.stop_typing(watch);
    cs.settle(watch, 10000);
    cs.take_samples();
    log("[%s] served %d refused %d timed out %d retries %ld in %.0f ms", name, r.setup.served,
        r.setup.refused, r.setup.timed_out, r.setup.retries, r.setup.wall_ms);

    if (o.idle && relay_pid > 0) {
        log("[%s] %d idle sessions", name, cs.live());
        cs.run_for(1000);
        ProcUsage u0 = sample_processes(relay_pid, children, true);
        std::int64_t t0 = monotonic_ns();
        cs.run_for(o.idle_seconds * 1000);
        ProcUsage u1 = sample_processes(relay_pid, children, true);
        double secs = static_cast<double>(monotonic_ns() - t0) / 1e9;
        r.idle_measured = true;
        r.idle_sessions = cs.live();
        r.idle_cpu_pct = (u1.cpu_seconds - u0.cpu_seconds) / secs * 100.0;
        r.idle_run_pct = (u1.run_seconds - u0.run_seconds) / secs * 100.0;
        r.idle_switches_per_s =
            static_cast<double>(u1.context_switches - u0.context_switches) / secs;
        r.rss_kb = u1.rss_kb;
        r.pss_kb = u1.pss_kb;
        r.threads = u1.threads;
        r.processes = u1.processes;
        r.open_fds = count_fds(relay_pid, children);
        if (!watch.empty()) {
            // The watchers type again while the crowd stays idle.
            cs.start_typing(watch, o.watch_think_ms);
            cs.run_for(3000);
            cs.stop_typing(watch);
            cs.settle(watch, 10000);
            r.watch_idle = summarize(rtts(cs.take_samples()));
        }
    }
    if (o.keys && !crowd.empty() && !o.at_prompt) {
        log("[%s] keystrokes, %d clients", name, r.setup.served);
        cs.start_typing(crowd, think_time(o, crowd.size()));
        cs.run_for(o.key_seconds * 1000);
        cs.stop_typing(crowd);
        cs.settle(crowd, 10000);
        r.keys_clients = summarize(rtts(cs.take_samples()));
    }
    relay.stop(r);
    if (!wait_host_idle(host, 60000) && r.error.empty()) {
        r.error = "host connections stayed open after the clients left";
    }
}

// --- report --------------------------------------------------------------------

std::string fmt(double v, int decimals = 1) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string ratio(double a, double b) {
    if (b <= 0 || a <= 0) {
        return "-";
    }
    return fmt(a / b, 2) + "x";
}

struct Report {
    std::ostringstream out;
    std::map<Path, PathResult>* results;
    const PathResult* get(Path p) const {
        auto it = results->find(p);
        return it != results->end() && it->second.ran ? &it->second : nullptr;
    }
};

void latency_table(Report& rep, const char* title, Summary PathResult::*field,
                   const std::string& clients) {
    auto& out = rep.out;
    bool any = false;
    for (auto& [p, r] : *rep.results) {
        any = any || (r.*field).count > 0;
    }
    if (!any) {
        return;
    }
    out << "\n| " << title << " | path | samples | min µs | median µs | p99 µs | max µs | "
        << "median vs socat | p99 vs socat | median vs direct | p99 vs direct |\n"
        << "|---|---|---|---|---|---|---|---|---|---|---|\n";
    const PathResult* socat = rep.get(Path::socat);
    const PathResult* direct = rep.get(Path::direct);
    for (Path p : {Path::tarnix, Path::socat, Path::direct}) {
        const PathResult* r = rep.get(p);
        if (r == nullptr) {
            continue;
        }
        const Summary& s = r->*field;
        if (s.count == 0) {
            continue;
        }
        const Summary* so = socat ? &(socat->*field) : nullptr;
        const Summary* di = direct ? &(direct->*field) : nullptr;
        out << "| " << clients << " | " << path_name(p) << " | " << s.count << " | " << fmt(s.min)
            << " | " << fmt(s.median) << " | " << fmt(s.p99) << " | " << fmt(s.max) << " | "
            << (so ? ratio(s.median, so->median) : "-") << " | "
            << (so ? ratio(s.p99, so->p99) : "-") << " | "
            << (di ? ratio(s.median, di->median) : "-") << " | "
            << (di ? ratio(s.p99, di->p99) : "-") << " |\n";
    }
}

void throughput_table(Report& rep, const char* title, std::vector<double> PathResult::*field) {
    auto& out = rep.out;
    out << "\n| " << title << " | path | rounds | min MB/s | median MB/s | max MB/s | "
        << "median vs socat | median vs direct |\n|---|---|---|---|---|---|---|---|\n";
    auto median = [](const std::vector<double>& v) { return summarize(v).median; };
    const PathResult* socat = rep.get(Path::socat);
    const PathResult* direct = rep.get(Path::direct);
    for (Path p : {Path::tarnix, Path::socat, Path::direct}) {
        const PathResult* r = rep.get(p);
        if (r == nullptr || (r->*field).empty()) {
            continue;
        }
        Summary s = summarize(r->*field);
        out << "| " << title << " | " << path_name(p) << " | " << s.count << " | " << fmt(s.min)
            << " | " << fmt(s.median) << " | " << fmt(s.max) << " | "
            << (socat ? ratio(s.median, median(socat->*field)) : "-") << " | "
            << (direct ? ratio(s.median, median(direct->*field)) : "-") << " |\n";
    }
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string render(const Options& o, std::map<Path, PathResult>& results,
                   const std::string& load_before) {
    Report rep;
    rep.results = &results;
    auto& out = rep.out;
    char date[64];
    std::time_t t = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", std::localtime(&t));
    out << "Load average before the run " << load_before << ", after it " << load_average()
        << ".\n";
    out << "Run of " << date << " on " << ::sysconf(_SC_NPROCESSORS_ONLN) << " CPUs; " << o.clients
        << " clients at once, " << o.many << " for the middle count; keystrokes: ";
    if (o.think_ms > 0) {
        out << "think time " << o.think_ms << " ms per client";
    } else {
        out << o.key_rate << " a second from all clients together";
    }
    out << ", " << o.key_seconds << " s per level; " << o.bulk_rounds << " bulk rounds of "
        << o.bulk_mb << " MiB (1 client) and " << o.bulk_many_kb << " KiB each (" << o.many
        << " clients).\n\n";
    for (auto& [p, r] : results) {
        if (!r.error.empty()) {
            out << "- " << path_name(p) << ": FAILED: " << r.error << "\n";
        }
        if (!r.note.empty()) {
            out << "- " << path_name(p) << ": " << r.note << "\n";
        }
        if (!r.nofile.empty()) {
            out << "- " << path_name(p) << ": open files limit (soft/hard) " << r.nofile << "\n";
        }
    }
    out << "\n#### Keystroke round trip\n\n";
    latency_table(rep, "clients", &PathResult::keys_single, "1");
    latency_table(rep, "clients", &PathResult::keys_many, std::to_string(o.many));
    latency_table(rep, "clients", &PathResult::keys_clients, std::to_string(o.clients));
    out << "\n#### Bulk host-to-user throughput\n\n";
    throughput_table(rep, "1 client", &PathResult::bulk_single_mbs);
    throughput_table(rep, (std::to_string(o.many) + " clients, aggregate").c_str(),
                     &PathResult::bulk_many_mbs);

    bool setup_ran = false;
    for (auto& [p, r] : results) {
        setup_ran = setup_ran || r.setup.requested > 0;
    }
    if (!setup_ran) {
        return out.str();
    }
    out << "\n#### Connection set-up, " << o.clients << " clients at once\n\n"
        << "| path | served | refused | timed out | queue-full retries | min ms | median ms | "
           "p99 ms | max ms | all served after ms | relay CPU s | median vs socat | p99 vs socat | "
           "median vs direct |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    const PathResult* socat = rep.get(Path::socat);
    const PathResult* direct = rep.get(Path::direct);
    for (Path p : {Path::tarnix, Path::socat, Path::direct}) {
        const PathResult* r = rep.get(p);
        if (r == nullptr || r->setup.requested == 0) {
            continue;
        }
        Summary s = summarize(r->setup.setup_ms);
        Summary so = socat ? summarize(socat->setup.setup_ms) : Summary{};
        Summary di = direct ? summarize(direct->setup.setup_ms) : Summary{};
        out << "| " << path_name(p) << " | " << r->setup.served << " | " << r->setup.refused
            << " | " << r->setup.timed_out << " | " << r->setup.retries << " | " << fmt(s.min, 2)
            << " | " << fmt(s.median, 2) << " | " << fmt(s.p99, 2) << " | " << fmt(s.max, 2)
            << " | " << fmt(r->setup.wall_ms, 1) << " | "
            << (r->arrival_cpu_s >= 0 ? fmt(r->arrival_cpu_s, 2) : std::string("-")) << " | "
            << ratio(s.median, so.median) << " | " << ratio(s.p99, so.p99) << " | "
            << ratio(s.median, di.median) << " |\n";
    }
    if (const PathResult* r = rep.get(Path::tarnix); r != nullptr && !r->setup.prompt_ms.empty()) {
        Summary s = summarize(r->setup.prompt_ms);
        out << "\ntarnix, connect to prompt: min " << fmt(s.min, 2) << " ms, median "
            << fmt(s.median, 2) << " ms, p99 " << fmt(s.p99, 2) << " ms, max " << fmt(s.max, 2)
            << " ms.\n";
    }
    out << "\nKeystroke round trip of " << o.watchers << " already connected clients (think "
        << o.watch_think_ms << " ms), before and while the crowd arrives, and while it idles "
        << "(3 s):\n\n"
        << "| path | before: samples | median µs | p99 µs | max µs | during: samples | "
           "median µs | p99 µs | max µs | idle crowd: samples | median µs | p99 µs | max µs |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    auto cells = [](const Summary& s) {
        return std::to_string(s.count) + " | " + fmt(s.median) + " | " + fmt(s.p99) + " | " +
               fmt(s.max);
    };
    for (Path p : {Path::tarnix, Path::socat, Path::direct}) {
        const PathResult* r = rep.get(p);
        if (r == nullptr || r->watch_before.count == 0) {
            continue;
        }
        out << "| " << path_name(p) << " | " << cells(r->watch_before) << " | "
            << cells(r->watch_during) << " | "
            << (r->watch_idle.count > 0 ? cells(r->watch_idle) : "- | - | - | -") << " |\n";
    }

    out << "\n#### Idle sessions\n\n"
        << "| path | sessions | CPU % of one core | CPU % (ticks) | context switches/s | "
           "processes | threads | open fds | RSS before KiB | RSS KiB | RSS/session KiB | "
           "PSS/session KiB |\n"
        << "|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (Path p : {Path::tarnix, Path::socat}) {
        const PathResult* r = rep.get(p);
        if (r == nullptr || !r->idle_measured || r->idle_sessions == 0) {
            continue;
        }
        double n = r->idle_sessions;
        out << "| " << path_name(p) << " | " << r->idle_sessions << " | " << fmt(r->idle_run_pct, 2)
            << " | " << fmt(r->idle_cpu_pct, 2) << " | " << fmt(r->idle_switches_per_s, 0) << " | "
            << r->processes << " | " << r->threads << " | " << r->open_fds << " | "
            << r->rss_base_kb << " | " << r->rss_kb << " | "
            << fmt(static_cast<double>(r->rss_kb - r->rss_base_kb) / n, 1) << " | "
            << fmt(static_cast<double>(r->pss_kb - r->pss_base_kb) / n, 1) << " |\n";
    }
    return out.str();
}

}  // namespace
}  // namespace varolan::bench

int main(int argc, char** argv) {
    using namespace varolan::bench;
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // Enough descriptors for every client here, and for the relays, which inherit
    // the limit from this process.
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    // Here two per client (its socket and the host's end), in the relay up to
    // six per session; a privileged run raises the hard limit for that.
    const auto everyone = static_cast<rlim_t>(o.clients + o.many + o.watchers);
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_max < everyone * 6 + 1024) {
        rlimit raised{everyone * 6 + 1024, everyone * 6 + 1024};
        ::setrlimit(RLIMIT_NOFILE, &raised);
    }
    ::getrlimit(RLIMIT_NOFILE, &lim);
    // A client held at the prompt has no host end here.
    rlim_t need = everyone * 2 + 64 - (o.at_prompt ? static_cast<rlim_t>(o.clients) : 0);
    if (lim.rlim_cur < need) {
        std::fprintf(stderr, "varolan-bench: open files limit %lu is below the %lu needed\n",
                     static_cast<unsigned long>(lim.rlim_cur), static_cast<unsigned long>(need));
        return 1;
    }
    // The service is started by a double fork; adopt it so it can be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    char templ[] = "/tmp/varolan-bench-XXXXXX";
    if (::mkdtemp(templ) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string work = templ;
    BenchHost host;
    if (!host.start()) {
        std::fprintf(stderr, "varolan-bench: cannot start the host\n");
        return 1;
    }
    std::map<Path, PathResult> results;
    const std::string load_before = load_average();
    if (o.keys || o.bulk) {
        run_paired(o, host, work, results);
    }
    if (o.setup || o.idle || o.keys) {
        for (Path p : o.paths) {
            PathResult& r = results[p];
            if (o.at_prompt && p != Path::tarnix) {
                log("[%s] has no prompt: no crowd with --at-prompt", path_name(p));
                continue;
            }
            if (r.error.empty()) {
                run_crowd(o, p, host, work, r);
            }
        }
    }
    for (auto& [p, r] : results) {
        if (!r.error.empty()) {
            std::fprintf(stderr, "varolan-bench: %s: %s\n", path_name(p), r.error.c_str());
        }
    }
    host.stop();
    std::error_code ec;
    std::filesystem::remove_all(work, ec);

    std::string text = render(o, results, load_before);
    std::fputs(text.c_str(), stdout);
    if (!o.out.empty()) {
        std::ofstream(o.out) << text;
    }
    bool failed = false;
    for (auto& [p, r] : results) {
        failed = failed || !r.error.empty();
    }
    return failed ? 1 : 0;
}
