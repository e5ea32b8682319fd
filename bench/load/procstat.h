// Resource use of a process (and optionally its children) from /proc.
#pragma once

#include <string>

namespace varolan::bench {

struct ProcUsage {
    bool ok = false;
    double cpu_seconds = 0;  // user + system, all threads
    long rss_kb = 0;         // VmRSS summed over the processes
    long pss_kb = 0;         // proportional set size summed (shared pages split)
    long threads = 0;
    int processes = 0;
    long long context_switches = 0;  // voluntary + involuntary, all threads (when asked)
    // Time on a CPU as the scheduler counts it (nanosecond exact, living
    // threads only; when asked). The tick-sampled user + system time above can
    // be far off for threads that run in short bursts timed by the clock.
    double run_seconds = 0;
};

// `root` and, with `with_children`, its direct children.
ProcUsage sample_processes(int root, bool with_children, bool with_switches);

// Entries of /proc/<pid>/fd (-1 when unreadable); the direct children's too
// with `with_children`.
int count_fds(int pid, bool with_children = false);

// The "Max open files" line of /proc/<pid>/limits (soft and hard), or "".
std::string open_files_limit(int pid);

}  // namespace varolan::bench
