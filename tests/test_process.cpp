// The built program, run as a child process: command line, banner,
// start-up failures and the stop request.
#include "child_process.h"

#include <gtest/gtest.h>

#include <csignal>

#include "startup.h"
#include "test_support.h"

#ifndef _WIN32
#include "process_stats.h"
#endif

namespace {

using namespace std::chrono_literals;

// Windows has no SIGTERM from outside; Ctrl+C is its stop request.
const int stop_signal = plat::is_windows ? SIGINT : SIGTERM;

const char* const expected_help =
    "krv-webui — KRV Chain Web Dashboard\n\nUsage: krv-webui [options]\n\nOptions:\n"
    "  --port <N>           HTTP port (default: 8880)\n"
    "  --rpc-host <IP>      wallet-rpc host (default: 127.0.0.1)\n"
    "  --rpc-port <N>       wallet-rpc port (default: 18083)\n"
    "  --daemon-port <N>    daemon rpc port (default: 18831)\n"
    "  --web-dir <path>     Path to web/ directory\n"
    "  --wallet-log <path>  Path to wallet-rpc log file (for live tailing)\n"
    "  --wallet-dir <path>  Wallets folder (enables /wallets listing)\n"
    "  --localhost-only     Bind to 127.0.0.1 only (default: 0.0.0.0)\n"
    "  --allow-origin <O>   Let the web page at origin O use the wallet (repeatable; '*': any)\n"
    "  --allow-host <NAME>  Answer wallet requests for host name NAME (repeatable; '*': any)\n"
    "  --lan-key <KEY>      Key for scripts on other computers, sent as X-KRV-Key (22+ characters)\n"
    "  --lan-open           Let other computers use the wallet without a key\n"
    "  --rpc-login <U:P>    wallet-rpc login USER:PASSWORD (other users can see it; prefer the file)\n"
    "  --rpc-login-file <F> File holding the wallet-rpc login USER:PASSWORD (mode 600)\n"
    "  --daemon-login <U:P> daemon rpc login USER:PASSWORD\n"
    "  --daemon-login-file <F>\n"
    "                       File holding the daemon rpc login USER:PASSWORD (mode 600)\n"
    "  -V, --version        Print the version and exit\n"
    "\nStart krv-wallet-rpc first, then run this.\n";

// A web folder with a page, and a HOME without a wallet log.
class Program : public ::testing::Test {
protected:
    Program()
    {
        std::filesystem::create_directories(root.path() / "web");
        std::filesystem::create_directories(root.path() / "home");
        test::write_file(root.path() / "web" / "krv-webui.html", "page");
    }

    test::child_options options(std::vector<std::string> args)
    {
        test::child_options o;
        o.args = std::move(args);
        o.env = {{"HOME", (root.path() / "home").string()}, {"USERPROFILE", std::nullopt}};
        return o;
    }

    std::string web() const { return (root.path() / "web").string(); }

    test::temp_dir root;
};

TEST_F(Program, HelpIsPrintedAndEndsWithStatus0)
{
    for (auto args : {std::vector<std::string>{"--help"},
                      {"-h"},
                      {"--rpc-port", "1", "--help", "--rpc-port", "2"},
                      {"--web-dir", "/nowhere", "-h"}}) {
        test::run_result r = test::run_program(test::server_binary(), options(args));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expected_help);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Program, ANumberThatDoesNotConvertIsOneErrorLine)
{
    test::run_result r = test::run_program(test::server_binary(), options({"--port", "--help"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: --port needs a number, got \"--help\"\n");

    r = test::run_program(test::server_binary(), options({"--web-dir", web(), "--rpc-port", "99999999999"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: --rpc-port needs a number, got \"99999999999\"\n");

    // A weak fixed key ends start-up, saying how to make a good one.
    r = test::run_program(test::server_binary(),
                          options({"--web-dir", web(), "--lan-key", "aaaaaaaaaaaaaaaa"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ERROR: --lan-key needs 22 to 128 letters, digits, '-', '_', '.' or '~', at least 10 of them "
              "different, got \"aaaaaaaaaaaaaaaa\"\n  Make one with: openssl rand -hex 16\n");
}

TEST_F(Program, VersionIsTheProjectsOwnAndEndsWithStatus0)
{
    for (auto args :
         {std::vector<std::string>{"--version"}, {"-V"}, {"--rpc-port", "1", "-V", "--port", "x"}}) {
        test::run_result r = test::run_program(test::server_binary(), options(args));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "krv-webui " KRV_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
    // The project's version, as CMake's project() gives it.
    EXPECT_EQ(std::string_view(KRV_VERSION).find_first_not_of("0123456789."), std::string_view::npos);
}

// Each login file that cannot be used stops start-up with one sentence that
// names the file and the option; the password is never shown.
TEST_F(Program, LoginFilesThatCannotBeUsedStopStartUp)
{
    const std::filesystem::path dir = root.path();
    auto own = [&](const char* name, std::string_view text) {
        test::write_file(dir / name, text);
        std::filesystem::permissions(
            dir / name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        return (dir / name).string();
    };
    const std::string missing = (dir / "missing").string();
    const std::string empty = own("empty", "");
    const std::string blank = own("blank", "\r\nkrv:secret-pw\n");
    const std::string no_colon = own("no-colon", "krv secret-pw\n");
    const std::string no_user = own("no-user", ":secret-pw\n");
    struct row {
        std::vector<std::string> args;
        std::string err;
    };
    std::vector<row> rows = {
        {{"--rpc-login-file", missing},
         "ERROR: Cannot read the login file " + missing + " (--rpc-login-file)\n"},
        {{"--daemon-login-file", dir.string()},
         "ERROR: Cannot read the login file " + dir.string() + " (--daemon-login-file)\n"},
        {{"--rpc-login-file", empty},
         "ERROR: The first line of the login file " + empty +
             " (--rpc-login-file) is empty: put USER:PASSWORD there\n"},
        {{"--rpc-login-file", blank},
         "ERROR: The first line of the login file " + blank +
             " (--rpc-login-file) is empty: put USER:PASSWORD there\n"},
        {{"--daemon-login-file", no_colon},
         "ERROR: The first line of the login file " + no_colon +
             " (--daemon-login-file) is not USER:PASSWORD\n"},
        {{"--rpc-login-file", no_user},
         "ERROR: The first line of the login file " + no_user + " (--rpc-login-file) is not USER:PASSWORD\n"},
        {{"--rpc-login", "secret-pw"},
         "ERROR: --rpc-login needs USER:PASSWORD, a user name before the first colon\n"},
        {{"--daemon-login", ":secret-pw"},
         "ERROR: --daemon-login needs USER:PASSWORD, a user name before the first colon\n"},
    };
    if (!plat::is_windows) {
        test::write_file(dir / "shared", "krv:secret-pw\n");
        std::filesystem::permissions(dir / "shared", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write |
                                                         std::filesystem::perms::group_read);
        const std::string shared = (dir / "shared").string();
        rows.push_back({{"--rpc-login-file", shared},
                        "ERROR: Other users can read the login file " + shared +
                            " (--rpc-login-file): run chmod 600 " + shared + "\n"});
    }
    for (row& r : rows) {
        r.args.insert(r.args.begin(), {"--web-dir", web(), "--localhost-only", "--port", "0"});
        test::run_result result = test::run_program(test::server_binary(), options(r.args));
        EXPECT_EQ(result.status, 1) << r.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, r.err);
        EXPECT_EQ(result.err.find("secret-pw"), std::string::npos);
    }
}

TEST_F(Program, TheLoginIsTakenAndItsPasswordShownNowhere)
{
    test::write_file(root.path() / "login", "krv:secret-pw: with spaces \r\nsecond line\n");
    std::filesystem::permissions(root.path() / "login",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    for (const std::string option : {"--rpc-login-file", "--rpc-login"}) {
        const std::string value =
            option == "--rpc-login" ? "krv:secret-pw" : (root.path() / "login").string();
        test::child c(test::server_binary(),
                      options({"--web-dir", web(), "--localhost-only", "--port", "0", option, value}));
        ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s)) << c.err();
        EXPECT_NE(c.out().find("  Wallet RPC:   127.0.0.1:18083 (login: krv)\n"), std::string::npos)
            << c.out();
        c.send_signal(stop_signal);
        EXPECT_EQ(c.wait(5s), 0);
        EXPECT_EQ(c.out().find("secret-pw"), std::string::npos);
        EXPECT_EQ(c.err(), "");
    }
    test::run_result help =
        test::run_program(test::server_binary(), options({"--rpc-login", "krv:secret-pw", "-h"}));
    EXPECT_EQ(help.out, expected_help);
}

TEST_F(Program, MissingPageEndsWithStatus1)
{
    test::run_result r = test::run_program(test::server_binary(), options({"--web-dir", "/srv/dash"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ERROR: Cannot find /srv/dash/krv-webui.html\n  Use --web-dir to specify the web/ directory\n");
}

TEST_F(Program, BindFailureIsReportedWithStatus1)
{
    plat::socket_handle holder = test::listen_loopback();
    std::string port = std::to_string(plat::local_port(holder.get()));
    test::run_result r = test::run_program(test::server_binary(),
                                           options({"--web-dir", web(), "--localhost-only", "--port", port}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("bind: ", 0), 0u) << r.err;
}

TEST_F(Program, BannerThenShutdownOnSigterm)
{
    test::child c(test::server_binary(), options({"--web-dir", web(), "--localhost-only", "--port", "0"}));
    ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s)) << c.err();
    unsigned short port = test::banner_port(c.out());
    ASSERT_NE(port, 0);
    // The banner's exact text is checked where it is made; here, that the program prints it.
    config shown;
    shown.bind_host = "127.0.0.1";
    shown.port = port;
    shown.web_dir = web();
    EXPECT_EQ(c.out(), banner_text(shown));
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");

    if (plat::is_windows) GTEST_SKIP() << "no SIGTERM reaches a Windows program (wine ends it at once)";
    c.send_signal(SIGTERM);
    EXPECT_EQ(c.wait(5s), 0);
    EXPECT_EQ(c.out().substr(c.out().size() - 11), "\nShutdown.\n");
    EXPECT_EQ(c.err(), "");
}

// The code of the banner's first pairing address, after "#pair="; empty without one.
std::string banner_code(const std::string& out)
{
    std::size_t at = out.find("/#pair=");
    if (at == std::string::npos) return "";
    at += 7;
    return out.substr(at, out.find('\n', at) - at);
}

std::string pair(std::uint16_t port, const std::string& code)
{
    const std::string body = "code=" + code;
    return test::split_response(test::http_exchange(port, "POST /pair HTTP/1.1\r\nContent-Length: " +
                                                              std::to_string(body.size()) + "\r\n\r\n" +
                                                              body))
        .body;
}

TEST_F(Program, AllAddressesBannerGivesAPairingAddressThatWorksOnce)
{
    test::write_file(root.path() / "home" / "krv-wallet-rpc.log", "line\n");
    std::vector<std::string> codes;
    for (int run = 0; run < 2; ++run) {
        test::child c(test::server_binary(), options({"--web-dir", web(), "--port", "0"}));
        ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s)) << c.err();
        const std::string out = c.out();
        const std::string port = std::to_string(test::banner_port(out));
        const std::string code = banner_code(out);
        // One address for each of the machine's network addresses, all with the same code.
        std::string lines;
        for (const std::string& address : plat::lan_ipv4_addresses())
            lines += (lines.empty() ? "  LAN access:   " : "                ") + std::string("http://") +
                     address + ":" + port + "/#pair=" + code + "\n";
        if (lines.empty()) lines = "  LAN access:   no network address found\n";
        EXPECT_NE(out.find("  Wallet log:   " + (root.path() / "home").string() + "/krv-wallet-rpc.log\n\n" +
                           lines + "  Pairing:      open one of these"),
                  std::string::npos)
            << out;
        // It works once.
        EXPECT_TRUE(pair(test::banner_port(out), code).starts_with("{\"token\":\"")) << code;
        EXPECT_TRUE(
            pair(test::banner_port(out), code).starts_with("{\"error\":\"This pairing address was already"));
        codes.push_back(code);
        c.send_signal(SIGINT);
        EXPECT_EQ(c.wait(5s), 0);
    }
    // 128 bits as hex, new at every start.
    for (const std::string& code : codes) {
        EXPECT_EQ(code.size(), 32u) << code;
        EXPECT_EQ(code.find_first_not_of("0123456789abcdef"), std::string::npos) << code;
    }
    EXPECT_NE(codes[0], codes[1]);

    // --lan-open asks for nothing, and says so.
    test::child open(test::server_binary(), options({"--web-dir", web(), "--port", "0", "--lan-open"}));
    ASSERT_TRUE(open.wait_for_output("Press Ctrl+C to stop.\n\n", 10s)) << open.err();
    EXPECT_EQ(banner_code(open.out()), "");
    EXPECT_NE(open.out().find("anyone on your network can spend"), std::string::npos) << open.out();
    open.send_signal(SIGINT);
    EXPECT_EQ(open.wait(5s), 0);
}

TEST_F(Program, StopRequestWithManyIdleConnections)
{
    test::child c(test::server_binary(), options({"--web-dir", web(), "--localhost-only", "--port", "0"}));
    ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s));
    unsigned short port = test::banner_port(c.out());
    std::vector<plat::socket_handle> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(test::connect_loopback(port));
        ASSERT_TRUE(idle.back().valid());
        plat::send_all(idle.back().get(), "GET / HTTP/1.1\r\n");
    }
    // One full exchange proves the connections before it were accepted.
    ASSERT_FALSE(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n").empty());

    // The idle connections do not hold the shutdown up.
    c.send_signal(stop_signal);
    EXPECT_EQ(c.wait(10s), 0);
    EXPECT_NE(c.out().find("\nShutdown.\n"), std::string::npos);
}

#ifndef _WIN32
// The stop request is taken by sigwait on a thread of its own (which shows
// it unblocked while it waits): every other thread, a connection's too,
// holds it back, so that it can never land in a thread as that thread ends.
// (The Windows console handler runs on a thread of its own.)
TEST_F(Program, EveryThreadButTheOneThatWaitsForItHoldsTheStopRequestBack)
{
    test::child c(test::server_binary(), options({"--web-dir", web(), "--localhost-only", "--port", "0"}));
    ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s));
    const long pid = c.pid();
    EXPECT_EQ(test::thread_count(pid), test::idle_threads);
    plat::socket_handle idle = test::connect_loopback(test::banner_port(c.out()));
    plat::send_all(idle.get(), "GET / HTTP/1.1\r\n");
    ASSERT_TRUE(test::eventually([&] { return test::thread_count(pid) == test::idle_threads + 1; }));
    long long holding = 0;
    for (const std::string& task : test::proc_entries(pid, "task"))
        holding += test::blocks_signal(pid, std::stol(task), SIGINT) &&
                   test::blocks_signal(pid, std::stol(task), SIGTERM);
    EXPECT_EQ(holding, test::idle_threads);
    c.send_signal(stop_signal);
    EXPECT_EQ(c.wait(10s), 0);
}
#endif

TEST_F(Program, AClientThatResetsMidResponseLeavesTheServerServing)
{
    test::write_file(root.path() / "web" / "big.js", std::string(16 << 20, 'b'));
    test::child c(test::server_binary(), options({"--web-dir", web(), "--localhost-only", "--port", "0"}));
    ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s));
    unsigned short port = test::banner_port(c.out());
    for (int i = 0; i < 5; ++i) {
        plat::socket_handle s = test::connect_loopback(port);
        plat::send_all(s.get(), "GET /big.js HTTP/1.1\r\n\r\n");
        char buf[1024];
        ASSERT_GT(plat::recv_some(s.get(), buf, sizeof buf), 0);
        // Closing with unread bytes makes the kernel answer the server's sends with a reset.
    }
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_FALSE(c.wait(0ms).has_value());
    c.send_signal(stop_signal);
    EXPECT_EQ(c.wait(5s), 0);
}

}  // namespace
