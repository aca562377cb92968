// The server program under load: thousands of idle clients, request
// bodies past the body bound, and every route at once for a while.
#include "server_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "process_stats.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

// The body length a response's head announces; -1 without one.
long long announced_length(const std::string& head)
{
    std::size_t at = head.find("\r\nContent-Length: ");
    return at == std::string::npos ? -1 : std::atoll(head.c_str() + at + 18);
}

class Load : public test::server_process_test {};

// Half heads hold one thread each; a fresh request must not wait for them.
TEST_F(Load, FiveThousandIdleClientsDoNotSlowAFreshRequest)
{
    constexpr int idle_count = 5000;
    // The child inherits the raised limit; the test holds the client ends.
    std::uint64_t limit = test::raise_open_file_limit();
    if (limit < idle_count + 200) GTEST_SKIP() << "needs 5200 descriptors, the hard limit is " << limit;
    start(test::server_binary());
    const long pid = proc->pid();
    ASSERT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    const long long base_threads = test::idle_threads;
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads; }));
    const long long base_fds = test::descriptor_count(pid);

    std::vector<plat::socket_handle> idle;
    auto opened = clock_type::now();
    for (int i = 0; i < idle_count; ++i) {
        idle.push_back(test::idle_client(port));
        ASSERT_TRUE(idle.back().valid()) << "client " << i;
        // Stay within the listen backlog: a full queue drops connects for a second.
        if (i % 16 == 15) {
            ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) >= base_threads + i + 1; }))
                << "accepted " << test::thread_count(pid) - base_threads << " of " << i + 1;
        }
    }
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads + idle_count; }));
    const double open_ms = ms_since(opened);
    EXPECT_EQ(test::descriptor_count(pid), base_fds + idle_count);
    const long long rss = test::rss_kib(pid);

    std::vector<double> latencies;
    for (int i = 0; i < 200; ++i) {
        auto t = clock_type::now();
        test::response r = test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n"));
        latencies.push_back(ms_since(t));
        ASSERT_EQ(r.status, 200);
        ASSERT_EQ(r.body, "page");
    }
    const double p99 = test::percentile(latencies, 99);

    auto left = clock_type::now();
    idle.clear();
    EXPECT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads; }, 20s))
        << test::thread_count(pid) << " threads, baseline " << base_threads;
    EXPECT_TRUE(test::eventually([&] { return test::descriptor_count(pid) == base_fds; }, 20s))
        << test::descriptor_count(pid) << " descriptors, baseline " << base_fds;
    std::printf(
        "[figure] %d idle clients: opened in %.0f ms, RSS %lld MiB, GET / p50 %.2f ms p99 %.2f ms, "
        "back to %lld threads / %lld descriptors %.0f ms after they left\n",
        idle_count, open_ms, rss / 1024, test::percentile(latencies, 50), p99, base_threads, base_fds,
        ms_since(left));

    // Every sanitizer slows thread start-up, which each fresh request pays.
    EXPECT_LT(p99, test::under_asan || test::under_tsan ? 100.0 : 20.0);
    // ASan keeps a shadow and a quarantine per thread: the figure is printed, not judged.
    if (!test::under_asan && !test::under_tsan) {
        EXPECT_LT(rss, 256 * 1024);
    }
    EXPECT_EQ(stop(), 0);
}

// The whole answer once the server closes, within ms; nullopt while it
// still holds the connection then.
std::optional<std::string> answer_within(std::uint16_t port, const std::string& request, int ms)
{
    plat::socket_handle c = test::connect_loopback(port);
    plat::set_recv_timeout(c.get(), ms);
    if (!plat::send_all(c.get(), request)) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        long long n = plat::recv_some(c.get(), buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && plat::last_error_timed_out()) {
            return std::nullopt;
        }
        return out;
    }
}

// Sends head, then up to `total` body bytes until the server stops taking
// them; the body bytes it took.
std::uint64_t stream_after(std::uint16_t port, const std::string& head, std::uint64_t total)
{
    plat::socket_handle s = test::connect_loopback(port);
    // A small fixed send buffer, so what was sent is close to what the server read.
    plat::set_send_buffer(s.get(), 262144);
    if (!plat::send_all(s.get(), head)) return 0;
    const std::string block(65536, 'x');
    std::uint64_t sent = 0;
    while (sent < total) {
        long long n = plat::send_some(s.get(), block.data(), block.size());
        if (n <= 0) break;
        sent += static_cast<std::uint64_t>(n);
    }
    return sent;
}

// Runs one streaming client per head at once; the bytes each got taken.
std::vector<std::uint64_t> stream_all(std::uint16_t port, const std::vector<std::string>& heads,
                                      std::uint64_t total)
{
    std::vector<std::uint64_t> taken(heads.size());
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < heads.size(); ++i)
        clients.emplace_back([&, i] { taken[i] = stream_after(port, heads[i], total); });
    for (auto& c : clients)
        c.join();
    return taken;
}

constexpr std::uint64_t body_bound = 32u * 1024 * 1024;
// What the server did not read can only sit in the two sockets' buffers.
constexpr std::uint64_t socket_buffers = 40u * 1024 * 1024;

// A declared length past the bound, or one that does not convert, is
// refused at the head: the connection closes at once without a reply, and
// a body streamed after it is not read.
TEST_F(Load, DeclaredLengthsPastTheBoundOrUnconvertibleGetNoReply)
{
    start(test::server_binary());
    const char* const refused[] = {
        "Content-Length: 4294967295",
        "Content-Length: -1",
        "Content-Length: 33554433",
        "Content-Length: 99999999999",
        "Content-Length: 18446744073709551616",
        "Content-Length:4294967295",
        "content-length: -1",
        "Content-Length: ",
        "Content-Length: abc",
        "Content-Length: +",
        "Content-Length: -",
    };
    std::vector<std::string> heads;
    for (const char* header : refused) {
        heads.push_back(std::string("POST /krv-webui.html HTTP/1.1\r\n") + header + "\r\n\r\n");
        EXPECT_EQ(answer_within(port, heads.back() + "some body", 2000), std::optional<std::string>(""))
            << header;
    }
    for (std::uint64_t n : stream_all(port, heads, 8 * body_bound))
        EXPECT_LT(n, socket_buffers);
    // The bound itself is allowed.
    std::string at_bound = "POST /krv-webui.html HTTP/1.1\r\nContent-Length: 33554432\r\n\r\n";
    at_bound.append(body_bound, 'b');
    EXPECT_EQ(test::split_response(test::http_exchange(port, at_bound)).body, "page");
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_EQ(stop(), 0);
}

TEST_F(Load, TenClientsStreamingPastTheBoundAreCutOff)
{
    start(test::server_binary());
    const long pid = proc->pid();
    const long long base_rss = test::rss_kib(pid);
    constexpr std::uint64_t attempt = 8 * body_bound;
    const std::vector<std::string> heads(
        10, "POST /krv-webui.html HTTP/1.1\r\nContent-Length: " + std::to_string(body_bound) + "\r\n\r\n");
    auto t = clock_type::now();
    const std::vector<std::uint64_t> taken = stream_all(port, heads, attempt);
    const double elapsed = ms_since(t);
    const long long peak = test::peak_rss_kib(pid);

    for (std::uint64_t n : taken) {
        EXPECT_GE(n, body_bound);
        EXPECT_LT(n, body_bound + socket_buffers);
    }
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    std::printf(
        "[figure] 10 clients offering %llu MiB each past a %llu MiB bound: at most %llu MiB taken each, "
        "peak RSS %lld MiB over a %lld MiB baseline, %.0f ms\n",
        static_cast<unsigned long long>(attempt >> 20), static_cast<unsigned long long>(body_bound >> 20),
        static_cast<unsigned long long>(*std::max_element(taken.begin(), taken.end()) >> 20), peak / 1024,
        base_rss / 1024, elapsed);
    // Each body is held once, plus one copy while its string grows.
    if (!test::under_asan && !test::under_tsan) {
        EXPECT_LT(peak - base_rss, static_cast<long long>(10 * 2 * body_bound / 1024 + 64 * 1024));
    }
    EXPECT_EQ(stop(), 0);
}

// A well-behaved upstream for the mixed load: a fixed pool of threads
// (unlike the scripted fake, whose threads live until it ends) answers at
// once, echoing the request body, in the framing the body asks for.
class echo_upstream {
public:
    explicit echo_upstream(int workers) : listener_(test::listen_loopback())
    {
        port_ = plat::local_port(listener_.get());
        fd_ = listener_.get();
        for (int i = 0; i < workers; ++i)
            pool_.emplace_back([this] { work(); });
    }
    ~echo_upstream()
    {
        plat::interrupt_accept(fd_);
        for (auto& t : pool_)
            t.join();
    }
    std::uint16_t port() const { return port_; }

    // The body answered for a request with this target and body.
    static std::string answer_body(const std::string& target, const std::string& body)
    {
        return target == "/json_rpc" ? body : target + "|" + body;
    }

private:
    void work()
    {
        for (;;) {
            plat::socket_handle c(plat::accept_client(listener_.get()));
            if (!c.valid()) return;
            plat::set_recv_timeout(c.get(), 10000);
            plat::set_send_timeout(c.get(), 10000);
            serve(c.get());
        }
    }

    static void serve(plat::socket_t c)
    {
        std::string data;
        char buf[16384];
        std::size_t end = std::string::npos;
        std::size_t need = SIZE_MAX;
        while (data.size() < need) {
            long long n = plat::recv_some(c, buf, sizeof buf);
            if (n <= 0) return;
            data.append(buf, static_cast<std::size_t>(n));
            if (end == std::string::npos && (end = data.find("\r\n\r\n")) != std::string::npos) {
                long long length = announced_length(data.substr(0, end + 2));
                need = end + 4 + static_cast<std::size_t>(length < 0 ? 0 : length);
            }
        }
        std::size_t sp1 = data.find(' ');
        std::string target = data.substr(sp1 + 1, data.find(' ', sp1 + 1) - sp1 - 1);
        std::string body = data.substr(end + 4);
        plat::send_all(c, framed(answer_body(target, body), body));
    }

    static std::string framed(const std::string& body, const std::string& request_body)
    {
        if (request_body.find("frame=c") != std::string::npos) {
            std::size_t half = body.size() / 2;
            char sizes[2][32];
            std::snprintf(sizes[0], sizeof sizes[0], "%zx", half);
            std::snprintf(sizes[1], sizeof sizes[1], "%zX", body.size() - half);
            return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(sizes[0]) + "\r\n" +
                   body.substr(0, half) + "\r\n" + sizes[1] + ";ext=1\r\n" + body.substr(half) +
                   "\r\n0\r\n\r\n";
        }
        if (request_body.find("frame=e") != std::string::npos) return "HTTP/1.1 200 OK\r\n\r\n" + body;
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    plat::socket_handle listener_;
    std::atomic<plat::socket_t> fd_{plat::invalid_socket};
    std::uint16_t port_ = 0;
    std::vector<std::thread> pool_;
};

// Answers that depend on files, read once before the load starts.
struct references {
    std::string wallet_log;
    std::string wallets;
    std::string script;
};

// One kind of request of the mixed load and what must come back.
struct route_case {
    const char* name;
    // The request for client c's n-th turn, and the body it must get.
    std::string (*request)(int c, int n);
    std::string (*expected_body)(const references& refs, int c, int n);
    int status;  // 0: the connection closes without a reply
};

std::string turn_body(int c, int n)
{
    static const char* const frames[] = {"frame=l", "frame=c", "frame=e"};
    return "{\"client\":" + std::to_string(c) + ",\"turn\":" + std::to_string(n) + ",\"" + frames[n % 3] +
           "\"}";
}

std::string turn_body_for(const references&, int c, int n) { return turn_body(c, n); }

std::string post(const std::string& target, const std::string& body)
{
    return "POST " + target + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

std::string get(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

const route_case mixed_routes[] = {
    {"OPTIONS", [](int, int) { return std::string("OPTIONS /json_rpc HTTP/1.1\r\n\r\n"); },
     [](const references&, int, int) { return std::string(); }, 200},
    {"POST /json_rpc", [](int c, int n) { return post("/json_rpc", turn_body(c, n)); }, turn_body_for, 200},
    {"POST /daemon_rpc", [](int c, int n) { return post("/daemon_rpc", turn_body(c, n)); }, turn_body_for,
     200},
    {"GET /rpc/", [](int c, int) { return get("/rpc/get_info?c=" + std::to_string(c)); },
     [](const references&, int c, int) {
         return echo_upstream::answer_body("/get_info?c=" + std::to_string(c), "");
     },
     200},
    {"POST /rpc/", [](int c, int n) { return post("/rpc/send", turn_body(c, n)); },
     [](const references&, int c, int n) { return echo_upstream::answer_body("/send", turn_body(c, n)); },
     200},
    {"GET /wallet-log", [](int, int) { return get("/wallet-log?lines=20"); },
     [](const references& r, int, int) { return r.wallet_log; }, 200},
    {"GET /health", [](int, int) { return get("/health"); },
     [](const references&, int, int) { return std::string("{\"status\":\"ok\"}"); }, 200},
    {"GET /wallets", [](int, int) { return get("/wallets"); },
     [](const references& r, int, int) { return r.wallets; }, 200},
    {"GET /", [](int, int) { return get("/"); },
     [](const references&, int, int) { return std::string("page"); }, 200},
    {"GET /app.js", [](int, int) { return get("/app.js"); },
     [](const references& r, int, int) { return r.script; }, 200},
    {"GET missing", [](int, int) { return get("/missing.css"); },
     [](const references&, int, int) { return std::string("Not Found: /missing.css"); }, 404},
    {"GET ..", [](int, int) { return get("/a/../krv-webui.html"); },
     [](const references&, int, int) { return std::string("Bad Request"); }, 400},
    {"no request line", [](int, int) { return std::string("GET /\r\n\r\n"); },
     [](const references&, int, int) { return std::string(); }, 0},
};
constexpr std::size_t route_count = std::size(mixed_routes);

// What went wrong with one answer; empty when it is right.
std::string check_answer(const route_case& rc, const references& refs, const std::string& raw, int c, int n)
{
    if (rc.status == 0) return raw.empty() ? "" : "a reply to an unreadable request";
    test::response r = test::split_response(raw);
    if (r.status == 0) return "no parsable answer (" + std::to_string(raw.size()) + " bytes)";
    if (announced_length(r.head + "\r\n") != static_cast<long long>(r.body.size()))
        return "Content-Length differs from the body length " + std::to_string(r.body.size());
    if (r.status != rc.status) return "status " + std::to_string(r.status);
    if (r.body != rc.expected_body(refs, c, n)) return "body differs: " + r.body.substr(0, 80);
    return "";
}

// Seconds of mixed load: a few in the suite, KRV_SOAK_SECONDS for a soak.
int soak_seconds()
{
    const char* s = std::getenv("KRV_SOAK_SECONDS");
    return s != nullptr && std::atoi(s) > 0 ? std::atoi(s) : 3;
}

TEST_F(Load, MixedRoutesAnswerWholeAndRightUnderLoad)
{
    constexpr int client_count = 300;
    if (test::raise_open_file_limit() < 2 * client_count + 100) GTEST_SKIP() << "too few descriptors";
    echo_upstream upstream(16);
    references refs;
    std::string log;
    for (int i = 0; i < 100; ++i)
        log += "2024-01-01 00:00:" + std::to_string(i) + " INFO line \"" + std::to_string(i) + "\"\n";
    test::write_file(root.path() / "wallet-rpc.log", log);
    std::filesystem::create_directories(root.path() / "wallets");
    for (const char* name : {"alpha", "alpha.keys", "beta", ".hidden"})
        test::write_file(root.path() / "wallets" / name, "w");
    refs.script = std::string(256 * 1024, 'j');
    test::write_file(root.path() / "web" / "app.js", refs.script);

    const std::string upstream_port = std::to_string(upstream.port());
    test::child_options opts;
    opts.args = {"--rpc-port",    upstream_port,
                 "--daemon-port", upstream_port,
                 "--wallet-log",  (root.path() / "wallet-rpc.log").string(),
                 "--wallet-dir",  (root.path() / "wallets").string()};
    start(test::server_binary(), opts);
    const long pid = proc->pid();
    refs.wallet_log = test::split_response(test::http_exchange(port, get("/wallet-log?lines=20"))).body;
    refs.wallets = test::split_response(test::http_exchange(port, get("/wallets"))).body;
    ASSERT_NE(refs.wallet_log.find("line \\\"99\\\""), std::string::npos) << refs.wallet_log << proc->err();
    ASSERT_NE(refs.wallets.find("alpha"), std::string::npos) << refs.wallets;

    std::atomic<long long> answered{0};
    std::atomic<long long> wrong{0};
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<double> slowest(client_count, 0.0);
    const auto until = clock_type::now() + std::chrono::seconds(soak_seconds());
    std::vector<std::thread> clients;
    for (int c = 0; c < client_count; ++c) {
        clients.emplace_back([&, c] {
            for (int n = 0; clock_type::now() < until; ++n) {
                const route_case& rc = mixed_routes[static_cast<std::size_t>(c + n) % route_count];
                auto t = clock_type::now();
                std::string raw = test::http_exchange(port, rc.request(c, n));
                slowest[static_cast<std::size_t>(c)] =
                    std::max(slowest[static_cast<std::size_t>(c)], ms_since(t));
                ++answered;
                std::string problem = check_answer(rc, refs, raw, c, n);
                if (problem.empty()) continue;
                ++wrong;
                std::lock_guard<std::mutex> lock(mutex);
                if (failures.size() < 10) failures.push_back(std::string(rc.name) + ": " + problem);
            }
        });
    }
    for (auto& t : clients)
        t.join();

    EXPECT_EQ(wrong.load(), 0);
    for (const std::string& f : failures)
        ADD_FAILURE() << f;
    EXPECT_TRUE(test::eventually([&] { return test::thread_count(pid) == test::idle_threads; }))
        << test::thread_count(pid) << " threads left";
    std::printf(
        "[figure] mixed load, %d clients, %d s, %zu routes: %lld answers (%.0f/s), %lld wrong, "
        "slowest %.0f ms\n",
        client_count, soak_seconds(), route_count, answered.load(),
        static_cast<double>(answered.load()) / soak_seconds(), wrong.load(),
        *std::max_element(slowest.begin(), slowest.end()));
    EXPECT_EQ(stop(), 0);
    // A sanitizer report in the server would be on its standard error.
    EXPECT_EQ(proc->err(), "");
}

}  // namespace
