// One host flooding the server: idle half-requests under a low descriptor
// limit, a client that trickles a byte at a time, and bodies that stall a
// byte short of 32 MiB. None of it may keep the server from others, or
// cost more memory than the bodies' own size.
#include "server_process.h"

#include <gtest/gtest.h>

#include <thread>

#include "process_stats.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
}

class Flood : public test::server_process_test {};

TEST_F(Flood, IdleHalfRequestsUnderALowSoftLimitLeaveHealthAnswered)
{
    constexpr int idle_count = 1100;
    if (test::raise_open_file_limit() < idle_count + 200)
        GTEST_SKIP() << "the test itself needs 1300 descriptors";
    test::child_options opts;
    // The common soft limit; the hard one stays as it is.
    opts.soft_open_files = 1024;
    start(test::server_binary(), opts);
    const long pid = proc->pid();
    const long long base_threads = test::idle_threads;

    std::vector<plat::socket_handle> idle;
    for (int i = 0; i < idle_count; ++i) {
        idle.push_back(test::idle_client(port));
        ASSERT_TRUE(idle.back().valid()) << "client " << i;
        // Stay within the listen backlog.
        if (i % 16 == 15) {
            ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) >= base_threads + i + 1; }));
        }
    }
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads + idle_count; }))
        << test::thread_count(pid) << " threads";

    auto asked = clock_type::now();
    test::response r = test::split_response(test::http_exchange(port, "GET /health HTTP/1.1\r\n\r\n"));
    const double waited = ms_since(asked);
    std::printf(
        "[figure] %d idle half-requests under a soft limit of 1024 descriptors: /health answered in %.1f "
        "ms\n",
        idle_count, waited);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"status\":\"unreachable\"}");
    EXPECT_LT(waited, 1000.0);
    idle.clear();
    EXPECT_EQ(stop(), 0);
}

// Shipped limits: a minute from the accept, one byte every 5 s.
TEST_F(Flood, ATricklingClientIsClosedWithinAMinute)
{
    start(test::server_binary());
    plat::socket_handle c = test::connect_loopback(port);
    auto connected = clock_type::now();
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(64, 'a');
    bool closed = false;
    for (std::size_t i = 0; i < request.size() && !closed && ms_since(connected) < 90000; ++i) {
        plat::send_all(c.get(), std::string_view(request).substr(i, 1));
        // Wait for the next byte's turn, or for the server to close.
        plat::set_recv_timeout(c.get(), 5000);
        char byte;
        closed = plat::recv_some(c.get(), &byte, 1) == 0;
    }
    const double elapsed = ms_since(connected);
    std::printf("[figure] a client sending a byte every 5 s was closed %.1f s after it connected\n",
                elapsed / 1000);
    EXPECT_TRUE(closed);
    EXPECT_GT(elapsed, 55000.0);
    EXPECT_LT(elapsed, 62000.0);
    EXPECT_EQ(stop(), 0);
}

constexpr std::uint64_t body_bound = 32u * 1024 * 1024;

// Sends a head declaring the bound and all but the body's last byte; the
// socket stays open, so the body stalls one byte short. False when the
// server closed the connection (the body was refused).
bool stall_one_byte_short(plat::socket_handle& s, std::uint16_t port)
{
    s = test::connect_loopback(port);
    const std::string head =
        "POST /json_rpc HTTP/1.1\r\nContent-Length: " + std::to_string(body_bound) + "\r\n\r\n";
    if (!plat::send_all(s.get(), head)) return false;
    const std::string block(1 << 20, '{');
    for (std::uint64_t sent = 0; sent + 1 < body_bound;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), body_bound - 1 - sent));
        if (!plat::send_all(s.get(), std::string_view(block).substr(0, n))) return false;
        sent += n;
    }
    return true;
}

TEST_F(Flood, StalledBodiesCostTheirOwnSizeAndNoMoreThanTheTotal)
{
    start(test::server_binary());
    const long pid = proc->pid();
    std::vector<plat::socket_handle> clients(40);
    std::vector<int> taken;
    for (int round : {16, 40}) {
        int held = 0;
        for (int i = 0; i < round; ++i)
            if (clients[i].valid() || stall_one_byte_short(clients[i], port)) ++held;
        // What the server has read of the held bodies is in its memory now.
        ASSERT_TRUE(test::eventually([&] { return test::rss_kib(pid) > held * 31 * 1024; }, 20s))
            << test::rss_kib(pid) << " KiB";
        const long long rss = test::rss_kib(pid);
        std::printf("[figure] %d bodies stalled one byte short of 32 MiB: %d held, server RSS %lld MiB\n",
                    round, held, rss / 1024);
        EXPECT_LT(rss, round == 16 ? 700 * 1024 : 800 * 1024);
        taken.push_back(held);
    }
    // Sixteen bodies at the bound make the 512 MiB total; the rest are refused.
    EXPECT_EQ(taken, (std::vector<int>{16, 16}));
    clients.clear();
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_EQ(stop(), 0);
}

}  // namespace
