// The server program when things go wrong around it: no descriptors left,
// no thread can start, upstream answers that lie or break, and a stop
// request that lands on a busy connection thread.
#include "server_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "fake_upstream.h"
#include "process_stats.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

enum class peer { open, answered, closed };

// Whether the server has answered or closed (or reset) a connection yet.
peer peer_state(plat::socket_t s)
{
    plat::set_recv_timeout(s, 5);
    char c;
    long long n = plat::peek_some(s, &c, 1);
    const bool timed_out = n < 0 && plat::last_error_timed_out();
    plat::set_recv_timeout(s, 10000);
    if (n > 0) return peer::answered;
    if (timed_out) return peer::open;
    return peer::closed;
}

// Appends to a sanitizer's options, keeping what the environment set.
std::pair<std::string, std::optional<std::string>> sanitizer_option(const char* name,
                                                                    const std::string& option)
{
    const char* current = std::getenv(name);
    return {name, (current != nullptr ? std::string(current) + ":" : std::string()) + option};
}

class Faults : public test::server_process_test {};

TEST_F(Faults, OutOfDescriptorsTheServerWaitsAndServesAgain)
{
    if (test::under_asan)
        GTEST_SKIP()
            << "the undefined-behaviour checker probes memory through a pipe: with no descriptor left "
               "it takes std::thread's own state for a bad object and ends the program";
    test::child_options opts;
    opts.max_open_files = 64;
    start(test::server_binary(), opts);
    const long pid = proc->pid();
    const long long base_fds = test::descriptor_count(pid);

    // Fill every descriptor the server has left with an idle connection.
    std::vector<plat::socket_handle> idle;
    for (long long i = base_fds; i < 64; ++i) {
        idle.push_back(test::idle_client(port));
        ASSERT_TRUE(test::eventually([&] { return test::descriptor_count(pid) == base_fds + ssize(idle); }));
    }
    // These wait in the listen queue: accept fails while nothing is free.
    // They ask for no file, which would need one more descriptor.
    std::vector<plat::socket_handle> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(test::connect_loopback(port));
        ASSERT_TRUE(plat::send_all(waiting.back().get(), "OPTIONS / HTTP/1.1\r\n\r\n"));
    }
    const double cpu_before = test::cpu_seconds(pid);
    plat::sleep_ms(1000);  // the window in which processor time is measured
    const double cpu_used = test::cpu_seconds(pid) - cpu_before;
    for (auto& w : waiting)
        EXPECT_EQ(peer_state(w.get()), peer::open) << "answered or closed while out of descriptors";
    EXPECT_FALSE(proc->wait(0ms).has_value());

    auto freed = clock_type::now();
    idle.resize(idle.size() - 10);
    for (auto& w : waiting)
        EXPECT_EQ(test::split_response(test::read_until_close(w.get())).status, 200);
    const double recovery = ms_since(freed);
    std::printf(
        "[figure] descriptor limit 64: %.3f s of processor time in 1 s while out of descriptors; "
        "the waiting clients answered %.0f ms after 10 descriptors were freed\n",
        cpu_used, recovery);
    // Retrying every 50 ms costs next to nothing; a spinning loop takes the whole second.
    EXPECT_LT(cpu_used, 0.1);
    idle.clear();
    ASSERT_TRUE(test::eventually([&] { return test::descriptor_count(pid) == base_fds; }));
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(proc->err(), "");
}

TEST_F(Faults, AThreadThatCannotStartClosesItsSocketAndAcceptingGoesOn)
{
    if (test::under_asan || test::under_tsan)
        GTEST_SKIP()
            << "the sanitizer reserves terabytes of address space: an address-space limit cannot apply";
    if (test::raise_open_file_limit() < 2100) GTEST_SKIP() << "too few descriptors";
    test::child_options opts;
    // Room for the program and some hundred connection threads' stacks.
    opts.max_address_space = 48u << 20;
    start(test::server_binary(), opts);
    const long pid = proc->pid();
    const long long base_threads = test::thread_count(pid);
    const long long base_fds = test::descriptor_count(pid);

    // Open idle connections until one is closed at once: its thread could not start.
    std::vector<plat::socket_handle> idle;
    bool refused = false;
    while (!refused && idle.size() < 2000) {
        idle.push_back(test::idle_client(port));
        const auto served = ssize(idle);
        ASSERT_TRUE(test::eventually([&] {
            refused = peer_state(idle.back().get()) == peer::closed;
            return refused || test::thread_count(pid) == base_threads + served;
        }));
    }
    ASSERT_TRUE(refused) << "every thread started";
    idle.pop_back();
    const auto running = ssize(idle);
    // Later ones are refused the same way, and nothing is left open.
    for (int i = 0; i < 5; ++i) {
        plat::socket_handle s = test::idle_client(port);
        EXPECT_TRUE(test::eventually([&] { return peer_state(s.get()) == peer::closed; }));
    }
    EXPECT_EQ(test::descriptor_count(pid), base_fds + running);

    // With a few connections gone, new ones are served.
    idle.resize(idle.size() - 3);
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads + ssize(idle); }));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    std::printf(
        "[figure] address space 48 MiB: %lld connection threads ran, the next connections were closed "
        "at once, and GET / was served again after 3 left\n",
        static_cast<long long>(running));
    idle.clear();
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(proc->err(), "");
}

// One way an upstream answer can go wrong, and what the client must get.
struct upstream_fault {
    const char* name;
    test::script answer;
    int status;        // 200 or 502
    const char* body;  // with 200; a 502 carries the route's error body
    // A stall ends only by the server's upstream time-out: it goes to the
    // short build. Every other fault goes to the shipped one, where no
    // time-out can stand in for the handling under test.
    bool stall;
};

test::script cut(std::string bytes) { return test::answer(std::move(bytes)); }

// Sends bytes, then stays silent with the connection open.
test::script stall_after(std::string bytes)
{
    test::script s = test::answer(std::move(bytes));
    s.steps.push_back(test::wait_gate());
    return s;
}

std::vector<upstream_fault> upstream_faults()
{
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    return {
        {"length 2^64-1", cut(ok + "Content-Length: 18446744073709551615\r\n\r\npartial"), 502, "", false},
        {"length 2^32", cut(ok + "Content-Length: 4294967296\r\n\r\npartial"), 502, "", false},
        {"length -1", cut(ok + "Content-Length: -1\r\n\r\npartial"), 502, "", false},
        {"length past 64 bits", cut(ok + "Content-Length: 99999999999999999999999\r\n\r\nwhole"), 200,
         "whole", false},
        {"chunk 2^64-1", cut(chunked + "ffffffffffffffff\r\nabc"), 502, "", false},
        {"chunk -1", cut(chunked + "-1\r\nabc"), 502, "", false},
        {"chunk past 64 bits", cut(chunked + "1ffffffffffffffff\r\nabc"), 502, "", false},
        {"body cut short", cut(ok + "Content-Length: 100\r\n\r\n" + std::string(50, 'x')), 502, "", false},
        {"head cut short", cut(ok + "Content-Le"), 502, "", false},
        {"chunk cut short", cut(chunked + "5\r\nhel"), 502, "", false},
        {"garbage", cut(std::string("\x00\xff\xfe garbage\n\n", 14)), 502, "", false},
        {"garbage head", cut("garbage\r\n\r\nbody!"), 200, "body!", false},
        {"whole answer", cut(ok + "Content-Length: 5\r\n\r\nhello"), 200, "hello", false},
        {"whole chunked answer", cut(chunked + "5\r\nhello\r\n0\r\n\r\n"), 200, "hello", false},
        {"stall before the head", test::silence(), 502, "", true},
        {"stall in the body", stall_after(ok + "Content-Length: 100\r\n\r\n0123456789"), 502, "", true},
        {"stall in a chunk", stall_after(chunked + "a\r\n01234"), 502, "", true},
    };
}

std::string post(const std::string& target, const std::string& body)
{
    return "POST " + target + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

TEST_F(Faults, UpstreamFaultsManyAtOnceGetTheRightAnswer)
{
    constexpr int per_fault = 6;
    const std::vector<upstream_fault> faults = upstream_faults();
    // The fault is chosen by the request body, so one fake serves them all.
    test::fake_upstream rpc([&](const std::string& request) {
        std::size_t at = request.rfind("fault=");
        return faults[static_cast<std::size_t>(std::atoi(request.c_str() + at + 6))].answer;
    });
    test::fake_upstream daemon(test::reset_at_once());
    test::child_options opts;
    opts.args = {"--rpc-port", std::to_string(rpc.port()), "--daemon-port", std::to_string(daemon.port())};
    // A reservation sized by an announced length would fail, and show, under these.
    if (test::under_asan) {
        opts.env.push_back(sanitizer_option("ASAN_OPTIONS", "max_allocation_size_mb=256"));
    } else if (!test::under_tsan) {
        opts.max_address_space = 2ull << 30;
    }
    start(test::server_binary(), opts);
    launched short_build = launch(KRV_WEBUI_SHORT_BINARY, opts);
    ASSERT_NE(short_build.port, 0) << short_build.proc->err();
    const std::string rpc_error =
        "{\"error\":\"Cannot connect to krv-wallet-rpc at 127.0.0.1:" + std::to_string(rpc.port()) + "\"}";

    std::atomic<int> pending{static_cast<int>(faults.size()) * per_fault + per_fault};
    std::vector<std::string> problems(faults.size() + 1);
    std::vector<double> slowest(faults.size() + 1, 0.0);
    std::mutex mutex;
    auto note = [&](std::size_t f, const std::string& problem, double ms) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!problem.empty() && problems[f].empty()) problems[f] = problem;
        slowest[f] = std::max(slowest[f], ms);
        --pending;
    };
    std::vector<std::thread> clients;
    for (std::size_t f = 0; f < faults.size(); ++f) {
        for (int i = 0; i < per_fault; ++i) {
            clients.emplace_back([&, f] {
                auto t = clock_type::now();
                test::response r = test::split_response(
                    test::http_exchange(faults[f].stall ? short_build.port : port,
                                        post("/json_rpc", "{\"fault=" + std::to_string(f) + "\"}")));
                const std::string want = faults[f].status == 502 ? rpc_error : faults[f].body;
                const bool right = r.status == faults[f].status && r.body == want;
                note(f, right ? "" : "status " + std::to_string(r.status) + " body " + r.body, ms_since(t));
            });
        }
    }
    const std::string daemon_error =
        "{\"error\":\"Cannot connect to krv daemon at 127.0.0.1:" + std::to_string(daemon.port()) + "\"}";
    for (int i = 0; i < per_fault; ++i) {
        clients.emplace_back([&] {
            auto t = clock_type::now();
            test::response r = test::split_response(test::http_exchange(port, post("/daemon_rpc", "{}")));
            note(faults.size(),
                 r.status == 502 && r.body == daemon_error ? "" : "status " + std::to_string(r.status),
                 ms_since(t));
        });
    }
    // Meanwhile both servers are asked for the page, at a pace that leaves
    // the processors to the faults.
    int pages = 0;
    double slowest_page = 0;
    while (pending > 0) {
        for (std::uint16_t p : {port, short_build.port}) {
            auto t = clock_type::now();
            std::string body = test::split_response(test::http_exchange(p, "GET / HTTP/1.1\r\n\r\n")).body;
            slowest_page = std::max(slowest_page, ms_since(t));
            EXPECT_EQ(body, "page");
            ++pages;
        }
        plat::sleep_ms(5);
    }
    for (auto& t : clients)
        t.join();

    for (std::size_t f = 0; f < faults.size(); ++f) {
        EXPECT_EQ(problems[f], "") << faults[f].name;
        // The server gives up on a stall itself, before the fake's own 10 s deadline closes it.
        EXPECT_LT(slowest[f], 9500.0) << faults[f].name;
        std::printf("[figure] upstream %-22s -> %d in at most %.0f ms\n", faults[f].name, faults[f].status,
                    slowest[f]);
    }
    EXPECT_EQ(problems.back(), "") << "reset";
    std::printf("[figure] upstream reset                  -> 502 in at most %.0f ms\n", slowest.back());
    std::printf("[figure] meanwhile %d GET / answered, slowest %.1f ms; peak virtual size %lld MiB\n", pages,
                slowest_page, test::peak_virtual_kib(proc->pid()) / 1024);
    EXPECT_LT(slowest_page, 500.0);
    rpc.open_gate();
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(proc->err(), "");
    short_build.proc->send_signal(SIGTERM);
    EXPECT_EQ(short_build.proc->wait(10s), 0);
    EXPECT_EQ(short_build.proc->err(), "");
}

// 300 connections that each keep a server thread busy: waiting for an
// upstream answer, sending a large file to a client that does not read,
// or waiting for the rest of a head.
std::vector<plat::socket_handle> make_busy(std::uint16_t port)
{
    std::vector<plat::socket_handle> b;
    for (int i = 0; i < 200; ++i) {
        b.push_back(test::connect_loopback(port));
        plat::send_all(b.back().get(), post("/json_rpc", "{}"));
    }
    for (int i = 0; i < 20; ++i) {
        plat::socket_handle s(plat::tcp_socket());
        // A tiny window, so the server's sends block on this client.
        plat::set_recv_buffer(s.get(), 4096);
        if (!plat::connect_ipv4(s.get(), "127.0.0.1", port)) continue;
        plat::send_all(s.get(), "GET /big.bin HTTP/1.1\r\n\r\n");
        b.push_back(std::move(s));
    }
    for (int i = 0; i < 80; ++i)
        b.push_back(test::idle_client(port));
    return b;
}

struct stop_result {
    bool delivered = false;  // a thread other than the main one took the signal
    double shutdown_ms = 0;  // from the signal to the shutdown line
    double ms = 0;           // from the signal to the end of the program
    std::optional<int> status;
};

// Sends the stop request to the server as kill(1) and a service manager do:
// to the process, for whichever of its threads takes it.
stop_result stop_under_load(test::child& proc, long server_pid)
{
    stop_result r;
    auto t = clock_type::now();
    r.delivered = kill(static_cast<pid_t>(server_pid), SIGTERM) == 0;
    proc.wait_for_output("\nShutdown.\n", 5s);
    r.shutdown_ms = ms_since(t);
    r.status = proc.wait(5s);
    r.ms = ms_since(t);
    return r;
}

class StopRequest : public Faults {
protected:
    StopRequest() { test::write_file(root.path() / "web" / "big.bin", std::string(6 << 20, 'b')); }

    // Starts the busy load and waits until a server thread serves each.
    std::vector<plat::socket_handle> load_server(long server_pid, test::fake_upstream& rpc)
    {
        const long long base = test::thread_count(server_pid);
        std::vector<plat::socket_handle> b = make_busy(port);
        EXPECT_TRUE(rpc.wait_requests(200));
        EXPECT_TRUE(test::eventually([&] { return test::thread_count(server_pid) >= base + 300; }))
            << test::thread_count(server_pid) - base << " busy threads";
        return b;
    }
};

test::script held_answer()
{
    test::script s;
    s.steps = {test::wait_gate(), test::send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}")};
    return s;
}

TEST_F(StopRequest, UnderLoadEndsTheServerWithin1s)
{
    test::fake_upstream rpc(held_answer());
    test::child_options opts;
    opts.args = {"--rpc-port", std::to_string(rpc.port())};
    // ThreadSanitizer otherwise sleeps 1 s at exit while other threads are alive.
    if (test::under_tsan) opts.env.push_back(sanitizer_option("TSAN_OPTIONS", "atexit_sleep_ms=0"));
    start(test::server_binary(), opts);
    auto busy = load_server(proc->pid(), rpc);

    stop_result r = stop_under_load(*proc, proc->pid());
    std::printf(
        "[figure] stop request with 300 busy clients: \"Shutdown.\" after %.1f ms, "
        "ended after %.1f ms\n",
        r.shutdown_ms, r.ms);
    EXPECT_TRUE(r.delivered);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.shutdown_ms, 1000.0);
    EXPECT_LT(r.ms, 1000.0);
    const std::string out = proc->out();
    EXPECT_EQ(out.substr(out.size() - 11), "\nShutdown.\n");
    EXPECT_EQ(proc->err(), "");
    rpc.open_gate();
}

// The absolute path of a program found on PATH; empty when there is none.
std::string find_program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = std::min(dirs.find(':', start), dirs.size());
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// Lines of a trace that hold both texts.
std::size_t lines_with(const std::string& text, const std::string& a, const std::string& b)
{
    std::istringstream in(text);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
    return n;
}

// The tracer lists every close and shutdown of the server with what each
// descriptor was; the listener is the one TCP socket without a peer.
TEST_F(StopRequest, ClosesTheListenerExactlyOnce)
{
    const std::string strace = find_program("strace");
    if (strace.empty()) GTEST_SKIP() << "strace is not installed";
    test::child_options probe;
    probe.args = {"-f", "-qq", "-o", "/dev/null", "/bin/true"};
    if (test::run_program(strace, probe).status != 0) GTEST_SKIP() << "strace cannot trace here";
    const std::string trace = (root.path() / "trace").string();
    test::fake_upstream rpc(held_answer());
    test::child_options opts;
    opts.args = {"--rpc-port", std::to_string(rpc.port())};
    // The leak checker stops itself under a tracer.
    if (test::under_asan) opts.env.push_back(sanitizer_option("ASAN_OPTIONS", "detect_leaks=0"));
    start(test::server_binary(), opts,
          {strace, "-f", "-qq", "--seccomp-bpf", "-yy", "-e", "trace=close,shutdown", "-o", trace});
    const long server_pid = test::first_child(proc->pid());
    ASSERT_GT(server_pid, 0);
    auto busy = load_server(server_pid, rpc);

    stop_result r = stop_under_load(*proc, server_pid);
    EXPECT_TRUE(r.delivered);
    EXPECT_EQ(r.status, 0) << proc->err();
    std::ifstream f(trace);
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::string listener = "<TCP:[127.0.0.1:" + std::to_string(port) + "]>";
    // A call cut by another thread's line ends in "<unfinished ...>", so match by line.
    const std::size_t shutdowns = lines_with(text, "shutdown(", listener);
    const std::size_t closes = lines_with(text, "close(", listener);
    const std::size_t bad = lines_with(text, "close", "EBADF");
    std::printf(
        "[figure] under strace: the listener was shut down %zu time(s) and closed %zu time(s); "
        "%zu closes failed with EBADF\n",
        shutdowns, closes, bad);
    EXPECT_EQ(shutdowns, 1u);
    EXPECT_EQ(closes, 1u);
    EXPECT_EQ(bad, 0u);
    rpc.open_gate();
}

}  // namespace
