#include "upstream.h"

#include <gtest/gtest.h>

#include "digest_peer.h"
#include "fake_upstream.h"
#include "test_support.h"

namespace {

const std::string ok = "{\"status\":\"ok\"}";
const std::string unreachable = "{\"status\":\"unreachable\"}";
const std::string unauthorized = "{\"status\":\"unauthorized\"}";
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
        // A refused login is a third answer, whatever else the head holds.
        {"401", test::answer("HTTP/1.1 401 Unauthorized\r\nContent-Length: 200\r\n\r\n"), unauthorized},
        {"200 elsewhere", test::answer("HTTP/1.1 403 Forbidden\r\nContent-Length: 200\r\n\r\n"), unreachable},
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

// The probe logs in like a relayed call; a challenge longer than the
// probe's first piece is read to its end.
TEST(Health, TheProbeLogsIn)
{
    test::digest_peer::settings s;
    s.realm = "krv-wallet-rpc " + std::string(300, 'r');
    s.answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
    test::digest_peer peer(s);
    test::fake_upstream wallet(peer.responder());
    config cfg = probing(wallet.port());
    cfg.rpc_login = make_login(s.user, s.password);
    EXPECT_EQ(health_json(cfg), ok);
    EXPECT_EQ(health_json(cfg), ok);
    EXPECT_EQ(peer.failures(), std::vector<std::string>{});
    EXPECT_EQ(peer.accepted_counts(), (std::vector<std::uint32_t>{1, 2}));
    const auto requests = wallet.requests();
    ASSERT_EQ(requests.size(), 3u);
    // Without a login the probe is what it always was; with one, the
    // Authorization line comes last in the head.
    EXPECT_EQ(requests[0], probe_request);
    const std::string head_lines = probe_request.substr(0, probe_request.find("\r\n\r\n") + 2);
    EXPECT_TRUE(requests[1].starts_with(head_lines + "Authorization: Digest username=\"krv\""))
        << requests[1];
    EXPECT_TRUE(requests[1].ends_with("\"\r\n\r\n" + probe_request.substr(probe_request.size() - 48)));
}

TEST(Health, ARefusedLoginIsUnauthorized)
{
    test::digest_peer::settings s;
    test::digest_peer peer(s);
    test::fake_upstream wallet(peer.responder());
    config cfg = probing(wallet.port());
    EXPECT_EQ(health_json(cfg), unauthorized);
    cfg.rpc_login = make_login(s.user, "wrong");
    EXPECT_EQ(health_json(cfg), unauthorized);
    EXPECT_EQ(wallet.requests().size(), 3u);
    EXPECT_EQ(peer.failures().size(), 1u);
}

TEST(HealthStatusLine, OnlyTheStatusLineCounts)
{
    EXPECT_EQ(status_line_code("HTTP/1.1 200 OK\r\n"), 200);
    EXPECT_EQ(status_line_code("HTTP/1.0 200 OK\r\n"), 200);
    EXPECT_EQ(status_line_code("HTTP/1.1 200"), 200);
    EXPECT_EQ(status_line_code("HTTP/1.1 401 Unauthorized\r\nContent-Length: 200\r\n"), 401);
    EXPECT_EQ(status_line_code("HTTP/1.1 204\r\n"), 204);
    EXPECT_EQ(status_line_code("HTTP/1.1 2000 OK\r\n"), 0);
    EXPECT_EQ(status_line_code("HTTP/1.1 2"), 0);
    EXPECT_EQ(status_line_code("HTTP/1.1 2x0 OK"), 0);
    EXPECT_EQ(status_line_code(" HTTP/1.1 200 OK"), 0);
    EXPECT_EQ(status_line_code("HTTP/2 200"), 0);
}

}  // namespace
