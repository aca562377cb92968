// Runs the server program as a child process with its output captured,
// for tests of the command line, the banner and the stop request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace test {

struct child_options {
    std::vector<std::string> args;
    // Variables to set (value) or remove (nullopt) in the child's environment.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    std::string working_dir;  // empty: the test's own
    // Limits for the child alone, set between fork and exec; 0 keeps the
    // inherited one. POSIX only: the Windows side ignores them. The server
    // raises its soft descriptor limit to the hard one, so max_open_files
    // sets both; soft_open_files sets the soft one alone (ulimit -Sn).
    std::uint64_t max_open_files = 0;
    std::uint64_t soft_open_files = 0;
    std::uint64_t max_address_space = 0;
};

class child {
public:
    child(const std::string& program, const child_options& opts);
    ~child();
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    bool started() const { return pid_ > 0; }
    long pid() const { return pid_; }
    // True once the standard output holds text, false at the deadline.
    bool wait_for_output(std::string_view text, std::chrono::milliseconds timeout);
    void send_signal(int sig);
    // The exit status once the child has ended, nullopt at the deadline.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    std::string out();
    std::string err();

private:
    void read_pipes();

    long pid_ = -1;
    [[maybe_unused]] void* process_ = nullptr;  // Windows: the process handle
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool eof_ = false;
    std::optional<int> status_;
    std::thread reader_;
};

struct run_result {
    std::optional<int> status;  // nullopt: still running at the deadline (then killed)
    std::string out;
    std::string err;
};

// Runs a program to its end with a deadline.
run_result run_program(const std::string& program, const child_options& opts,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The listening port from the banner's "Listening:" line; 0 when absent.
unsigned short banner_port(const std::string& out);

}  // namespace test
