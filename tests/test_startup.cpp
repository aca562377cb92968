#include "startup.h"

#include <gtest/gtest.h>

#include "child_process.h"
#include "test_support.h"

namespace {

struct scanned {
    command_line cli;
    config cfg;
};

scanned scan(std::vector<std::string> args)
{
    args.insert(args.begin(), "krv-webui");
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    scanned s;
    s.cli = scan_command_line(static_cast<int>(argv.size()), argv.data(), s.cfg);
    return s;
}

// The value the help text gives as an option's default ("--port <N> ...
// (default: 8880)"); empty when the option has no such line.
std::string promised_default(const std::string& help, const std::string& option)
{
    std::size_t line = help.find("  " + option + " ");
    std::size_t end = help.find('\n', line);
    std::size_t at = help.find("(default: ", line);
    if (line == std::string::npos || at == std::string::npos || at > end) return "";
    at += 10;
    return help.substr(at, help.find(')', at) - at);
}

TEST(CommandLine, WithoutArgumentsTheDefaultsAreTheOnesTheHelpPromises)
{
    test::child_options opts;
    opts.args = {"--help"};
    test::run_result help = test::run_program(test::server_binary(), opts);
    ASSERT_EQ(help.status, 0);
    scanned s = scan({});
    EXPECT_EQ(s.cli.result, command_line::run);
    EXPECT_EQ(std::to_string(s.cfg.port), promised_default(help.out, "--port"));
    EXPECT_EQ(s.cfg.rpc_host, promised_default(help.out, "--rpc-host"));
    EXPECT_EQ(std::to_string(s.cfg.rpc_port), promised_default(help.out, "--rpc-port"));
    EXPECT_EQ(std::to_string(s.cfg.daemon_port), promised_default(help.out, "--daemon-port"));
    // --localhost-only promises 127.0.0.1 instead of the default it names.
    EXPECT_EQ(s.cfg.bind_host, promised_default(help.out, "--localhost-only"));
    EXPECT_NE(scan({"--localhost-only"}).cfg.bind_host, s.cfg.bind_host);
    // Nothing is listed or tailed unless asked for.
    EXPECT_EQ(s.cfg.wallet_dir, "");
    EXPECT_EQ(s.cfg.wallet_log, "");
}

TEST(CommandLine, OptionsAreMatchedWholeAndTheLastOneWins)
{
    EXPECT_EQ(scan({"--port", "8080", "--port", "9090"}).cfg.port, 9090);
    EXPECT_EQ(scan({"--port"}).cfg.port, 8880);
    EXPECT_EQ(scan({"--port=8080"}).cfg.port, 8880);
    EXPECT_EQ(scan({"--PORT", "1"}).cfg.port, 8880);
    EXPECT_EQ(scan({"--localhost-only"}).cfg.bind_host, "127.0.0.1");

    scanned all = scan({"stray", "--rpc-host", "10.0.0.5", "--rpc-port", "1", "--daemon-port", "2",
                        "--web-dir", "w", "--wallet-log", "l", "--wallet-dir", "--help"});
    EXPECT_EQ(all.cli.result, command_line::run);
    EXPECT_EQ(all.cfg.rpc_host, "10.0.0.5");
    EXPECT_EQ(all.cfg.rpc_port, 1);
    EXPECT_EQ(all.cfg.daemon_port, 2);
    EXPECT_EQ(all.cfg.web_dir, "w");
    EXPECT_EQ(all.cfg.wallet_log, "l");
    // A value option takes the next argument whatever it looks like.
    EXPECT_EQ(all.cfg.wallet_dir, "--help");
}

TEST(CommandLine, AccessOptions)
{
    scanned s = scan({"--allow-origin", "https://wallet.example", "--allow-host", "wallet.example",
                      "--allow-origin", "null", "--lan-key", "my-bookmark_key.1~2345", "--lan-open"});
    EXPECT_EQ(s.cli.result, command_line::run);
    // The lists keep every occurrence, in order.
    EXPECT_EQ(s.cfg.allow_origins, (std::vector<std::string>{"https://wallet.example", "null"}));
    EXPECT_EQ(s.cfg.allow_hosts, std::vector<std::string>{"wallet.example"});
    EXPECT_EQ(s.cfg.lan_key, "my-bookmark_key.1~2345");
    EXPECT_TRUE(s.cfg.lan_open);
    EXPECT_FALSE(scan({}).cfg.lan_open);

    // A key goes into a header and must not be guessed: short, plain or odd ones are refused,
    // with a way to make a good one.
    for (const char* key : {"short", "aaaaaaaaaaaaaaaa", "0123456789abcdef012345/", "0123456789abcdef 012345",
                            "abababababababababababab", ""}) {
        scanned bad = scan({"--lan-key", key});
        EXPECT_EQ(bad.cli.result, command_line::bad_value) << key;
        EXPECT_EQ(bad.cli.option, "--lan-key");
        EXPECT_EQ(bad.cli.value, key);
        EXPECT_EQ(bad.cli.expected,
                  "22 to 128 letters, digits, '-', '_', '.' or '~', at least 10 of them different");
        EXPECT_EQ(bad.cli.hint, "Make one with: openssl rand -hex 16");
    }
    EXPECT_EQ(scan({"--lan-key", std::string(118, 'k') + "0123456789"}).cli.result, command_line::run);
    EXPECT_EQ(scan({"--lan-key", std::string(119, 'k') + "0123456789"}).cli.result, command_line::bad_value);
}

TEST(CommandLine, LoginsAndLoginFiles)
{
    scanned s = scan({"--rpc-login", "krv:pass:word with spaces", "--daemon-login-file", "d.login"});
    EXPECT_EQ(s.cli.result, command_line::run);
    EXPECT_EQ(s.cfg.rpc_login.user, "krv");
    EXPECT_EQ(s.cfg.rpc_login.password, "pass:word with spaces");
    EXPECT_FALSE(s.cfg.daemon_login.given());
    EXPECT_EQ(s.cli.daemon_login_file, "d.login");
    EXPECT_EQ(s.cli.rpc_login_file, "");
    // A login and a login file replace each other: the last one counts.
    s = scan({"--rpc-login-file", "w.login", "--rpc-login", "a:b"});
    EXPECT_EQ(s.cli.rpc_login_file, "");
    EXPECT_EQ(s.cfg.rpc_login.user, "a");
    s = scan({"--rpc-login", "a:b", "--rpc-login-file", "w.login"});
    EXPECT_EQ(s.cli.rpc_login_file, "w.login");
    EXPECT_FALSE(s.cfg.rpc_login.given());
    // A bad login is refused without its value, which may hold a password.
    s = scan({"--daemon-login", "no-colon-password"});
    EXPECT_EQ(s.cli.result, command_line::bad_value);
    EXPECT_TRUE(s.cli.secret);
    EXPECT_EQ(s.cli.value, "");
    EXPECT_EQ(scan({"-V"}).cli.result, command_line::version);
    EXPECT_EQ(scan({"--version", "--help"}).cli.result, command_line::version);
}

TEST(Login, UserBeforeTheFirstColonPasswordAfterIt)
{
    const std::pair<std::string, std::optional<std::pair<std::string, std::string>>> rows[] = {
        {"krv:secret", std::pair{"krv", "secret"}},
        {"krv:a:b c ", std::pair{"krv", "a:b c "}},
        {"krv:", std::pair{"krv", ""}},
        {"k\x80v:x", std::pair{"k\x80v", "x"}},
        {":secret", std::nullopt},
        {"no colon", std::nullopt},
        {"", std::nullopt},
        {"k\tv:x", std::nullopt},
        {"k\x7fv:x", std::nullopt},
    };
    for (const auto& [text, expected] : rows) {
        auto login = parse_login(text);
        ASSERT_EQ(login.has_value(), expected.has_value()) << text;
        if (!login) continue;
        EXPECT_EQ(login->user, expected->first);
        EXPECT_EQ(login->password, expected->second);
        EXPECT_TRUE(login->nonces != nullptr);
    }
}

TEST(Login, FileFirstLineWithoutItsLineEnd)
{
    test::temp_dir dir;
    const std::pair<std::string, std::string> rows[] = {
        {"krv:pass word:x\r\nnext:line\n", "pass word:x"},
        {"krv:pass\n", "pass"},
        {"krv:pass", "pass"},
        {"krv:pass\r\r\n", "pass\r"},
        {"krv:\n", ""},
    };
    for (const auto& [text, password] : rows) {
        const auto path = dir.path() / "login";
        test::write_file(path, text);
        std::filesystem::permissions(
            path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        login_file f = read_login_file(path.string());
        ASSERT_EQ(f.result, login_file::ok) << text;
        EXPECT_EQ(f.login.user, "krv");
        EXPECT_EQ(f.login.password, password) << text;
    }
}

TEST(CommandLine, HelpStopsTheScan)
{
    scanned s = scan({"--rpc-port", "1", "--help", "--rpc-port", "2"});
    EXPECT_EQ(s.cli.result, command_line::help);
    EXPECT_EQ(s.cfg.rpc_port, 1);
    EXPECT_EQ(scan({"-h"}).cli.result, command_line::help);
}

TEST(CommandLine, ANumberThatDoesNotConvertStopsStartUp)
{
    scanned s = scan({"--port", "--help"});
    EXPECT_EQ(s.cli.result, command_line::bad_value);
    EXPECT_EQ(s.cli.option, "--port");
    EXPECT_EQ(s.cli.value, "--help");
    EXPECT_EQ(s.cli.expected, "a number");
    EXPECT_EQ(scan({"--daemon-port", ""}).cli.result, command_line::bad_value);
}

TEST(CommandLine, NumberRule)
{
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"8080", 8080},
        {"8080abc", 8080},
        {"65616", 80},
        {"-1", 65535},
        {"0", 0},
        {" 42", 42},
        {"+7", 7},
        {"2147483647", 65535},
        {"-2147483648", 0},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"- 1", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(convert_port(text), expected) << text;
}

TEST(WebDirSearch, Candidates)
{
    using v = std::vector<std::string>;
    EXPECT_EQ(web_dir_candidates("C:\\apps\\bin\\krv-webui.exe"),
              (v{"C:\\apps\\bin/../web", "C:\\apps\\bin/../../web", "C:\\apps\\bin/../../../web", "./web",
                 "../web"}));
    EXPECT_EQ(web_dir_candidates("krv-webui"), (v{"./web", "../web"}));
    EXPECT_EQ(web_dir_candidates("/krv-webui"),
              (v{"/../web", "/../../web", "/../../../web", "./web", "../web"}));
    // The last slash wins over a later backslash.
    EXPECT_EQ(web_dir_candidates("a/b\\c")[0], "a/../web");
}

TEST(WebDirSearch, TakesTheFirstFolderWithThePage)
{
    test::temp_dir t;
    std::filesystem::create_directories(t.path() / "app" / "bin");
    std::filesystem::create_directories(t.path() / "web");
    std::filesystem::create_directories(t.path() / "app" / "web");
    test::write_file(t.path() / "web" / "krv-webui.html", "x");
    const std::string program = (t.path() / "app" / "bin" / "krv-webui").string();
    // app/web has no page, so the search goes one level further up.
    EXPECT_EQ(find_web_dir(program), (t.path() / "app" / "bin").string() + "/../../web");
    test::write_file(t.path() / "app" / "web" / "krv-webui.html", "x");
    EXPECT_EQ(find_web_dir(program), (t.path() / "app" / "bin").string() + "/../web");
}

TEST(WalletLogSearch, HomeFirstThenUserprofile)
{
    test::temp_dir home;
    test::temp_dir profile;
    std::filesystem::create_directories(home.path() / ".krv");
    std::filesystem::create_directories(profile.path() / "KRV");
    test::write_file(profile.path() / "KRV" / "krv-wallet-rpc.log", "x");
    const std::string fallback =
        plat::readable("/var/log/krv-wallet-rpc.log") ? "/var/log/krv-wallet-rpc.log" : "";

    // HOME is set, so USERPROFILE is never consulted.
    EXPECT_EQ(find_wallet_log(home.str().c_str(), profile.str().c_str()), fallback);
    EXPECT_EQ(find_wallet_log(nullptr, profile.str().c_str()), profile.str() + "/KRV/krv-wallet-rpc.log");
    test::write_file(home.path() / ".krv" / "krv-wallet-rpc.log", "x");
    EXPECT_EQ(find_wallet_log(home.str().c_str(), nullptr), home.str() + "/.krv/krv-wallet-rpc.log");
    test::write_file(home.path() / "krv-wallet-rpc.log", "x");
    EXPECT_EQ(find_wallet_log(home.str().c_str(), nullptr), home.str() + "/krv-wallet-rpc.log");
    // Neither set: nothing is tried, not even the fixed path.
    EXPECT_EQ(find_wallet_log(nullptr, nullptr), "");
}

TEST(Banner, LocalhostOnlyHasNoLanLine)
{
    config cfg;
    cfg.bind_host = "127.0.0.1";
    cfg.port = 8080;
    cfg.web_dir = "./web";
    cfg.host_name = "ignored";
    EXPECT_EQ(banner_text(cfg),
              "\n"
              "  ╔═══════════════════════════════════════════════╗\n"
              "  ║       KRV — Kestral Rune Vault WebUI          ║\n"
              "  ╚═══════════════════════════════════════════════╝\n"
              "\n"
              "  Listening:    http://127.0.0.1:8080\n"
              "  Wallet RPC:   127.0.0.1:18083\n"
              "  Web dir:      ./web\n"
              "  Wallet log:   (not found — use --wallet-log)\n"
              "\n"
              "  Press Ctrl+C to stop.\n\n");
}

TEST(Banner, ALoginShowsItsUserOnly)
{
    config cfg;
    cfg.bind_host = "127.0.0.1";
    cfg.rpc_login = make_login("krv", "secret-pw");
    const std::string b = banner_text(cfg);
    EXPECT_NE(b.find("  Wallet RPC:   127.0.0.1:18083 (login: krv)\n"), std::string::npos) << b;
    EXPECT_EQ(b.find("secret-pw"), std::string::npos);
}

TEST(Banner, AllAddressesShowAPairingAddressForEachNetworkAddress)
{
    config cfg;
    cfg.web_dir = "/srv/web";
    cfg.wallet_log = "/home/u/krv-wallet-rpc.log";
    cfg.rpc_port = 28083;
    cfg.host_name = "wallet-box";
    cfg.lan_addresses = {"192.168.1.20", "10.0.0.7"};
    const std::string code = "0123456789abcdef0123456789abcdef";
    const std::string tail =
        "  Pairing:      open one of these on a phone or another computer within 10 minutes: it pairs one "
        "device, once.\n"
        "                Pair more from the dashboard on this computer (Devices); paired devices\n"
        "                are kept until the server stops, never on disk.\n";
    std::string b = banner_text(cfg, code);
    EXPECT_NE(b.find("  Listening:    http://0.0.0.0:8880\n  Wallet RPC:   127.0.0.1:28083\n"
                     "  Web dir:      /srv/web\n  Wallet log:   /home/u/krv-wallet-rpc.log\n\n"
                     "  LAN access:   http://192.168.1.20:8880/#pair=" +
                     code +
                     "\n"
                     "                http://10.0.0.7:8880/#pair=" +
                     code + "\n" + tail + "\n  Press Ctrl+C to stop.\n\n"),
              std::string::npos)
        << b;

    // A fixed key is for scripts: the banner says it is set, never what it is.
    cfg.lan_key = "my-bookmark_key.1~2345";
    cfg.lan_addresses = {};
    b = banner_text(cfg, code);
    EXPECT_NE(b.find("\n\n  LAN access:   no network address found\n" + tail +
                     "  LAN key:      given with --lan-key, for scripts (header X-KRV-Key)\n\n"),
              std::string::npos)
        << b;
    EXPECT_EQ(b.find(cfg.lan_key), std::string::npos);

    // Opened to the network: no code, and one line says what that means.
    cfg.lan_open = true;
    cfg.host_name.clear();
    b = banner_text(cfg);
    EXPECT_NE(b.find("\n\n  LAN access:   http://(host name unavailable):8880\n"
                     "  Warning:      anyone on your network can spend from an open wallet (--lan-open)\n\n"
                     "  Press Ctrl+C to stop.\n\n"),
              std::string::npos)
        << b;
}

}  // namespace
