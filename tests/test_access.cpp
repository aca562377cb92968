// Who may use the guarded routes: a foreign page, a rebinding name, a page
// reaching this machine by its own name, a stranger on the network and a
// guesser are refused from the head alone with nothing sent upstream, while
// every request the dashboard, a script or a paired or keyed client sends
// is answered exactly as before. Clients on the network are played by a
// server that takes every connection for one from 192.168.1.21.
#include "access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "fake_upstream.h"
#include "test_support.h"

namespace {

const std::string wrong_host =
    "This server does not answer for that host name: open the address shown in the server's banner, "
    "or start the server with --allow-host NAME for the name you use.";
const std::string foreign_page =
    "Web pages from other sites may not use the wallet: open the address shown in the server's banner, "
    "or start the server with --allow-origin ORIGIN for a page you trust.";
const std::string not_paired =
    "This device is not paired: open a pairing address from the server's banner, or from Pair a device in "
    "the Devices card of the dashboard on the server's computer, or start the server with --lan-open.";
const std::string header_needed =
    "A request by host name needs the header X-Requested-With, which the dashboard sends: add it to your "
    "script, or use the address 127.0.0.1 or localhost.";
const std::string locked =
    "This address is locked for a minute: it sent 20 wrong keys or pairing codes within a minute.";
const std::string devices_here_only =
    "Only the computer that runs krv-webui can pair and forget devices: open the dashboard there.";

const std::uint32_t lan_peer = 0xC0A80115;  // 192.168.1.21
const std::string lan_key = "0123456789abcdef0123456789abcdef";

std::string json_answer(int status, const char* reason, const std::string& body)
{
    return test::expected_head(status, reason, "application/json", body.size()) + "\r\n\r\n" + body;
}

std::string refused(const std::string& sentence)
{
    return json_answer(403, "Forbidden", "{\"error\":\"" + sentence + "\"}");
}

std::string refused_unpaired()
{
    return json_answer(403, "Forbidden", "{\"error\":\"" + not_paired + "\",\"pair\":true}");
}

const std::string upstream_answer = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"result\":1}";
const std::string wallet_result = json_answer(200, "OK", "{\"result\":1}");

// A server whose wallet and daemon are fakes that answer every request.
struct guarded {
    explicit guarded(config cfg = {}, test::server_options opts = {})
        : wallet(test::answer(upstream_answer)),
          daemon(test::answer(upstream_answer)),
          srv(with_upstreams(cfg), opts)
    {
    }
    config with_upstreams(config cfg) const
    {
        cfg.rpc_port = wallet.port();
        cfg.daemon_port = daemon.port();
        return cfg;
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(srv.port()); }
    std::string send(const std::string& method, const std::string& target, const std::string& headers,
                     std::string body = "")
    {
        if (body.empty() && method == "POST") body = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"transfer\"}";
        std::string request = method + " " + target + " HTTP/1.1\r\n" + headers;
        if (!body.empty())
            request += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        return test::http_exchange(srv.port(), request + "\r\n" + body);
    }
    std::string post_with_key(const std::string& key)
    {
        return send("POST", "/json_rpc", "Host: " + host() + "\r\nX-KRV-Key: " + key + "\r\n");
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
            EXPECT_EQ(answer, wallet_result) << c.name;
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

// Only names that nobody else can answer for pass without more: whoever
// answers a .local or a bare name (mDNS, LLMNR, NetBIOS) could rebind it here.
TEST(WalletAccess, HostNamesThatRebindingCannotUse)
{
    config cfg;
    cfg.host_name = "Wallet-Box";
    guarded g(cfg);
    const std::string page = "X-Requested-With: krv-webui\r\n";
    check_cases(
        g,
        {
            {"no Host", "", true},
            {"empty Host", "Host: \r\n", true},
            {"loopback literal", "Host: {host}\r\n", true},
            {"localhost", "Host: localhost:8880\r\n", true},
            {"localhost, no port, other case", "Host: LocalHost\r\n", true},
            {"a .localhost name", "Host: app.localhost:8880\r\n", true},
            {"IPv6 literal", "Host: [::1]:8880\r\n", true},
            {"IPv6 literal, no port", "Host: [fe80::1]\r\n", true},
            {"IPv4 literal", "Host: 192.168.1.20:8880\r\n", true},
            {"this machine's name", "Host: wallet-box:8880\r\n" + page, true},
            {"this machine's name with .local", "Host: WALLET-BOX.local:8880\r\n" + page, true},
            {"an mDNS name", "Host: evil.local:8880\r\n" + page, false},
            {"another machine's mDNS name", "Host: my-nas.local\r\n" + page, false},
            {".local inside a name", "Host: wallet.local.evil.example:8880\r\n" + page, false},
            {"a bare name", "Host: wpad:8880\r\n" + page, false},
            {"a bare name that is not ours", "Host: nas\r\n" + page, false},
            {"our name under another domain", "Host: wallet-box.lan:8880\r\n" + page, false},
            {"our name, trailing dot", "Host: wallet-box.local.:8880\r\n" + page, false},
            {"a rebound domain", "Host: evil.example:8880\r\nOrigin: http://evil.example:8880\r\n", false},
            {"localhost, trailing dot", "Host: localhost.:8880\r\n", false},
            {".localhost, trailing dot", "Host: app.localhost.\r\n", false},
            {"an address inside a name", "Host: 127.0.0.1.evil.example\r\n", false},
            {"not an IPv6 literal", "Host: [evil.example]:8880\r\n", false},
            {"bracket, then a name", "Host: [::1]evil.example\r\n", false},
        },
        wrong_host);

    config named;
    named.allow_hosts = {"wallet.example"};
    guarded proxied(named);
    check_cases(proxied,
                {{"named", "Host: WALLET.example:443\r\n" + page, true},
                 {"not named", "Host: other.example\r\n" + page, false}},
                wrong_host);
    config any;
    any.allow_hosts = {"*"};
    guarded open(any);
    check_cases(open, {{"any", "Host: evil.example\r\n" + page, true}}, wrong_host);
}

// A page anywhere can make the browser GET http://THIS-MACHINE:PORT/... in
// an <img> (no Origin, and no Sec-Fetch-* over plain http by name); only
// the dashboard's own scripts add X-Requested-With.
TEST(WalletAccess, OwnNamesNeedThePagesHeader)
{
    config cfg;
    cfg.host_name = "wallet-box";
    cfg.allow_hosts = {"wallet.example"};
    cfg.lan_key = lan_key;
    guarded g(cfg);
    for (std::string host : {"wallet-box:8880", "wallet-box.local:8880", "wallet.example"}) {
        const std::string h = "Host: " + host + "\r\n";
        for (auto [method, target] : {std::pair{"GET", "/rpc/stop_daemon"}, std::pair{"GET", "/wallets"},
                                      std::pair{"POST", "/json_rpc"}, std::pair{"GET", "/devices"}})
            EXPECT_EQ(g.send(method, target, h), refused(header_needed)) << host << target;
        EXPECT_EQ(g.send("POST", "/json_rpc", h + "X-Requested-With: krv-webui\r\n"), wallet_result) << host;
        EXPECT_EQ(g.send("POST", "/json_rpc", h + "X-Requested-With: \r\n"), wallet_result) << host;
        EXPECT_EQ(g.send("POST", "/json_rpc", h + "x-requested-with: XMLHttpRequest\r\n"), wallet_result)
            << host;
        EXPECT_EQ(g.send("POST", "/json_rpc", h + "X-KRV-Key: " + lan_key + "\r\n"), wallet_result) << host;
        EXPECT_EQ(g.send("POST", "/json_rpc", h + "X-KRV-Key: " + std::string(32, '0') + "\r\n"),
                  refused(header_needed))
            << host;
    }
    // curl by address or localhost is unchanged.
    for (const std::string& host : {g.host(), std::string("localhost:8880"), std::string("10.0.0.5")})
        EXPECT_EQ(g.send("POST", "/json_rpc", "Host: " + host + "\r\n"), wallet_result) << host;
    EXPECT_EQ(g.wallet.accepted(), 15u);
}

TEST(WalletAccess, EveryGuardedRouteIsGuardedAndNothingElse)
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
    for (auto [method, target] :
         {std::pair{"POST", "/json_rpc"}, std::pair{"POST", "/daemon_rpc"}, std::pair{"GET", "/rpc/get_info"},
          std::pair{"POST", "/rpc/get_info"}, std::pair{"GET", "/wallet-log?lines=5"},
          std::pair{"GET", "/wallets"}, std::pair{"GET", "/devices"}, std::pair{"POST", "/devices/pair"},
          std::pair{"POST", "/devices/forget"}, std::pair{"POST", "/pair"}}) {
        EXPECT_EQ(g.send(method, target, with_host(hostile, g.host())), refused(foreign_page)) << target;
    }
    EXPECT_EQ(g.upstream_connections(), 0u);
    EXPECT_EQ(live_pairing_codes(g.srv.limits().devices, pairing_now()), 0);

    // The page, the preflight and the health badge stay open to anyone.
    const std::string h = with_host(hostile, g.host());
    EXPECT_EQ(test::split_response(g.send("GET", "/", h)).body, "page");
    EXPECT_EQ(g.send("OPTIONS", "/json_rpc", h),
              test::expected_head(200, "OK", "text/plain", 0) + "\r\n\r\n");
    EXPECT_EQ(test::split_response(g.send("GET", "/health", h)).status, 200);
    // GET /json_rpc is no wallet route: it looks for a file.
    EXPECT_EQ(test::split_response(g.send("GET", "/json_rpc", h)).status, 404);
}

// A page that --allow-origin names may send the two headers the wallet
// routes may need; any other page's preflight allows Content-Type alone.
TEST(WalletAccess, PreflightAllowsTheKeyHeadersToNamedOriginsOnly)
{
    config cfg;
    cfg.allow_origins = {"https://wallet.example"};
    guarded g(cfg);
    const std::string ask = "Access-Control-Request-Headers: x-krv-key, x-requested-with\r\n";
    const std::string named =
        g.send("OPTIONS", "/json_rpc", "Host: " + g.host() + "\r\nOrigin: https://WALLET.example\r\n" + ask);
    EXPECT_EQ(named,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 0\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Access-Control-Allow-Headers: Content-Type, X-KRV-Key, X-Requested-With\r\n"
              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nConnection: close\r\n\r\n");
    for (std::string origin : {"http://evil.example", "null", "https://wallet.example.evil"})
        EXPECT_EQ(g.send("OPTIONS", "/json_rpc", "Origin: " + origin + "\r\n" + ask),
                  test::expected_head(200, "OK", "text/plain", 0) + "\r\n\r\n")
            << origin;
}

// A network client: without a key or token, or with a wrong one, refused
// and told to pair; with the fixed key or a paired device's token, the
// wallet's answer; the device routes are this machine's alone.
TEST(NetworkAccess, KeysTokensAndTheDeviceRoutes)
{
    config cfg;
    cfg.lan_key = lan_key;
    guarded g(cfg, {lan_peer});
    const std::string h = "Host: " + g.host() + "\r\n";
    EXPECT_EQ(g.send("POST", "/json_rpc", h), refused_unpaired());
    EXPECT_EQ(g.post_with_key(lan_key.substr(0, 31) + "X"), refused_unpaired());
    EXPECT_EQ(g.post_with_key(lan_key.substr(0, 31)), refused_unpaired());
    EXPECT_EQ(g.send("GET", "/wallets", h + "X-KRV-Key: \r\n"), refused_unpaired());
    EXPECT_EQ(g.upstream_connections(), 0u);
    EXPECT_EQ(g.post_with_key(lan_key), wallet_result);

    // A paired device's token works until the device is forgotten.
    device_table& devices = g.srv.limits().devices;
    const std::string code = new_pairing_code(devices, "phone", cfg.pairing_lifetime_ms, pairing_now());
    const auto device = trade_pairing_code(devices, code, "", lan_peer, pairing_now());
    ASSERT_TRUE(device);
    EXPECT_EQ(g.post_with_key(device->token), wallet_result);
    EXPECT_EQ(g.upstream_connections(), 2u);
    ASSERT_TRUE(forget_device(devices, paired_devices(devices).at(0).id));
    EXPECT_EQ(g.post_with_key(device->token), refused_unpaired());

    for (auto [method, target] : {std::pair{"GET", "/devices"}, std::pair{"POST", "/devices/pair"},
                                  std::pair{"POST", "/devices/forget"}})
        EXPECT_EQ(g.send(method, target, h + "X-KRV-Key: " + lan_key + "\r\n", "all=1"),
                  refused(devices_here_only))
            << target;
    EXPECT_EQ(live_pairing_codes(devices, pairing_now()), 0);

    // The page, the badge and the trade of a code need nothing.
    EXPECT_EQ(test::split_response(g.send("GET", "/health", h)).body, "{\"status\":\"ok\"}");
    config open;
    open.lan_open = true;
    guarded anyone(open, {lan_peer});
    EXPECT_EQ(anyone.send("POST", "/json_rpc", "Host: " + anyone.host() + "\r\n"), wallet_result);
}

// Pairing end to end: this machine makes a code, the device trades it
// once for a token, this machine lists the device and forgets it.
TEST(NetworkAccess, PairingThroughTheRoutes)
{
    config cfg;
    cfg.lan_addresses = {"192.168.1.20", "10.0.0.7"};
    cfg.port = 8880;
    guarded here(cfg);
    const std::string h = "Host: " + here.host() + "\r\n";
    const test::response made =
        test::split_response(here.send("POST", "/devices/pair", h, "name=Anna%27s+phone"));
    ASSERT_EQ(made.status, 200) << made.body;
    const std::size_t at = made.body.find("\"code\":\"") + 8;
    const std::string code = made.body.substr(at, 32);
    EXPECT_EQ(made.body, "{\"code\":\"" + code + "\",\"links\":[\"http://192.168.1.20:8880/#pair=" + code +
                             "\",\"http://10.0.0.7:8880/#pair=" + code + "\"],\"expires_in_ms\":600000}");

    // The device is another server's client here: the same table, seen from the network.
    const std::string used =
        json_answer(403, "Forbidden",
                    "{\"error\":\"This pairing address was already used or has expired: on the computer that "
                    "runs krv-webui, "
                    "choose Pair a device in the dashboard's Devices card for a new one.\"}");
    const std::string trade = "code=" + code + "&name=Chrome+on+Android";
    const test::response paired = test::split_response(here.send("POST", "/pair", h, trade));
    ASSERT_EQ(paired.status, 200);
    const std::string token = paired.body.substr(10, 32);
    EXPECT_EQ(paired.body, "{\"token\":\"" + token + "\",\"name\":\"Anna's phone\"}");
    EXPECT_NE(token, code);
    EXPECT_EQ(here.send("POST", "/pair", h, trade), used);
    EXPECT_EQ(here.send("POST", "/pair", h, "code=nonsense"), used);

    const test::response listed = test::split_response(here.send("GET", "/devices", h));
    const std::string id = std::to_string(paired_devices(here.srv.limits().devices).at(0).id);
    EXPECT_TRUE(listed.body.starts_with("{\"mode\":\"pairing\",\"codes\":0,\"devices\":[{\"id\":" + id +
                                        ",\"name\":\"Anna's phone\",\"paired\":"))
        << listed.body;
    EXPECT_NE(listed.body.find(",\"address\":\"127.0.0.1\"}]}"), std::string::npos) << listed.body;
    EXPECT_EQ(listed.body.find(token), std::string::npos) << "the list shows no token";
    EXPECT_EQ(test::split_response(here.send("POST", "/devices/forget", h, "id=" + id)).body,
              "{\"forgotten\":1}");
    EXPECT_EQ(test::split_response(here.send("POST", "/devices/forget", h, "id=" + id)).body,
              "{\"forgotten\":0}");
    EXPECT_EQ(test::split_response(here.send("GET", "/devices", h)).body,
              "{\"mode\":\"pairing\",\"codes\":0,\"devices\":[]}");
    // A body larger than any code or name is refused before it is read.
    EXPECT_EQ(here.send("POST", "/pair", h, std::string(5000, 'x')),
              test::expected_head(400, "Bad Request", "text/plain", 11) + "\r\n\r\nBad Request");
}

// 20 wrong keys or codes within the window lock the address for the next
// window, whatever it sends; this machine is never locked.
TEST(NetworkAccess, GuessingLocksTheAddress)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "krv-webui.html", "page");
    config cfg;
    cfg.web_dir = dir.str();
    cfg.lan_key = lan_key;
    guarded g(cfg, {lan_peer});
    for (int i = 0; i < 19; ++i)
        ASSERT_EQ(g.post_with_key(std::string(32, 'a' + i % 6)), refused_unpaired()) << i;
    // A wrong pairing code counts the same; this one is the 20th.
    EXPECT_EQ(g.send("POST", "/pair", "Host: " + g.host() + "\r\n", "code=" + std::string(32, '0')),
              refused(locked));
    EXPECT_EQ(g.post_with_key(lan_key), refused(locked));
    EXPECT_EQ(g.send("GET", "/", ""), refused(locked));
    EXPECT_EQ(g.send("GET", "/health", ""), refused(locked));
    EXPECT_EQ(g.upstream_connections(), 0u);

    guarded here(cfg);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(here.post_with_key(std::string(32, 'b')), wallet_result);
    EXPECT_EQ(here.post_with_key(lan_key), wallet_result);
}

TEST(GuessLock, CountsWithinTheWindowAndLocksForTheNext)
{
    shared_limits limits;
    const std::uint32_t a = 0x0A000002, b = 0x0A000003;
    const int window = 60000;
    std::int64_t t = 1000000;
    for (int i = 1; i < wrong_keys_to_lock; ++i)
        EXPECT_EQ(note_wrong_key(limits, a, t + i * 1000, window), guess_outcome::counted) << i;
    EXPECT_FALSE(address_locked(limits, a, t + 30000));
    EXPECT_EQ(note_wrong_key(limits, a, t + 30000, window), guess_outcome::locked);
    EXPECT_TRUE(address_locked(limits, a, t + 30000));
    EXPECT_TRUE(address_locked(limits, a, t + 89999));
    EXPECT_FALSE(address_locked(limits, a, t + 90000));
    EXPECT_FALSE(address_locked(limits, b, t + 30000));
    // After the lock the count starts again.
    EXPECT_EQ(note_wrong_key(limits, a, t + 90000, window), guess_outcome::counted);
    EXPECT_FALSE(address_locked(limits, a, t + 90001));

    // 19 in one window and 19 in the next lock nothing.
    for (int i = 0; i < 2 * (wrong_keys_to_lock - 1); ++i) {
        const std::int64_t at = t + (i < wrong_keys_to_lock - 1 ? 0 : window);
        EXPECT_EQ(note_wrong_key(limits, b, at, window), guess_outcome::counted) << i;
    }
    // Loopback is never locked.
    for (int i = 0; i < 100; ++i)
        note_wrong_key(limits, 0x7F000001, t, window);
    EXPECT_FALSE(address_locked(limits, 0x7F000001, t));
}

TEST(GuessLock, ManyGuessersAtOnceLockEachExactlyOnce)
{
    shared_limits limits;
    std::atomic<int> locks{0};
    std::vector<std::thread> threads;
    for (std::uint32_t host = 1; host <= 8; ++host) {
        threads.emplace_back([&, host] {
            for (int i = 0; i < 2 * wrong_keys_to_lock - 1; ++i)
                if (note_wrong_key(limits, 0x0A000000 + host, 1000, 60000) == guess_outcome::locked) ++locks;
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(locks.load(), 8);
}

TEST(LanKey, FixedKeysMustBeLongAndVaried)
{
    EXPECT_TRUE(valid_lan_key("0123456789abcdef0123456789abcdef"));
    EXPECT_TRUE(valid_lan_key("my-bookmark_key.1~2345"));
    EXPECT_TRUE(valid_lan_key(std::string(118, 'k') + "0123456789"));
    EXPECT_FALSE(valid_lan_key("aaaaaaaaaaaaaaaa"));
    EXPECT_FALSE(valid_lan_key("my-bookmark_key.1~234"));             // 21 characters
    EXPECT_FALSE(valid_lan_key("abababababababababababababababab"));  // 2 different
    EXPECT_FALSE(valid_lan_key("abcdefghiabcdefghiabcdefghi"));       // 9 different
    EXPECT_FALSE(valid_lan_key(std::string(119, 'k') + "0123456789"));
    EXPECT_FALSE(valid_lan_key("0123456789abcdef012345 789abcdef"));
    EXPECT_FALSE(valid_lan_key("0123456789abcdef01234/6789abcdef"));
    EXPECT_TRUE(keys_equal("abc", "abc"));
    EXPECT_FALSE(keys_equal("abd", "abc"));
    EXPECT_FALSE(keys_equal("abc", "abcd"));
    EXPECT_FALSE(keys_equal("", "abc"));
}

TEST(Limits, PerAddressAndNetworkCaps)
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
    held.pop_back();
    EXPECT_TRUE(admit_connection(limits, host).admitted());

    // Many addresses together: 512 at most; then loopback still.
    held.clear();
    for (std::uint32_t a = 1; held.size() < 20u * 64u; a += 1) {
        for (int i = 0; i < 64; ++i)
            held.push_back(admit_connection(limits, 0x0A010000 + a));
    }
    const auto admitted =
        std::count_if(held.begin(), held.end(), [](const address_slot& s) { return s.admitted(); });
    EXPECT_EQ(admitted, max_network_connections);
    EXPECT_EQ(limits.network_connections.load(), max_network_connections);
    for (int i = 0; i < 2 * max_connections_per_address; ++i)
        EXPECT_TRUE(admit_connection(limits, 0x7F000001).admitted());
    held.clear();
    EXPECT_EQ(limits.network_connections.load(), 0);
    EXPECT_TRUE(std::all_of(limits.per_address.begin(), limits.per_address.end(),
                            [](const std::atomic<int>& c) { return c.load() == 0; }));
}

TEST(Limits, TheNetworkHoldsAtMostHalfTheBodies)
{
    shared_limits limits;
    const std::uint64_t bound = 32u << 20;
    {
        std::vector<std::unique_ptr<body_reservation>> bodies;
        for (std::uint64_t total = 0; total + bound <= max_network_bodies_held; total += bound) {
            bodies.push_back(std::make_unique<body_reservation>(limits, true));
            ASSERT_TRUE(bodies.back()->take(bound));
        }
        body_reservation from_network(limits, true);
        EXPECT_FALSE(from_network.take(1));
        // This machine has the other half.
        for (std::uint64_t total = max_network_bodies_held; total + bound <= max_bodies_held;
             total += bound) {
            bodies.push_back(std::make_unique<body_reservation>(limits, false));
            ASSERT_TRUE(bodies.back()->take(bound));
        }
        body_reservation from_here(limits, false);
        EXPECT_FALSE(from_here.take(1));
        bodies.pop_back();
        EXPECT_TRUE(from_here.take(bound));
    }
    EXPECT_EQ(limits.bodies_held.load(), 0u);
    EXPECT_EQ(limits.network_bodies_held.load(), 0u);
}

// Refused from its head: the answer comes while the body never does, and
// nothing is reserved for it.
TEST(NetworkAccess, ARefusedPostIsAnsweredAtOnceAndReservesNothing)
{
    guarded g({}, {lan_peer});
    for (const std::string& extra : {std::string(), std::string("Origin: http://evil.example\r\n")}) {
        plat::socket_handle c = test::connect_loopback(g.srv.port());
        ASSERT_TRUE(plat::send_all(c.get(), "POST /json_rpc HTTP/1.1\r\nHost: " + g.host() + "\r\n" + extra +
                                                "Content-Length: 33554432\r\n\r\n{\"jsonrpc\""));
        const std::string expected = extra.empty() ? refused_unpaired() : refused(foreign_page);
        std::string answer;
        char buf[4096];
        while (answer.size() < expected.size()) {
            const long long n = plat::recv_some(c.get(), buf, sizeof buf);
            if (n <= 0) break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
        EXPECT_EQ(answer, expected);
        // The connection is still open (the body is read and dropped for a moment): nothing is held for it.
        EXPECT_EQ(g.srv.limits().bodies_held.load(), 0u);
        EXPECT_EQ(g.srv.limits().network_bodies_held.load(), 0u);
        EXPECT_EQ(plat::recv_some(c.get(), buf, sizeof buf), 0) << "the answer ends there";
    }
    EXPECT_EQ(g.upstream_connections(), 0u);
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
