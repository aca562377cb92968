// Real clients on the network: two network namespaces joined by a veth
// pair, the server in one, the clients in the other (from up to 21 addresses
// of a /24), so that the server sees peers that are not loopback. Needs
// root; elsewhere it skips. All traffic stays inside the two namespaces.
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "child_process.h"
#include "fake_upstream.h"
#include "pairing.h"
#include "process_stats.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const std::string ip_command = "/usr/sbin/ip";

bool ip(const std::vector<std::string>& args)
{
    test::child_options opts;
    opts.args = args;
    return test::run_program(ip_command, opts).status == 0;
}

double ms_since(steady::time_point start)
{
    return std::chrono::duration<double, std::milli>(steady::now() - start).count();
}

// Runs the calling thread in a network namespace until destroyed.
class inside {
public:
    explicit inside(const std::string& netns)
        : home_(::open("/proc/self/ns/net", O_RDONLY)),
          there_(::open(("/var/run/netns/" + netns).c_str(), O_RDONLY))
    {
        ok_ = home_ >= 0 && there_ >= 0 && ::setns(there_, CLONE_NEWNET) == 0;
    }
    ~inside()
    {
        if (ok_) ::setns(home_, CLONE_NEWNET);
        if (home_ >= 0) ::close(home_);
        if (there_ >= 0) ::close(there_);
    }
    inside(const inside&) = delete;
    inside& operator=(const inside&) = delete;
    bool ok() const { return ok_; }

private:
    int home_;
    int there_;
    bool ok_ = false;
};

// The server's namespace and the clients', joined by a /24 of their own:
// the server at .1, the client at .2, more client addresses from .10 on;
// removed, with the veth pair, on destruction.
class two_hosts {
public:
    two_hosts()
    {
        const std::string id = std::to_string(::getpid());
        server_ns = "krv-srv-" + id;
        client_ns = "krv-cli-" + id;
        net = "10.251." + std::to_string(::getpid() % 250) + ".";
        server_address = net + "1";
        client_address = net + "2";
        const std::string a = "krvs" + id, b = "krvc" + id;
        client_link = b;
        made_ = ip({"netns", "add", server_ns}) && ip({"netns", "add", client_ns}) &&
                ip({"link", "add", a, "type", "veth", "peer", "name", b}) &&
                ip({"link", "set", a, "netns", server_ns}) && ip({"link", "set", b, "netns", client_ns}) &&
                ip({"-n", server_ns, "addr", "add", server_address + "/24", "dev", a}) &&
                ip({"-n", client_ns, "addr", "add", client_address + "/24", "dev", b}) &&
                ip({"-n", server_ns, "link", "set", a, "up"}) &&
                ip({"-n", client_ns, "link", "set", b, "up"}) &&
                ip({"-n", server_ns, "link", "set", "lo", "up"}) &&
                ip({"-n", client_ns, "link", "set", "lo", "up"});
    }
    ~two_hosts()
    {
        ip({"netns", "del", server_ns});
        ip({"netns", "del", client_ns});
    }
    two_hosts(const two_hosts&) = delete;
    two_hosts& operator=(const two_hosts&) = delete;
    bool made() const { return made_; }

    // count more client addresses, .10 onwards; their texts.
    std::vector<std::string> add_client_addresses(int count)
    {
        std::vector<std::string> added;
        for (int i = 0; i < count; ++i) {
            const std::string address = net + std::to_string(10 + i);
            if (!ip({"-n", client_ns, "addr", "add", address + "/24", "dev", client_link})) return {};
            added.push_back(address);
        }
        return added;
    }

    std::string server_ns, client_ns, net, server_address, client_address, client_link;

private:
    bool made_ = false;
};

class Lan : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
        if (::access(ip_command.c_str(), X_OK) != 0) GTEST_SKIP() << "ip (iproute2) is not installed";
        hosts = std::make_unique<two_hosts>();
        if (!hosts->made()) GTEST_SKIP() << "network namespaces cannot be made here";
        std::filesystem::create_directories(root.path() / "web");
        test::write_file(root.path() / "web" / "krv-webui.html", "page");
        // The wallet service lives beside the server, on its loopback.
        inside there(hosts->server_ns);
        ASSERT_TRUE(there.ok());
        wallet = std::make_unique<test::fake_upstream>(test::answer(wallet_answer));
    }

    // The server program in its namespace on every address, with args added.
    std::unique_ptr<test::child> serve(std::vector<std::string> args)
    {
        test::child_options opts;
        opts.args = {"netns",          "exec",
                     hosts->server_ns, test::server_binary(),
                     "--port",         "0",
                     "--web-dir",      (root.path() / "web").string(),
                     "--rpc-port",     std::to_string(wallet->port()),
                     "--wallet-dir",   root.str()};
        opts.args.insert(opts.args.end(), args.begin(), args.end());
        opts.env = {{"HOME", root.str()}, {"USERPROFILE", std::nullopt}};
        auto c = std::make_unique<test::child>(ip_command, opts);
        if (!c->wait_for_output("Press Ctrl+C to stop.\n\n", 20s)) return nullptr;
        port = test::banner_port(c->out());
        return c;
    }

    // The server's code on its first LAN line; the namespace's address is its only one.
    std::string banner_code(const std::string& out) const
    {
        const std::string line =
            "  LAN access:   http://" + hosts->server_address + ":" + std::to_string(port) + "/#pair=";
        const std::size_t at = out.find(line);
        return at == std::string::npos ? "" : out.substr(at + line.size(), 32);
    }

    // A connection from the clients' namespace, from source (empty: the usual one).
    plat::socket_handle connect_from_client(const std::string& source = "") const
    {
        inside there(hosts->client_ns);
        plat::socket_handle s(plat::tcp_socket());
        plat::set_recv_timeout(s.get(), 10000);
        if (!there.ok() || (!source.empty() && !plat::bind_ipv4(s.get(), source, 0)) ||
            !plat::connect_ipv4(s.get(), hosts->server_address, port))
            s.reset();
        return s;
    }

    std::string exchange(const std::string& request) const
    {
        plat::socket_handle s = connect_from_client();
        if (!s.valid() || !plat::send_all(s.get(), request)) return "<no connection>";
        return test::read_until_close(s.get());
    }

    // The same from the server's own machine (its loopback).
    std::string exchange_here(const std::string& request) const
    {
        inside there(hosts->server_ns);
        return there.ok() ? test::http_exchange(port, request) : "<no namespace>";
    }

    std::string post(const std::string& target, const std::string& extra_headers,
                     const std::string& body) const
    {
        return "POST " + target + " HTTP/1.1\r\nHost: " + hosts->server_address + ":" + std::to_string(port) +
               "\r\n" + extra_headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    std::string post_json_rpc(const std::string& extra_headers) const
    {
        return exchange(
            post("/json_rpc", extra_headers, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"get_balance\"}"));
    }

    std::string with_key(const std::string& key) const { return post_json_rpc("X-KRV-Key: " + key + "\r\n"); }

    const std::string wallet_answer = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"result\":1}";
    const std::string wallet_result =
        test::expected_head(200, "OK", "application/json", 12) + "\r\n\r\n{\"result\":1}";
    static std::string json_403(const std::string& body)
    {
        return test::expected_head(403, "Forbidden", "application/json", body.size()) + "\r\n\r\n" + body;
    }
    const std::string not_paired = json_403(
        "{\"error\":\"This device is not paired: open a pairing address from the server's banner, or from "
        "Pair a "
        "device in the Devices card of the dashboard on the server's computer, or start the server with "
        "--lan-open.\",\"pair\":true}");
    const std::string code_used = json_403(
        "{\"error\":\"This pairing address was already used or has expired: on the computer that runs "
        "krv-webui, "
        "choose Pair a device in the dashboard's Devices card for a new one.\"}");
    const std::string locked = json_403(
        "{\"error\":\"This address is locked for a minute: it sent 20 wrong keys or pairing codes within a "
        "minute.\"}");

    test::temp_dir root;
    std::unique_ptr<two_hosts> hosts;
    std::unique_ptr<test::fake_upstream> wallet;
    std::uint16_t port = 0;
};

// The token in a successful trade's answer; empty otherwise.
std::string token_of(const std::string& answer)
{
    const std::string body = test::split_response(answer).body;
    return body.starts_with("{\"token\":\"") ? body.substr(10, 32) : "";
}

TEST_F(Lan, WalletRoutesNeedPairingTheRestIsOpen)
{
    auto server = serve({});
    ASSERT_TRUE(server) << "no banner";
    const std::string code = banner_code(server->out());
    ASSERT_EQ(code.size(), 32u) << server->out();

    EXPECT_EQ(post_json_rpc(""), not_paired);
    EXPECT_EQ(with_key(std::string(32, '0')), not_paired);
    EXPECT_EQ(with_key(code), not_paired) << "a code is no token";
    EXPECT_EQ(exchange("GET /wallets HTTP/1.1\r\n\r\n"), not_paired);
    EXPECT_EQ(wallet->accepted(), 0u);

    // The code works once, from the network.
    const std::string token = token_of(exchange(post("/pair", "", "code=" + code + "&name=phone")));
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(exchange(post("/pair", "", "code=" + code)), code_used);
    EXPECT_EQ(with_key(token), wallet_result);
    EXPECT_EQ(wallet->accepted(), 1u);
    EXPECT_EQ(
        test::split_response(exchange("GET /wallets HTTP/1.1\r\nX-KRV-Key: " + token + "\r\n\r\n")).status,
        200);
    // The page and the health badge need nothing.
    EXPECT_EQ(test::split_response(exchange("GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_EQ(test::split_response(exchange("GET /health HTTP/1.1\r\n\r\n")).body, "{\"status\":\"ok\"}");

    // This machine sees the device, from where it came, and forgets it: its next request is refused.
    const std::string list = test::split_response(exchange_here("GET /devices HTTP/1.1\r\n\r\n")).body;
    EXPECT_NE(list.find("\"name\":\"phone\""), std::string::npos) << list;
    EXPECT_NE(list.find("\"address\":\"" + hosts->client_address + "\""), std::string::npos) << list;
    EXPECT_EQ(
        exchange(post("/devices/forget", "X-KRV-Key: " + token + "\r\n", "all=1")),
        json_403("{\"error\":\"Only the computer that runs krv-webui can pair and forget devices: open the "
                 "dashboard there.\"}"));
    EXPECT_EQ(test::split_response(exchange_here(post("/devices/forget", "", "all=1"))).body,
              "{\"forgotten\":1}");
    EXPECT_EQ(with_key(token), not_paired);

    // A new code from this machine pairs the next device.
    const std::string made =
        test::split_response(exchange_here(post("/devices/pair", "", "name=tablet"))).body;
    const std::string next = made.substr(9, 32);
    EXPECT_NE(made.find("\"links\":[\"http://" + hosts->server_address + ":" + std::to_string(port) +
                        "/#pair=" + next + "\"]"),
              std::string::npos)
        << made;
    EXPECT_EQ(with_key(token_of(exchange(post("/pair", "", "code=" + next)))), wallet_result);
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

// An expired code: the server runs in this process, in the server's
// namespace, with a lifetime of a fifth of a second.
TEST_F(Lan, AnExpiredCodeIsRefused)
{
    config cfg;
    cfg.web_dir = (root.path() / "web").string();
    cfg.rpc_port = wallet->port();
    cfg.pairing_lifetime_ms = 200;
    std::unique_ptr<test::server> srv;
    {
        inside there(hosts->server_ns);
        ASSERT_TRUE(there.ok());
        srv = std::make_unique<test::server>(cfg, test::server_options{0, hosts->server_address});
    }
    port = srv->port();
    device_table& devices = srv->limits().devices;
    const std::string fresh = new_pairing_code(devices, "", cfg.pairing_lifetime_ms, pairing_now());
    EXPECT_EQ(token_of(exchange(post("/pair", "", "code=" + fresh))).size(), 32u);
    const std::string stale = new_pairing_code(devices, "", cfg.pairing_lifetime_ms, pairing_now());
    plat::sleep_ms(250);
    EXPECT_EQ(exchange(post("/pair", "", "code=" + stale)), code_used);
    EXPECT_EQ(paired_devices(devices).size(), 1u);
}

TEST_F(Lan, LanOpenAsksNoKey)
{
    auto server = serve({"--lan-open"});
    ASSERT_TRUE(server) << "no banner";
    EXPECT_EQ(post_json_rpc(""), wallet_result);
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

TEST_F(Lan, OneAddressHoldsAtMost64Connections)
{
    auto server = serve({"--lan-key", "fixed-key-for-the-cap-test"});
    ASSERT_TRUE(server) << "no banner";
    const long pid = server->pid();
    const long long base_threads = test::thread_count(pid);
    std::vector<plat::socket_handle> held;
    for (int i = 0; i < 64; ++i) {
        held.push_back(connect_from_client());
        ASSERT_TRUE(held.back().valid());
        ASSERT_TRUE(plat::send_all(held.back().get(), "GET / HTTP/1.1\r\n"));
    }
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads + 64; }))
        << test::thread_count(pid) - base_threads << " connection threads";

    // The 65th is closed at once, without a thread or a reply.
    plat::socket_handle extra = connect_from_client();
    ASSERT_TRUE(extra.valid());
    plat::send_all(extra.get(), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(test::read_until_close(extra.get()), "");
    EXPECT_EQ(test::thread_count(pid), base_threads + 64);

    // One gone, one more may come.
    held.pop_back();
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == base_threads + 63; }));
    EXPECT_EQ(test::split_response(exchange("GET / HTTP/1.1\r\n\r\n")).body, "page");
    held.clear();
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

// One host with 20 addresses offers 64 connections from each: the network
// holds 512 at most, the rest are closed at once, and this machine is
// answered throughout.
TEST_F(Lan, TheNetworkHoldsAtMost512Connections)
{
    test::raise_open_file_limit();
    const std::vector<std::string> sources = hosts->add_client_addresses(20);
    ASSERT_EQ(sources.size(), 20u);
    auto server = serve({});
    ASSERT_TRUE(server) << "no banner";
    const long pid = server->pid();
    const long long base_threads = test::thread_count(pid);
    std::vector<plat::socket_handle> offered;
    for (const std::string& source : sources) {
        for (int i = 0; i < 64; ++i) {
            offered.push_back(connect_from_client(source));
            ASSERT_TRUE(offered.back().valid()) << source << " " << i;
            plat::send_all(offered.back().get(), "GET / HTTP/1.1\r\n");
        }
    }
    // Held: no answer yet; closed: the end of the stream.
    auto count_closed = [&] {
        int closed = 0;
        for (const auto& s : offered) {
            char byte;
            if (::recv(s.get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0) ++closed;
        }
        return closed;
    };
    EXPECT_TRUE(test::eventually([&] { return count_closed() == 1280 - 512; }))
        << count_closed() << " closed of 1280";
    const long long threads = test::thread_count(pid) - base_threads;
    EXPECT_EQ(threads, 512);

    const auto start = steady::now();
    EXPECT_EQ(test::split_response(exchange_here("GET / HTTP/1.1\r\n\r\n")).body, "page");
    const double here_ms = ms_since(start);
    std::printf(
        "[figure] 20 addresses x 64 connections offered: %d held (%lld connection threads, server RSS %lld "
        "MiB), %d closed at once; this machine answered in %.1f ms\n",
        1280 - count_closed(), threads, test::rss_kib(pid) / 1024, count_closed(), here_ms);
    offered.clear();
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

// Keyless peers announcing 32 MiB bodies hold none of the memory: the
// wallet routes refuse them from the head at once; the page's routes take
// the network's half at most. The dashboard's POST from this machine is
// answered throughout.
TEST_F(Lan, KeylessPeersCannotTakeTheBodyBudget)
{
    auto server = serve({});
    ASSERT_TRUE(server) << "no banner";
    const std::string announced = "Content-Length: 33554432\r\n\r\n";
    const std::string host = "Host: " + hosts->server_address + ":" + std::to_string(port) + "\r\n";
    std::vector<double> refused_ms;
    std::vector<plat::socket_handle> held;
    for (int i = 0; i < 16; ++i) {
        plat::socket_handle s = connect_from_client();
        ASSERT_TRUE(s.valid());
        const auto start = steady::now();
        plat::send_all(s.get(), "POST /json_rpc HTTP/1.1\r\n" + host + announced);
        std::string answer;
        char buf[1024];
        while (answer.size() < not_paired.size()) {
            const long long n = plat::recv_some(s.get(), buf, sizeof buf);
            if (n <= 0) break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
        refused_ms.push_back(ms_since(start));
        EXPECT_EQ(answer, not_paired) << i;
        held.push_back(std::move(s));
    }
    // A static route reads its body: the network's half holds 8 of these.
    for (int i = 0; i < 16; ++i) {
        held.push_back(connect_from_client());
        plat::send_all(held.back().get(), "POST / HTTP/1.1\r\n" + host + announced);
    }
    const std::string call = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"get_height\"}";
    const std::string here = "127.0.0.1:" + std::to_string(port);
    const std::string dashboard = "POST /json_rpc HTTP/1.1\r\nHost: " + here + "\r\nOrigin: http://" + here +
                                  "\r\nContent-Length: " + std::to_string(call.size()) + "\r\n\r\n" + call;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(exchange_here(dashboard), wallet_result) << i;
    const long long rss = test::rss_kib(server->pid()) / 1024;
    std::sort(refused_ms.begin(), refused_ms.end());
    std::printf(
        "[figure] refused POST from the network (32 MiB announced, no body sent): 403 in %.2f ms (median of "
        "16, slowest %.2f ms); with 16 more bodies pending on a page route the server holds %lld MiB and "
        "answers this machine's POST each time\n",
        refused_ms[8], refused_ms.back(), rss);
    EXPECT_LT(rss, 400);
    held.clear();
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

// 60 clients on the network asking /health as fast as they can for 3 s
// probe the wallet service once a second at most.
TEST_F(Lan, HealthFromTheNetworkIsShared)
{
    auto server = serve({});
    ASSERT_TRUE(server) << "no banner";
    std::atomic<int> answers{0}, wrong{0};
    const auto until = steady::now() + 3s;
    std::vector<std::thread> clients;
    for (int i = 0; i < 60; ++i) {
        clients.emplace_back([&] {
            while (steady::now() < until) {
                const std::string body = test::split_response(exchange("GET /health HTTP/1.1\r\n\r\n")).body;
                ++(body == "{\"status\":\"ok\"}" ? answers : wrong);
            }
        });
    }
    for (auto& t : clients)
        t.join();
    const std::size_t probes = wallet->accepted();
    std::printf(
        "[figure] 60 network clients asking /health for 3 s: %d answers, %zu probes of the wallet service "
        "(%.1f a second)\n",
        answers.load(), probes, static_cast<double>(probes) / 3.0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answers.load(), 60);
    EXPECT_LE(probes, 4u);
    // This machine still probes each time.
    for (int i = 0; i < 3; ++i)
        exchange_here("GET /health HTTP/1.1\r\n\r\n");
    EXPECT_EQ(wallet->accepted(), probes + 3);
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

// 20 wrong keys lock the address for the shipped minute: the right key is
// refused until it is over, then works.
TEST_F(Lan, GuessingLocksTheAddressForAMinute)
{
    const std::string key = "0123456789abcdef0123456789abcdef";
    auto server = serve({"--lan-key", key});
    ASSERT_TRUE(server) << "no banner";
    for (int i = 0; i < 19; ++i)
        ASSERT_EQ(with_key(std::string(32, 'a' + i % 6)), not_paired) << i;
    EXPECT_EQ(with_key(key), wallet_result);
    const auto start = steady::now();
    EXPECT_EQ(with_key(std::string(32, 'f')), locked);
    EXPECT_NE(
        server->out().find(hosts->client_address + " locked for a minute: 20 wrong keys or pairing codes"),
        std::string::npos)
        << server->out();
    EXPECT_EQ(with_key(key), locked);
    EXPECT_EQ(exchange("GET / HTTP/1.1\r\n\r\n"), locked);
    // This machine is never locked.
    EXPECT_EQ(test::split_response(exchange_here("GET / HTTP/1.1\r\n\r\n")).body, "page");

    double refused_for = 0;
    int tries = 0;
    while (ms_since(start) < 70000 && refused_for == 0) {
        plat::sleep_ms(250);
        ++tries;
        const std::string answer = with_key(key);
        if (answer == wallet_result)
            refused_for = ms_since(start) / 1000;
        else
            EXPECT_EQ(answer, locked);
    }
    std::printf(
        "[figure] lock: after 20 wrong keys in a row the right key was refused for %.1f s (%d tries every "
        "0.25 s), then answered\n",
        refused_for, tries);
    EXPECT_GE(refused_for, 59.9);
    EXPECT_LT(refused_for, 61.5);
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
}

}  // namespace
