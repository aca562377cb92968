// The time limits of the shipped program, measured: how long a stalled
// upstream and a silent wallet service hold a connection. Reliability
// suite: these tests wait on real time-outs and judge durations.
#include <gtest/gtest.h>

#include <chrono>

#include "fake_upstream.h"
#include "test_support.h"
#include "upstream.h"

namespace {

using namespace std::chrono_literals;

// An upstream that stops sending without closing: each read gives up after
// its retries and keeps what came. One receive waits 1 ms here.
TEST(BodyReaders, StalledUpstreamEndsTheRead)
{
    auto [upstream, server] = test::loopback_pair();
    plat::set_recv_timeout(server.get(), 1);
    ASSERT_TRUE(plat::send_all(upstream.get(), "12345"));
    std::string out = "x";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(recv_exact(server.get(), out, 10));
    std::printf("[figure] a stalled body read with a 1 ms receive time-out gave up after %.0f ms\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(out, "x12345");

    ASSERT_TRUE(plat::send_all(upstream.get(), "12345"));
    out.clear();
    EXPECT_FALSE(recv_plain_body(server.get(), out, 10));
    EXPECT_EQ(out, "12345");

    // Without a length the end cannot be told from a stall: what came is the body.
    ASSERT_TRUE(plat::send_all(upstream.get(), "12345"));
    out.clear();
    EXPECT_TRUE(recv_plain_body(server.get(), out, 0));
    EXPECT_EQ(out, "12345");
}

// The probe gives up after its shipped second, not before and not much later.
TEST(Health, ASilentServiceIsUnreachableAfterTheShippedSecond)
{
    test::fake_upstream wallet(test::silence());
    config cfg;
    cfg.rpc_port = wallet.port();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(health_json(cfg), "{\"status\":\"unreachable\"}");
    auto waited = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("[figure] silent wallet service: /health answered after %.0f ms\n", waited);
    EXPECT_GE(waited, 900.0);
    EXPECT_LT(waited, 1800.0);
}

}  // namespace
