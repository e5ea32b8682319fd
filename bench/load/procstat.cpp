#include "bench/load/procstat.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace varolan::bench {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Fields of /proc/<pid>/stat after the command name: state is field 3.
bool read_stat(const std::string& path, int* ppid, double* cpu, long* threads) {
    std::string text = slurp(path);
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream rest(text.substr(close + 2));
    std::vector<std::string> f;
    std::string word;
    while (rest >> word) {
        f.push_back(word);
    }
    // f[0] is field 3 (state): ppid 4, utime 14, stime 15, num_threads 20.
    if (f.size() < 18) {
        return false;
    }
    static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    *ppid = std::atoi(f[1].c_str());
    *cpu = (std::strtod(f[11].c_str(), nullptr) + std::strtod(f[12].c_str(), nullptr)) / ticks;
    *threads = std::atol(f[17].c_str());
    return true;
}

long status_field(const std::string& text, const char* name) {
    const char* p = std::strstr(text.c_str(), name);
    if (p == nullptr) {
        return 0;
    }
    return std::atol(p + std::strlen(name));
}

// Context switches and nanoseconds on a CPU over all threads of `pid`.
long long switches_of(int pid, double* run_seconds) {
    long long total = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return 0;
    }
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::string text = slurp(dir + "/" + e->d_name + "/status");
        total += status_field(text, "\nvoluntary_ctxt_switches:");
        total += status_field(text, "\nnonvoluntary_ctxt_switches:");
        std::string sched = slurp(dir + "/" + e->d_name + "/schedstat");
        *run_seconds += std::strtod(sched.c_str(), nullptr) / 1e9;
    }
    ::closedir(d);
    return total;
}

void add_process(int pid, bool with_switches, ProcUsage& u) {
    std::string base = "/proc/" + std::to_string(pid);
    int ppid = 0;
    double cpu = 0;
    long threads = 0;
    if (!read_stat(base + "/stat", &ppid, &cpu, &threads)) {
        return;
    }
    u.ok = true;
    u.processes += 1;
    u.cpu_seconds += cpu;
    u.threads += threads;
    u.rss_kb += status_field(slurp(base + "/status"), "\nVmRSS:");
    u.pss_kb += status_field(slurp(base + "/smaps_rollup"), "\nPss:");
    if (with_switches) {
        u.context_switches += switches_of(pid, &u.run_seconds);
    }
}

}  // namespace

ProcUsage sample_processes(int root, bool with_children, bool with_switches) {
    ProcUsage u;
    add_process(root, with_switches, u);
    if (!with_children) {
        return u;
    }
    DIR* d = ::opendir("/proc");
    if (d == nullptr) {
        return u;
    }
    while (dirent* e = ::readdir(d)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == root) {
            continue;
        }
        int ppid = 0;
        double cpu = 0;
        long threads = 0;
        if (read_stat("/proc/" + std::to_string(pid) + "/stat", &ppid, &cpu, &threads) &&
            ppid == root) {
            add_process(pid, with_switches, u);
        }
    }
    ::closedir(d);
    return u;
}

namespace {
int fds_of(int pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (dirent* e = ::readdir(d)) {
        n += e->d_name[0] == '.' ? 0 : 1;
    }
    ::closedir(d);
    return n;
}
}  // namespace

int count_fds(int pid, bool with_children) {
    int total = fds_of(pid);
    if (!with_children || total < 0) {
        return total;
    }
    DIR* d = ::opendir("/proc");
    if (d == nullptr) {
        return total;
    }
    while (dirent* e = ::readdir(d)) {
        int child = std::atoi(e->d_name);
        int ppid = 0;
        double cpu = 0;
        long threads = 0;
        if (child > 0 && child != pid &&
            read_stat("/proc/" + std::to_string(child) + "/stat", &ppid, &cpu, &threads) &&
            ppid == pid) {
            int n = fds_of(child);
            total += n > 0 ? n : 0;
        }
    }
    ::closedir(d);
    return total;
}

std::string open_files_limit(int pid) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/limits"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream f(line.substr(14));
            std::string soft, hard;
            f >> soft >> hard;
            return soft + "/" + hard;
        }
    }
    return "";
}

}  // namespace varolan::bench
