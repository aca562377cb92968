// A real client on the network: two network namespaces joined by a veth
// pair, the server in one, the client in the other, so that the server
// sees a peer address that is not loopback. Needs root; elsewhere it skips.
// All traffic stays inside the two namespaces.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include "child_process.h"
#include "fake_upstream.h"
#include "process_stats.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

const std::string ip_command = "/usr/sbin/ip";

bool ip(const std::vector<std::string>& args)
{
    test::child_options opts;
    opts.args = args;
    return test::run_program(ip_command, opts).status == 0;
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

// The server's namespace and the client's, joined by a /30 of their own;
// removed, with the veth pair, on destruction.
class two_hosts {
public:
    two_hosts()
    {
        const std::string id = std::to_string(::getpid());
        server_ns = "krv-srv-" + id;
        client_ns = "krv-cli-" + id;
        const std::string net = "10.251." + std::to_string(::getpid() % 250) + ".";
        server_address = net + "1";
        const std::string a = "krvs" + id, b = "krvc" + id;
        made_ = ip({"netns", "add", server_ns}) && ip({"netns", "add", client_ns}) &&
                ip({"link", "add", a, "type", "veth", "peer", "name", b}) &&
                ip({"link", "set", a, "netns", server_ns}) && ip({"link", "set", b, "netns", client_ns}) &&
                ip({"-n", server_ns, "addr", "add", server_address + "/30", "dev", a}) &&
                ip({"-n", client_ns, "addr", "add", net + "2/30", "dev", b}) &&
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

    std::string server_ns, client_ns, server_address;

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

    // The server in its namespace on every address, with args added.
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

    // A connection from the client's namespace to the server.
    plat::socket_handle connect_from_client() const
    {
        inside there(hosts->client_ns);
        plat::socket_handle s(plat::tcp_socket());
        plat::set_recv_timeout(s.get(), 10000);
        if (!there.ok() || !plat::connect_ipv4(s.get(), hosts->server_address, port)) s.reset();
        return s;
    }

    std::string exchange(const std::string& request) const
    {
        plat::socket_handle s = connect_from_client();
        if (!s.valid() || !plat::send_all(s.get(), request)) return "<no connection>";
        return test::read_until_close(s.get());
    }

    std::string post_json_rpc(const std::string& extra_headers) const
    {
        const std::string body = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"get_balance\"}";
        return exchange("POST /json_rpc HTTP/1.1\r\nHost: " + hosts->server_address + ":" +
                        std::to_string(port) + "\r\n" + extra_headers +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }

    const std::string wallet_answer = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"result\":1}";
    const std::string wallet_result =
        test::expected_head(200, "OK", "application/json", 12) + "\r\n\r\n{\"result\":1}";
    const std::string key_refused = [] {
        const std::string body =
            "{\"error\":\"Another computer needs the key: open the LAN access address shown in the server's "
            "banner, "
            "which ends in #key=, or start the server with --lan-open.\"}";
        return test::expected_head(403, "Forbidden", "application/json", body.size()) + "\r\n\r\n" + body;
    }();

    test::temp_dir root;
    std::unique_ptr<two_hosts> hosts;
    std::unique_ptr<test::fake_upstream> wallet;
    std::uint16_t port = 0;
};

TEST_F(Lan, WalletRoutesNeedTheKeyTheRestIsOpen)
{
    auto server = serve({});
    ASSERT_TRUE(server) << "no banner";
    const std::string out = server->out();
    const std::size_t at = out.find("/#key=");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string key = out.substr(at + 6, 32);

    EXPECT_EQ(post_json_rpc(""), key_refused);
    EXPECT_EQ(post_json_rpc("X-KRV-Key: " + std::string(32, '0') + "\r\n"), key_refused);
    EXPECT_EQ(post_json_rpc("X-KRV-Key: " + key.substr(0, 31) + "\r\n"), key_refused);
    EXPECT_EQ(exchange("GET /wallets HTTP/1.1\r\n\r\n"), key_refused);
    EXPECT_EQ(wallet->accepted(), 0u);

    EXPECT_EQ(post_json_rpc("X-KRV-Key: " + key + "\r\n"), wallet_result);
    EXPECT_EQ(wallet->accepted(), 1u);
    EXPECT_EQ(
        test::split_response(exchange("GET /wallets HTTP/1.1\r\nX-KRV-Key: " + key + "\r\n\r\n")).status,
        200);
    // The page and the health badge need no key.
    EXPECT_EQ(test::split_response(exchange("GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_EQ(test::split_response(exchange("GET /health HTTP/1.1\r\n\r\n")).body, "{\"status\":\"ok\"}");
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait(10s), 0);
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

}  // namespace
