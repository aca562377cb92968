// /health from the network: one probe a second at most, shared by every
// request of that second, whether it is in flight or done; this machine
// still probes each time.
#include "health_share.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_upstream.h"
#include "platform.h"
#include "test_support.h"

namespace {

TEST(HealthShare, OneProbeASecond)
{
    shared_probe shared;
    int probes = 0;
    auto probe = [&] { return "{\"status\":\"ok\",\"n\":" + std::to_string(++probes) + "}"; };
    EXPECT_EQ(shared_health_answer(shared, probe, 5000), "{\"status\":\"ok\",\"n\":1}");
    EXPECT_EQ(shared_health_answer(shared, probe, 5001), "{\"status\":\"ok\",\"n\":1}");
    EXPECT_EQ(shared_health_answer(shared, probe, 5999), "{\"status\":\"ok\",\"n\":1}");
    EXPECT_EQ(shared_health_answer(shared, probe, 6000), "{\"status\":\"ok\",\"n\":2}");
    EXPECT_EQ(shared_health_answer(shared, probe, 6500), "{\"status\":\"ok\",\"n\":2}");
    EXPECT_EQ(shared_health_answer(shared, probe, 60000), "{\"status\":\"ok\",\"n\":3}");
    EXPECT_EQ(probes, 3);

    // An answer too long to keep is not shared: each asks for itself.
    shared_probe plain;
    const std::string huge(300, 'x');
    int asked = 0;
    auto long_probe = [&] {
        ++asked;
        return huge;
    };
    EXPECT_EQ(shared_health_answer(plain, long_probe, 0), huge);
    EXPECT_EQ(shared_health_answer(plain, long_probe, 1), huge);
    EXPECT_EQ(asked, 2);
}

// While a probe is in flight, the others of its second wait for its answer.
TEST(HealthShare, RequestsWaitForTheProbeInFlight)
{
    shared_probe shared;
    std::atomic<int> probes{0};
    std::atomic<std::uint32_t> entered{0};
    std::atomic<std::uint32_t> gate{0};
    auto probe = [&] {
        ++probes;
        entered = 1;
        plat::wake_all(entered);
        plat::wait_while_equal(gate, 0);
        return std::string("{\"status\":\"unreachable\"}");
    };
    std::vector<std::string> answers(17);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { answers[0] = shared_health_answer(shared, probe, 1000); });
    plat::wait_while_equal(entered, 0);
    for (int i = 1; i < 17; ++i)
        threads.emplace_back([&, i] { answers[i] = shared_health_answer(shared, probe, 1000 + i * 50); });
    gate = 1;
    plat::wake_all(gate);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(probes.load(), 1);
    for (const auto& a : answers)
        EXPECT_EQ(a, "{\"status\":\"unreachable\"}");
}

// This machine probes each time, over real sockets, as before.
TEST(HealthShare, LoopbackProbesEachTime)
{
    test::fake_upstream wallet(test::answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
    config cfg;
    cfg.rpc_port = wallet.port();
    test::server srv(cfg);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(test::split_response(test::http_exchange(srv.port(), "GET /health HTTP/1.1\r\n\r\n")).body,
                  "{\"status\":\"ok\"}");
    EXPECT_EQ(wallet.accepted(), 5u);
}

}  // namespace
