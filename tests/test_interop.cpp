// Upstreams as they really are: HTTP servers of other makers (Node's http
// module, Python's http.server speaking HTTP/1.1, aiohttp), which keep
// connections alive, and the wallet simulator asking for a Digest login.
// Every exchange is checked byte for byte and must end within 2 s.
// Reliability suite: these start other programs and judge durations.
#include "upstream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>

#include "child_process.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

const std::string interop_dir = test::source_dir() + "/tests/interop/";

struct maker {
    const char* name;
    std::string program;
    std::string script;
};

const maker makers[] = {
    {"node", "/usr/bin/node", "node_server.mjs"},
    {"python", "/usr/bin/python3", "python_server.py"},
    {"aiohttp", "/usr/bin/python3", "aiohttp_server.py"},
};

// The same 3,000,000 bytes the upstreams make (tests/interop/answers.*).
std::string big_body()
{
    std::string b(3000000, '\0');
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
    return b;
}

std::string json_answer(int status, const char* reason, const std::string& body)
{
    return test::expected_head(status, reason, "application/json", body.size()) + "\r\n\r\n" + body;
}

// Starts an upstream program that prints ready, then its port; the port,
// 0 when none came.
std::uint16_t start_upstream(std::unique_ptr<test::child>& proc, const std::string& program,
                             std::vector<std::string> args, const std::string& ready)
{
    test::child_options o;
    o.args = std::move(args);
    proc = std::make_unique<test::child>(program, o);
    if (!proc->wait_for_output(ready, 20s)) return 0;
    const std::string out = proc->out();
    std::smatch m;
    const std::string after = out.substr(out.find(ready) + ready.size());
    if (!std::regex_search(after, m, std::regex("^(\\d+)"))) return 0;
    return static_cast<std::uint16_t>(std::stoi(m[1]));
}

// Runs one exchange; its bytes, and how long it took in milliseconds.
std::pair<std::string, double> timed(std::uint16_t port, const std::string& request)
{
    const auto start = std::chrono::steady_clock::now();
    std::string answer = test::http_exchange(port, request);
    return {answer,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count()};
}

TEST(Interop, OtherMakersServersRelayedExactlyAndAtOnce)
{
    const std::string big = big_body();
    for (const maker& m : makers) {
        std::unique_ptr<test::child> proc;
        const std::uint16_t port = start_upstream(proc, m.program, {interop_dir + m.script}, "port ");
        ASSERT_NE(port, 0) << m.name << ": " << proc->err();
        config cfg;
        cfg.rpc_port = port;
        cfg.daemon_port = port;
        test::server srv(cfg);
        const std::string who = std::string("\"maker\":\"") + m.name + "\"}";
        struct row {
            const char* kind;
            std::string expected;         // the client's answer through /rpc/KIND
            std::string wallet_expected;  // through /json_rpc, when it differs
        };
        const std::string wallet_down = json_answer(
            502, "Bad Gateway",
            "{\"error\":\"Cannot connect to krv-wallet-rpc at 127.0.0.1:" + std::to_string(port) + "\"}");
        const row rows[] = {
            {"length", json_answer(200, "OK", "{\"framing\":\"length\"," + who), ""},
            {"chunked", json_answer(200, "OK", "{\"framing\":\"chunked\"," + who), ""},
            {"empty", json_answer(502, "Bad Gateway", "{\"error\":\"Cannot connect to RPC\"}"), wallet_down},
            {"error", json_answer(200, "OK", "{\"error\":{\"code\":-1,\"message\":\"boom\"}," + who), ""},
            {"big", json_answer(200, "OK", big), ""},
        };
        std::string figures;
        for (const row& r : rows) {
            auto [path_answer, path_ms] =
                timed(srv.port(), std::string("GET /rpc/") + r.kind + " HTTP/1.1\r\nHost: x\r\n\r\n");
            const std::string body =
                std::string("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"") + r.kind + "\"}";
            auto [rpc_answer, rpc_ms] =
                timed(srv.port(), "POST /json_rpc HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body);
            EXPECT_TRUE(path_answer == r.expected)
                << m.name << " /rpc/" << r.kind << ": " << path_answer.substr(0, 300);
            const std::string& wallet_expected = r.wallet_expected.empty() ? r.expected : r.wallet_expected;
            EXPECT_TRUE(rpc_answer == wallet_expected)
                << m.name << " " << r.kind << ": " << rpc_answer.substr(0, 300);
            EXPECT_LT(path_ms, 2000.0) << m.name << " /rpc/" << r.kind;
            EXPECT_LT(rpc_ms, 2000.0) << m.name << " " << r.kind;
            char line[96];
            std::snprintf(line, sizeof line, " %s %.0f/%.0f ms", r.kind, path_ms, rpc_ms);
            figures += line;
        }
        std::printf("[figure] interop %s (/rpc/ and /json_rpc):%s\n", m.name, figures.c_str());
        proc->send_signal(SIGTERM);
        proc->wait(5s);
    }
}

// The simulator asking for a Digest login, as the real wallet service does
// when it was started with one.
TEST(Interop, TheSimulatorsDigestLogin)
{
    test::temp_dir dir;
    std::unique_ptr<test::child> sim;
    const std::uint16_t wallet_port =
        start_upstream(sim, "/usr/bin/node",
                       {test::source_dir() + "/tools/wallet-sim.mjs", "--wallet-port", "0", "--daemon-port",
                        "0", "--wallet-dir", (dir.path() / "wallets").string(), "--log",
                        (dir.path() / "sim.log").string(), "--rpc-login", "krv:pass word:1"},
                       "{\"wallet_port\":");
    ASSERT_NE(wallet_port, 0) << sim->err();
    const std::string call = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"get_height\"}";
    const std::string request =
        "POST /json_rpc HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(call.size()) + "\r\n\r\n" +
        call;

    config cfg;
    cfg.rpc_port = wallet_port;
    cfg.rpc_login = make_login("krv", "pass word:1");
    test::server srv(cfg);
    for (int i = 0; i < 3; ++i) {
        auto [answer, ms] = timed(srv.port(), request);
        test::response r = test::split_response(answer);
        EXPECT_EQ(r.status, 200) << answer;
        // The wallet's own answer (no wallet is open yet): the call got through the login.
        EXPECT_EQ(r.body,
                  "{\"jsonrpc\":\"2.0\",\"id\":1,\"error\":{\"code\":-13,\"message\":\"No wallet file\"}}");
        EXPECT_LT(ms, 2000.0);
    }
    EXPECT_EQ(health_json(cfg), "{\"status\":\"ok\"}");

    config wrong = cfg;
    wrong.rpc_login = make_login("krv", "pass word:2");
    EXPECT_EQ(health_json(wrong), "{\"status\":\"unauthorized\"}");
    test::server refused(wrong);
    EXPECT_EQ(test::http_exchange(refused.port(), request),
              json_answer(502, "Bad Gateway",
                          "{\"error\":\"krv-wallet-rpc at 127.0.0.1:" + std::to_string(wallet_port) +
                              " refused the login: check the USER:PASSWORD given to --rpc-login-file\"}"));
    config none = cfg;
    none.rpc_login = {};
    EXPECT_EQ(health_json(none), "{\"status\":\"unauthorized\"}");
    sim->send_signal(SIGTERM);
    sim->wait(5s);
}

}  // namespace
