// Who may use the wallet routes: a foreign page, a rebinding domain and a
// stranger on the network are refused with nothing sent upstream, while
// every request the dashboard, a script or a keyed client sends is
// answered exactly as before.
#include "access.h"

#include <gtest/gtest.h>

#include <set>

#include "fake_upstream.h"
#include "test_support.h"

namespace {

const std::string wrong_host =
    "This server does not answer for that host name: open the address shown in the server's banner, "
    "or start the server with --allow-host NAME for the name you use.";
const std::string foreign_page =
    "Web pages from other sites may not use the wallet: open the address shown in the server's banner, "
    "or start the server with --allow-origin ORIGIN for a page you trust.";
const std::string key_needed =
    "Another computer needs the key: open the LAN access address shown in the server's banner, which ends "
    "in #key=, or start the server with --lan-open.";

std::string json_answer(int status, const char* reason, const std::string& body)
{
    return test::expected_head(status, reason, "application/json", body.size()) + "\r\n\r\n" + body;
}

std::string refused(const std::string& sentence)
{
    return json_answer(403, "Forbidden", "{\"error\":\"" + sentence + "\"}");
}

const std::string upstream_answer = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"result\":1}";

// A server whose wallet and daemon are fakes that answer every request.
struct guarded {
    explicit guarded(config cfg = {})
        : wallet(test::answer(upstream_answer)),
          daemon(test::answer(upstream_answer)),
          srv(with_upstreams(cfg))
    {
    }
    config with_upstreams(config cfg) const
    {
        cfg.rpc_port = wallet.port();
        cfg.daemon_port = daemon.port();
        return cfg;
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(srv.port()); }
    std::string send(const std::string& method, const std::string& target, const std::string& headers)
    {
        std::string body = method == "POST" ? "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"transfer\"}" : "";
        std::string request = method + " " + target + " HTTP/1.1\r\n" + headers;
        if (!body.empty())
            request += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        return test::http_exchange(srv.port(), request + "\r\n" + body);
    }
    std::size_t upstream_connections() const { return wallet.accepted() + daemon.accepted(); }

    test::fake_upstream wallet;
    test::fake_upstream daemon;
    test::server srv;
};

struct header_case {
    const char* name;
    std::string headers;  // "{host}" stands for the server's own host:port
    bool allowed;
};

std::string with_host(std::string headers, const std::string& host)
{
    for (std::size_t at; (at = headers.find("{host}")) != std::string::npos;)
        headers.replace(at, 6, host);
    return headers;
}

// Each case against POST /json_rpc: refused ones get the sentence and
// reach no upstream; allowed ones get the wallet's answer, as before.
void check_cases(guarded& g, const std::vector<header_case>& cases, const std::string& sentence)
{
    for (const auto& c : cases) {
        const std::size_t before = g.upstream_connections();
        const std::string answer = g.send("POST", "/json_rpc", with_host(c.headers, g.host()));
        if (c.allowed) {
            EXPECT_EQ(answer, json_answer(200, "OK", "{\"result\":1}")) << c.name;
        } else {
            EXPECT_EQ(answer, refused(sentence)) << c.name;
            EXPECT_EQ(g.upstream_connections(), before) << c.name << ": reached the wallet";
        }
    }
}

TEST(WalletAccess, OriginAndFetchSite)
{
    guarded g;
    check_cases(
        g,
        {
            {"curl: no Origin, no Sec-Fetch-Site", "Host: {host}\r\n", true},
            {"the dashboard's POST",
             "Host: {host}\r\nOrigin: http://{host}\r\nSec-Fetch-Site: same-origin\r\n", true},
            {"a typed address", "Host: {host}\r\nSec-Fetch-Site: none\r\n", true},
            {"origin in other letter case", "Host: localhost:8880\r\nOrigin: http://LocalHost:8880\r\n",
             true},
            {"a foreign page",
             "Host: {host}\r\nOrigin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n", false},
            {"a local file", "Host: {host}\r\nOrigin: null\r\nSec-Fetch-Site: cross-site\r\n", false},
            {"another port", "Host: {host}\r\nOrigin: http://127.0.0.1:1\r\nSec-Fetch-Site: same-site\r\n",
             false},
            {"https in front", "Host: {host}\r\nOrigin: https://{host}\r\n", false},
            {"a foreign page without Origin", "Host: {host}\r\nSec-Fetch-Site: cross-site\r\n", false},
            {"same site, not same origin", "Host: {host}\r\nSec-Fetch-Site: same-site\r\n", false},
            {"origin without a host", "Origin: http://127.0.0.1:8880\r\n", false},
        },
        foreign_page);
}

TEST(WalletAccess, AllowOriginNamesTheOnesLetThrough)
{
    config cfg;
    cfg.allow_origins = {"https://wallet.example", "null"};
    guarded g(cfg);
    check_cases(
        g,
        {
            {"named", "Host: {host}\r\nOrigin: https://wallet.example\r\nSec-Fetch-Site: cross-site\r\n",
             true},
            {"null, named", "Host: {host}\r\nOrigin: null\r\nSec-Fetch-Site: cross-site\r\n", true},
            {"not named", "Host: {host}\r\nOrigin: https://other.example\r\n", false},
            {"cross-site without Origin", "Host: {host}\r\nSec-Fetch-Site: cross-site\r\n", false},
        },
        foreign_page);

    config any;
    any.allow_origins = {"*"};
    guarded open(any);
    check_cases(open,
                {
                    {"any origin",
                     "Host: {host}\r\nOrigin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n", true},
                    {"cross-site without Origin", "Host: {host}\r\nSec-Fetch-Site: cross-site\r\n", true},
                },
                foreign_page);
}

TEST(WalletAccess, HostNamesThatRebindingCannotUse)
{
    config cfg;
    cfg.host_name = "Wallet-Box.lan";
    guarded g(cfg);
    check_cases(
        g,
        {
            {"no Host", "", true},
            {"loopback literal", "Host: {host}\r\n", true},
            {"localhost", "Host: localhost:8880\r\n", true},
            {"a name without a dot", "Host: wallet-box:8880\r\n", true},
            {"IPv6 literal", "Host: [::1]:8880\r\n", true},
            {"IPv4 literal", "Host: 192.168.1.20:8880\r\n", true},
            {".local", "Host: wallet-box.local:8880\r\n", true},
            {".localhost", "Host: app.localhost\r\n", true},
            {"this machine's name", "Host: wallet-box.LAN:8880\r\n", true},
            {"a rebound domain", "Host: evil.example:8880\r\nOrigin: http://evil.example:8880\r\n", false},
            {"a rebound domain, no port", "Host: evil.example\r\n", false},
            {"a trailing dot", "Host: localhost.:8880\r\n", false},
            {"an address inside a name", "Host: 127.0.0.1.evil.example\r\n", false},
        },
        wrong_host);

    config named;
    named.allow_hosts = {"wallet.example"};
    guarded proxied(named);
    check_cases(
        proxied,
        {{"named", "Host: WALLET.example:443\r\n", true}, {"not named", "Host: other.example\r\n", false}},
        wrong_host);
    config any;
    any.allow_hosts = {"*"};
    guarded open(any);
    check_cases(open, {{"any", "Host: evil.example\r\n", true}}, wrong_host);
}

TEST(WalletAccess, EveryWalletRouteIsGuardedAndNothingElse)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "krv-webui.html", "page");
    test::write_file(dir.path() / "wallet.log", "line\n");
    config cfg;
    cfg.web_dir = dir.str();
    cfg.wallet_log = (dir.path() / "wallet.log").string();
    cfg.wallet_dir = dir.str();
    guarded g(cfg);
    const std::string hostile =
        "Host: {host}\r\nOrigin: http://evil.example\r\nSec-Fetch-Site: cross-site\r\n";
    for (auto [method, target] : {std::pair{"POST", "/json_rpc"}, std::pair{"POST", "/daemon_rpc"},
                                  std::pair{"GET", "/rpc/get_info"}, std::pair{"POST", "/rpc/get_info"},
                                  std::pair{"GET", "/wallet-log?lines=5"}, std::pair{"GET", "/wallets"}}) {
        EXPECT_EQ(g.send(method, target, with_host(hostile, g.host())), refused(foreign_page)) << target;
    }
    EXPECT_EQ(g.upstream_connections(), 0u);

    // The page, the preflight and the health badge stay open to anyone.
    const std::string h = with_host(hostile, g.host());
    EXPECT_EQ(test::split_response(g.send("GET", "/", h)).body, "page");
    EXPECT_EQ(g.send("OPTIONS", "/json_rpc", h),
              test::expected_head(200, "OK", "text/plain", 0) + "\r\n\r\n");
    EXPECT_EQ(test::split_response(g.send("GET", "/health", h)).status, 200);
    // GET /json_rpc is no wallet route: it looks for a file.
    EXPECT_EQ(test::split_response(g.send("GET", "/json_rpc", h)).status, 404);
}

// The key, for a peer that is not loopback.
TEST(WalletAccess, NetworkClientsNeedTheKey)
{
    config cfg;
    cfg.lan_key = "0123456789abcdef0123456789abcdef";
    http_request req;
    req.host = "192.168.1.20:8880";
    const std::uint32_t lan_peer = 0xC0A80115;  // 192.168.1.21
    const std::uint32_t loopback_peer = 0x7F000001;
    EXPECT_EQ(wallet_access_refusal(req, lan_peer, cfg), key_needed);
    req.krv_key = "0123456789abcdef0123456789abcdeX";
    EXPECT_EQ(wallet_access_refusal(req, lan_peer, cfg), key_needed);
    req.krv_key = "0123456789abcdef0123456789abcde";
    EXPECT_EQ(wallet_access_refusal(req, lan_peer, cfg), key_needed);
    req.krv_key = cfg.lan_key;
    EXPECT_EQ(wallet_access_refusal(req, lan_peer, cfg), std::nullopt);

    // This machine needs none; --lan-open asks none; no key known refuses all.
    req.krv_key.reset();
    EXPECT_EQ(wallet_access_refusal(req, loopback_peer, cfg), std::nullopt);
    EXPECT_EQ(wallet_access_refusal(req, 0x7F0000FE, cfg), std::nullopt);
    config open = cfg;
    open.lan_open = true;
    EXPECT_EQ(wallet_access_refusal(req, lan_peer, open), std::nullopt);
    config keyless;
    req.krv_key = "";
    EXPECT_EQ(wallet_access_refusal(req, lan_peer, keyless), key_needed);
}

TEST(LanKey, NewKeysAreRandomAndFixedOnesSafeToCarry)
{
    std::set<std::string> keys;
    for (int i = 0; i < 100; ++i) {
        std::string key = new_lan_key();
        ASSERT_EQ(key.size(), 32u);
        EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
        EXPECT_TRUE(valid_lan_key(key));
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 100u);
    EXPECT_TRUE(keys_equal("abc", "abc"));
    EXPECT_FALSE(keys_equal("abd", "abc"));
    EXPECT_FALSE(keys_equal("abc", "abcd"));
    EXPECT_FALSE(keys_equal("", "abc"));
}

TEST(Limits, PerAddressCapAndBodyTotal)
{
    shared_limits limits;
    const std::uint32_t host = 0x0A000001;
    std::vector<address_slot> held;
    for (int i = 0; i < max_connections_per_address; ++i) {
        held.push_back(admit_connection(limits, host));
        ASSERT_TRUE(held.back().admitted()) << i;
    }
    EXPECT_FALSE(admit_connection(limits, host).admitted());
    // Another host, and loopback, are not held back by it.
    EXPECT_TRUE(admit_connection(limits, 0x0A000002).admitted());
    for (int i = 0; i < 2 * max_connections_per_address; ++i)
        EXPECT_TRUE(admit_connection(limits, 0x7F000001).admitted());
    held.pop_back();
    EXPECT_TRUE(admit_connection(limits, host).admitted());

    const std::uint64_t bound = 32u << 20;
    {
        std::vector<std::unique_ptr<body_reservation>> bodies;
        for (std::uint64_t total = 0; total + bound <= max_bodies_held; total += bound) {
            bodies.push_back(std::make_unique<body_reservation>(limits));
            ASSERT_TRUE(bodies.back()->take(bound));
        }
        body_reservation one_more(limits);
        EXPECT_FALSE(one_more.take(1));
        bodies.pop_back();
        EXPECT_TRUE(one_more.take(bound));
    }
    EXPECT_EQ(limits.bodies_held.load(), 0u);
}

// A request has a whole minute (here: a fifth of a second) from its accept
// to arrive; one that trickles in past it gets no reply.
TEST(RequestDeadline, ARequestThatHasNotArrivedInTimeGetsNoReply)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "krv-webui.html", "page");
    config cfg;
    cfg.web_dir = dir.str();
    cfg.request_deadline_ms = 200;
    test::server srv(cfg);
    // Half a head, then nothing.
    EXPECT_EQ(test::http_exchange(srv.port(), "GET / HTTP/1.1\r\nHost: x\r\n"), "");
    // A body one byte short is not answered with what came.
    EXPECT_EQ(test::http_exchange(srv.port(), "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n1234"), "");
    // A byte now and then does not extend it.
    plat::socket_handle c = test::connect_loopback(srv.port());
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
        closed = !plat::send_all(c.get(), "G");
        plat::sleep_ms(20);
        char byte;
        plat::set_recv_timeout(c.get(), 1);
        closed = closed || plat::recv_some(c.get(), &byte, 1) == 0;
    }
    EXPECT_TRUE(closed);
    // A whole request in time is answered.
    EXPECT_EQ(test::split_response(test::http_exchange(srv.port(), "GET / HTTP/1.1\r\n\r\n")).body, "page");
}

}  // namespace
