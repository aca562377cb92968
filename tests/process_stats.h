// What the load and fault tests read about a running server process from
// /proc (Linux only): threads, descriptors, memory and processor time.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform.h"

namespace test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool under_asan = true;
#else
inline constexpr bool under_asan = false;
#endif
#if defined(__SANITIZE_THREAD__)
inline constexpr bool under_tsan = true;
#else
inline constexpr bool under_tsan = false;
#endif

// The threads of a server that serves nobody: its main thread, the one that
// waits for the stop request, and ThreadSanitizer's own background thread.
inline constexpr long long idle_threads = under_tsan ? 3 : 2;

// One "Name: value" field of /proc/<pid>/status as a number (kB for
// memory); -1 when the process or the field is gone.
inline long long status_field(long pid, const std::string& name)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stoll(line.substr(name.size() + 1));
    }
    return -1;
}

inline long long thread_count(long pid) { return status_field(pid, "Threads"); }
inline long long rss_kib(long pid) { return status_field(pid, "VmRSS"); }
inline long long peak_rss_kib(long pid) { return status_field(pid, "VmHWM"); }
inline long long peak_virtual_kib(long pid) { return status_field(pid, "VmPeak"); }

// Entries of a /proc folder such as fd or task; -1 entries when it is gone.
inline std::vector<std::string> proc_entries(long pid, const std::string& folder)
{
    std::vector<std::string> names;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/" + folder).c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

inline long long descriptor_count(long pid) { return static_cast<long long>(proc_entries(pid, "fd").size()); }

// True when a thread blocks sig (a sanitizer's own threads block them all).
inline bool blocks_signal(long pid, long tid, int sig)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(f, line);) {
        if (line.compare(0, 7, "SigBlk:") == 0)
            return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    }
    return true;
}

// The first child process of pid (a program run under a tracer), or 0.
inline long first_child(long pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    long child = 0;
    f >> child;
    return child;
}

// Processor time (user and system) the process has used so far.
inline double cpu_seconds(long pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are plain.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Sends sig to one thread of a process.
inline bool signal_thread(long pid, long tid, int sig) { return syscall(SYS_tgkill, pid, tid, sig) == 0; }

// Polls a condition that no event reports (a count in /proc) until it
// holds or the deadline passes.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        plat::sleep_ms(5);
    }
}

// Raises this process's descriptor limit to its hard limit; the new soft limit.
inline std::uint64_t raise_open_file_limit()
{
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    getrlimit(RLIMIT_NOFILE, &r);
    return r.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(r.rlim_cur);
}

// The p-th percentile (0..100) of a sample, by rank.
template <typename T>
T percentile(std::vector<T> sample, double p)
{
    std::sort(sample.begin(), sample.end());
    std::size_t rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(sample.size() - 1) + 0.5);
    return sample[std::min(rank, sample.size() - 1)];
}

}  // namespace test
