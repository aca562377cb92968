// The parts of a child process that are the same on every platform.
#include <cstdlib>

#include "child_process.h"

namespace test {

std::optional<int> child::wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return status_.has_value(); });
    return status_;
}

run_result run_program(const std::string& program, const child_options& opts,
                       std::chrono::milliseconds timeout)
{
    child c(program, opts);
    run_result r;
    r.status = c.wait(timeout);
    if (!r.status) {
        c.send_signal(9);  // SIGKILL's number: ends the child at once
        c.wait(std::chrono::seconds(10));
    }
    r.out = c.out();
    r.err = c.err();
    return r;
}

unsigned short banner_port(const std::string& out)
{
    std::size_t at = out.find("  Listening:    http://");
    if (at == std::string::npos) return 0;
    std::size_t colon = out.find(':', at + 23);
    std::size_t eol = out.find('\n', at);
    if (colon == std::string::npos || colon > eol) return 0;
    return static_cast<unsigned short>(std::atoi(out.c_str() + colon + 1));
}

}  // namespace test
