#include "fake_upstream.h"

#include <chrono>
#include <cstdlib>

#include "test_support.h"

namespace test {

namespace {

constexpr auto deadline = std::chrono::seconds(10);
constexpr int io_timeout_ms = 10000;
constexpr int hold_poll_ms = 100;

// The announced body length of a request head; our clients write the name in this case.
std::size_t content_length(const std::string& head)
{
    std::size_t at = head.find("\r\nContent-Length: ");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoull(head.c_str() + at + 18, nullptr, 10));
}

// The head and as many body bytes as it announces (more if they came in
// the same receive); what arrived when the peer closed or stalled first.
std::string read_request(plat::socket_t c)
{
    std::string data;
    std::vector<char> buf(65536);
    std::size_t need = SIZE_MAX;
    while (data.size() < need) {
        long long n = plat::recv_some(c, buf.data(), buf.size());
        if (n <= 0) break;
        data.append(buf.data(), static_cast<std::size_t>(n));
        std::size_t end = data.find("\r\n\r\n");
        if (need == SIZE_MAX && end != std::string::npos)
            need = end + 4 + content_length(data.substr(0, end + 2));
    }
    return data;
}

}  // namespace

step send(std::string bytes) { return step{step::kind::send, std::move(bytes), 0}; }
step pause(int ms) { return step{step::kind::pause, {}, ms}; }
step wait_gate() { return step{step::kind::wait_gate, {}, 0}; }

script answer(std::string bytes)
{
    script s;
    s.steps.push_back(send(std::move(bytes)));
    return s;
}

script answer_in_pieces(const std::vector<std::string>& pieces, int ms)
{
    script s;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) s.steps.push_back(pause(ms));
        s.steps.push_back(send(pieces[i]));
    }
    return s;
}

script silence()
{
    script s;
    s.end = script::ending::hold_open;
    return s;
}

script reset_at_once()
{
    script s;
    s.read_request = false;
    return s;
}

fake_upstream::fake_upstream(script s) : fake_upstream(std::make_shared<const script>(std::move(s)), {}) {}

fake_upstream::fake_upstream(responder r) : fake_upstream(nullptr, std::move(r)) {}

fake_upstream::fake_upstream(std::shared_ptr<const script> fixed, responder r)
    : fixed_(std::move(fixed)), responder_(std::move(r)), listener_(listen_loopback())
{
    port_ = plat::local_port(listener_.get());
    listener_fd_ = listener_.get();
    accept_thread_ = std::thread([this] {
        for (;;) {
            plat::socket_t c = plat::accept_client(listener_.get());
            if (c == plat::invalid_socket) return;
            ++accepted_;
            std::lock_guard<std::mutex> lock(mutex_);
            threads_.emplace_back(&fake_upstream::serve, this, plat::socket_handle(c));
        }
    });
}

fake_upstream::~fake_upstream()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    plat::interrupt_accept(listener_fd_);
    accept_thread_.join();
    // On Windows the interrupt closes the listener itself.
    if (listener_fd_.load() == plat::invalid_socket) listener_.release();
    for (auto& t : threads_)
        t.join();
}

std::vector<std::string> fake_upstream::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool fake_upstream::wait_requests(std::size_t n) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return requests_.size() >= n; });
}

void fake_upstream::open_gate()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gate_open_ = true;
    }
    changed_.notify_all();
}

void fake_upstream::serve(plat::socket_handle c)
{
    plat::set_recv_timeout(c.get(), io_timeout_ms);
    plat::set_send_timeout(c.get(), io_timeout_ms);
    if (fixed_ && !fixed_->read_request) {
        // Closing with the request unread makes the kernel answer with a reset.
        char first;
        plat::peek_some(c.get(), &first, 1);
        return;
    }
    std::string request = read_request(c.get());
    if (fixed_) {
        record(std::move(request));
        run(c.get(), *fixed_);
    } else {
        script s = responder_(request);
        record(std::move(request));
        run(c.get(), s);
    }
}

void fake_upstream::run(plat::socket_t c, const script& s)
{
    for (const step& st : s.steps) {
        if (st.what == step::kind::send && !plat::send_all(c, st.bytes)) return;
        if (st.what == step::kind::pause) plat::sleep_ms(st.ms);
        if (st.what == step::kind::wait_gate && !wait_for_gate()) return;
    }
    if (s.end == script::ending::hold_open) hold(c);
}

void fake_upstream::hold(plat::socket_t c)
{
    plat::set_recv_timeout(c, hold_poll_ms);
    auto until = std::chrono::steady_clock::now() + deadline;
    char buf[4096];
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        long long n = plat::recv_some(c, buf, sizeof buf);
        if (n == 0) return;
        if (n < 0 && !plat::last_error_timed_out()) return;
    }
}

bool fake_upstream::wait_for_gate()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, deadline, [&] { return gate_open_ || stopping_; })) ++gate_timeouts_;
    return gate_open_;
}

int fake_upstream::gate_timeouts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return gate_timeouts_;
}

void fake_upstream::record(std::string request)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(std::move(request));
    }
    changed_.notify_all();
}

}  // namespace test
