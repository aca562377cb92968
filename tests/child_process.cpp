#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace test {

namespace {

// Sets a soft limit in the child; 0 keeps the inherited one.
// Sets the soft limit to value, and the hard one too when hard is true.
bool apply_limit(int resource, std::uint64_t value, bool hard)
{
    if (value == 0) return true;
    rlimit r{};
    if (getrlimit(resource, &r) != 0) return false;
    if (r.rlim_max != RLIM_INFINITY && value > r.rlim_max) return false;
    r.rlim_cur = static_cast<rlim_t>(value);
    if (hard) r.rlim_max = r.rlim_cur;
    return setrlimit(resource, &r) == 0;
}

}  // namespace

child::child(const std::string& program, const child_options& opts)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return;
    }
    std::vector<std::string> argv_s;
    argv_s.push_back(program);
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (const auto& [name, value] : opts.env) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        if (!opts.working_dir.empty() && chdir(opts.working_dir.c_str()) != 0) _exit(126);
        // The test's own sockets must neither count against the child's
        // limits nor be kept open by it.
        close_range(3, ~0u, 0);
        if (!apply_limit(RLIMIT_NOFILE, opts.max_open_files, true) ||
            !apply_limit(RLIMIT_NOFILE, opts.soft_open_files, false) ||
            !apply_limit(RLIMIT_AS, opts.max_address_space, false))
            _exit(125);
        // The test runner may block signals; the server must see them.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (pid < 0) {
        close(out_fd_);
        close(err_fd_);
        return;
    }
    pid_ = pid;
    reader_ = std::thread(&child::read_pipes, this);
}

child::~child()
{
    if (pid_ > 0 && !wait(std::chrono::milliseconds(0))) {
        kill(static_cast<pid_t>(pid_), SIGKILL);
        wait(std::chrono::seconds(10));
    }
    if (reader_.joinable()) reader_.join();
}

void child::read_pipes()
{
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
    }
    int status = 0;
    waitpid(static_cast<pid_t>(pid_), &status, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    eof_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    changed_.notify_all();
}

bool child::wait_for_output(std::string_view text, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return out_.find(text) != std::string::npos || eof_; }) &&
           out_.find(text) != std::string::npos;
}

void child::send_signal(int sig)
{
    if (pid_ > 0) kill(static_cast<pid_t>(pid_), sig);
}

std::string child::out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string child::err()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

}  // namespace test
