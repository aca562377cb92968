#include "upstream.h"

#include <gtest/gtest.h>

#include "fake_upstream.h"
#include "test_support.h"

namespace {

const std::string ok = "{\"status\":\"ok\"}";
const std::string unreachable = "{\"status\":\"unreachable\"}";
const std::string probe_request =
    "POST /json_rpc HTTP/1.1\r\nHost: x\r\nContent-Length: 48\r\n\r\n"
    "{\"jsonrpc\":\"2.0\",\"id\":\"h\",\"method\":\"get_height\"}";

config probing(std::uint16_t port)
{
    config cfg;
    cfg.rpc_port = port;
    return cfg;
}

TEST(Health, OnlyAStatusLineOf200IsOk)
{
    struct row {
        const char* name;
        test::script wallet;
        const std::string& result;
    };
    const row rows[] = {
        {"200", test::answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"), ok},
        {"1.0", test::answer("HTTP/1.0 200 OK\r\n\r\n"), ok},
        {"200 elsewhere", test::answer("HTTP/1.1 401 Unauthorized\r\nContent-Length: 200\r\n\r\n"),
         unreachable},
        {"error", test::answer("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"),
         unreachable},
        // Only the first chunk of the answer is looked at.
        {"split status", test::answer_in_pieces({"HTTP/1.1 2", "00 OK\r\n\r\n"}, 300), unreachable},
        {"no answer", test::answer(""), unreachable},
        {"reset", test::reset_at_once(), unreachable},
    };
    for (const auto& r : rows) {
        test::fake_upstream wallet(r.wallet);
        EXPECT_EQ(health_json(probing(wallet.port())), r.result) << r.name;
        if (r.wallet.read_request) {
            ASSERT_TRUE(wallet.wait_requests(1)) << r.name;
            EXPECT_EQ(wallet.requests(), std::vector<std::string>{probe_request}) << r.name;
        }
    }
    ASSERT_EQ(probe_request.size(), 104u);
}

TEST(Health, SilentServiceIsUnreachable)
{
    test::fake_upstream wallet(test::silence());
    config cfg = probing(wallet.port());
    cfg.probe_timeout_ms = 50;
    EXPECT_EQ(health_json(cfg), unreachable);
}

TEST(Health, NoServiceOrNoIpv4LiteralIsUnreachable)
{
    auto refused = test::refused_port();
    EXPECT_EQ(health_json(probing(refused.second)), unreachable);
    test::fake_upstream wallet(test::answer("HTTP/1.1 200 OK\r\n\r\n"));
    config cfg = probing(wallet.port());
    for (const char* host : {"localhost", "", "::1", "1.2.3"}) {
        cfg.rpc_host = host;
        EXPECT_EQ(health_json(cfg), unreachable) << host;
    }
    // Connections are accepted in order: once this one is, none came before it.
    EXPECT_EQ(health_json(probing(wallet.port())), ok);
    EXPECT_EQ(wallet.accepted(), 1u);
}

TEST(Health, RouteAnswersWithTheProbeResult)
{
    test::fake_upstream wallet(test::answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
    auto daemon_down = test::refused_port();
    config cfg = probing(wallet.port());
    cfg.daemon_port = daemon_down.second;
    test::server srv(cfg);
    const std::string expected =
        test::expected_head(200, "OK", "application/json", ok.size()) + "\r\n\r\n" + ok;
    for (const char* method : {"GET", "POST"}) {
        EXPECT_EQ(
            test::http_exchange(srv.port(), std::string(method) + " /health HTTP/1.1\r\nHost: x\r\n\r\n"),
            expected)
            << method;
    }
}

TEST(HealthStatusLine, OnlyAStatusOf200Counts)
{
    EXPECT_TRUE(status_line_is_200("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(status_line_is_200("HTTP/1.0 200 OK\r\n"));
    EXPECT_TRUE(status_line_is_200("HTTP/1.1 200"));
    EXPECT_FALSE(status_line_is_200("HTTP/1.1 2000 OK\r\n"));
    EXPECT_FALSE(status_line_is_200("HTTP/1.1 401 Unauthorized\r\nContent-Length: 200\r\n"));
    EXPECT_FALSE(status_line_is_200("HTTP/1.1 2"));
    EXPECT_FALSE(status_line_is_200(" HTTP/1.1 200 OK"));
}

}  // namespace
