#include "startup.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "access.h"
#include "dispatcher.h"
#include "number_rules.h"
#include "pairing.h"
#include "platform.h"

namespace {

// Shared between the main thread and the stop-request handler only.
std::atomic<bool> g_running{true};
std::atomic<plat::socket_t> g_server_fd{plat::invalid_socket};

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<plat::socket_t>::is_always_lock_free);

constexpr const char* help_text =
    "krv-webui \xE2\x80\x94 KRV Chain Web Dashboard\n"
    "\n"
    "Usage: krv-webui [options]\n"
    "\n"
    "Options:\n"
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
    "\n"
    "Start krv-wallet-rpc first, then run this.\n";

constexpr const char* page_file = "/krv-webui.html";
// A login file's first line lies well within this.
constexpr std::size_t login_file_max = 65536;
// A page load or a busy client opens many connections at once; with a short
// queue the kernel drops their SYNs and each dropped one costs its client 1 s.
constexpr int listen_backlog = 1024;
// Connection threads need under 100 KiB of stack; with small stacks the C
// library keeps the finished threads' stacks for reuse instead of mapping
// fresh ones for every connection.
constexpr std::size_t connection_stack = 256 * 1024;
// Pause before accepting again after a failed accept (out of descriptors,
// an aborted connection): long enough not to spin, short enough to recover.
constexpr int accept_retry_ms = 50;

// Hands the connection to a detached thread; if none can be started the
// socket is closed (by its owner going out of scope) and accepting goes on.
void start_connection_thread(plat::socket_t c, std::uint32_t peer, address_slot slot, const config& cfg,
                             shared_limits& limits)
{
    try {
        std::thread([client = plat::socket_handle(c), counted = std::move(slot), peer, &cfg,
                     &limits]() mutable {
            handle_client(std::move(client), peer, cfg, limits);
        }).detach();
    } catch (...) {
        // No thread: the owners in the failed call have closed the socket
        // and given its slot back.
    }
}

void accept_loop(const config& cfg, shared_limits& limits)
{
    while (g_running.load()) {
        plat::socket_t listener = g_server_fd.load();
        if (listener == plat::invalid_socket) return;
        std::uint32_t peer = 0;
        plat::socket_t c = plat::accept_client(listener, &peer);
        if (c == plat::invalid_socket) {
            if (!g_running.load()) return;
            plat::sleep_ms(accept_retry_ms);
            continue;
        }
        // One network host may not take every thread: past its cap it is
        // closed at once, before a thread is started for it.
        address_slot slot = admit_connection(limits, peer);
        if (!slot.admitted()) {
            plat::close_socket(c);
            continue;
        }
        start_connection_thread(c, peer, std::move(slot), cfg, limits);
    }
}

// Opens the listener; prints the failing call's error and returns an
// invalid handle on failure.
plat::socket_handle open_listener(config& cfg)
{
    plat::socket_handle s(plat::tcp_socket());
    if (!s.valid()) {
        plat::print_socket_error("socket");
        return s;
    }
    plat::set_listener_reuse(s.get());
    if (!plat::bind_ipv4(s.get(), cfg.bind_host, cfg.port)) {
        plat::print_socket_error("bind");
        s.reset();
        return s;
    }
    if (!plat::listen_socket(s.get(), listen_backlog)) {
        plat::print_socket_error("listen");
        s.reset();
        return s;
    }
    // With port 0 the system picks one; the banner shows the real one.
    if (cfg.port == 0) cfg.port = plat::local_port(s.get());
    return s;
}

// The banner's LAN lines: one pairing address for each network address,
// and what a code is good for.
std::string pairing_lines(const config& cfg, std::string_view code)
{
    std::string b;
    const std::vector<std::string> links = pairing_links(cfg, code);
    if (links.empty()) b += "  LAN access:   no network address found\n";
    for (std::size_t i = 0; i < links.size(); ++i)
        b += (i == 0 ? "  LAN access:   " : "                ") + links[i] + "\n";
    b += "  Pairing:      open one of these on a phone or another computer within " +
         std::to_string(cfg.pairing_lifetime_ms / 60000) +
         " minutes: it pairs one device, once.\n"
         "                Pair more from the dashboard on this computer (Devices); paired devices\n"
         "                are kept until the server stops, never on disk.\n";
    if (!cfg.lan_key.empty()) b += "  LAN key:      given with --lan-key, for scripts (header X-KRV-Key)\n";
    b += "\n";
    return b;
}

// Reads a login file given with option into login; prints the error and
// returns false when it cannot be used.
bool take_login_file(const std::string& path, const char* option, upstream_login& login)
{
    if (path.empty()) return true;
    login_file f = read_login_file(path);
    if (f.result != login_file::ok) {
        std::fputs(login_file_error(f.result, option, path).c_str(), stderr);
        return false;
    }
    login = std::move(f.login);
    return true;
}

}  // namespace

extern "C" {
// The stop request (Ctrl+C, SIGTERM): ends the accept loop.
static void signal_handler(int)
{
    g_running.store(false);
    plat::interrupt_accept(g_server_fd);
}
}

command_line scan_command_line(int argc, const char* const* argv, config& cfg)
{
    command_line result;
    auto refuse = [&](const std::string& option, const std::string& value, const char* expected,
                      const char* hint = "") {
        result.result = command_line::bad_value;
        result.option = option;
        result.value = value;
        result.expected = expected;
        result.hint = hint;
        return result;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            result.result = command_line::help;
            return result;
        }
        if (arg == "-V" || arg == "--version") {
            result.result = command_line::version;
            return result;
        }
        // A login and a login file replace each other: the last one counts.
        if (arg == "--rpc-login" || arg == "--daemon-login" || arg == "--rpc-login-file" ||
            arg == "--daemon-login-file") {
            if (i + 1 >= argc) break;
            const std::string value = argv[++i];
            const bool wallet = arg.starts_with("--rpc");
            upstream_login& login = wallet ? cfg.rpc_login : cfg.daemon_login;
            std::string& file = wallet ? result.rpc_login_file : result.daemon_login_file;
            login = {};
            file.clear();
            if (arg.ends_with("-file")) {
                file = value;
            } else if (auto parsed = parse_login(value)) {
                login = std::move(*parsed);
            } else {
                refuse(arg, "", "USER:PASSWORD, a user name before the first colon");
                result.secret = true;
                return result;
            }
            continue;
        }
        if (arg == "--localhost-only") {
            cfg.bind_host = "127.0.0.1";
            continue;
        }
        if (arg == "--lan-open") {
            cfg.lan_open = true;
            continue;
        }
        std::uint16_t* number = arg == "--port"          ? &cfg.port
                                : arg == "--rpc-port"    ? &cfg.rpc_port
                                : arg == "--daemon-port" ? &cfg.daemon_port
                                                         : nullptr;
        std::string* text = arg == "--rpc-host"     ? &cfg.rpc_host
                            : arg == "--web-dir"    ? &cfg.web_dir
                            : arg == "--wallet-log" ? &cfg.wallet_log
                            : arg == "--wallet-dir" ? &cfg.wallet_dir
                            : arg == "--lan-key"    ? &cfg.lan_key
                                                    : nullptr;
        std::vector<std::string>* list = arg == "--allow-origin" ? &cfg.allow_origins
                                         : arg == "--allow-host" ? &cfg.allow_hosts
                                                                 : nullptr;
        if (number == nullptr && text == nullptr && list == nullptr) continue;
        // A value option standing last has no effect.
        if (i + 1 >= argc) break;
        std::string value = argv[++i];
        if (list != nullptr) {
            list->push_back(value);
        } else if (text == &cfg.lan_key && !valid_lan_key(value)) {
            return refuse(arg, value,
                          "22 to 128 letters, digits, '-', '_', '.' or '~', at least 10 of them different",
                          "Make one with: openssl rand -hex 16");
        } else if (text != nullptr) {
            *text = value;
        } else if (auto port = convert_port(value)) {
            *number = *port;
        } else {
            return refuse(arg, value, "a number");
        }
    }
    return result;
}

std::optional<upstream_login> parse_login(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view user = text.substr(0, colon);
    // The user name goes into a header line.
    for (char c : user)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
    return make_login(std::string(user), std::string(text.substr(colon + 1)));
}

login_file read_login_file(const std::string& path)
{
    login_file f;
    plat::file_ptr file(std::fopen(path.c_str(), "rb"));
    // A folder opens for reading on POSIX; it is no login file.
    std::error_code ec;
    if (!file || std::filesystem::is_directory(path, ec)) {
        f.result = login_file::unreadable;
        return f;
    }
    if (plat::readable_by_others(path)) {
        f.result = login_file::readable_by_others;
        return f;
    }
    std::string text(login_file_max, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    std::string_view line = std::string_view(text).substr(0, text.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) {
        f.result = login_file::empty;
        return f;
    }
    auto login = parse_login(line);
    if (!login) {
        f.result = login_file::malformed;
        return f;
    }
    f.login = std::move(*login);
    return f;
}

std::string login_file_error(login_file::outcome result, const std::string& option, const std::string& path)
{
    const std::string file = "the login file " + path + " (" + option + ")";
    switch (result) {
        case login_file::unreadable:
            return "ERROR: Cannot read " + file + "\n";
        case login_file::readable_by_others:
            return "ERROR: Other users can read " + file + ": run chmod 600 " + path + "\n";
        case login_file::empty:
            return "ERROR: The first line of " + file + " is empty: put USER:PASSWORD there\n";
        case login_file::malformed:
            return "ERROR: The first line of " + file + " is not USER:PASSWORD\n";
        case login_file::ok:
            break;
    }
    return {};
}

std::string version_text() { return "krv-webui " KRV_VERSION "\n"; }

std::optional<std::uint16_t> convert_port(const std::string& text)
{
    auto value = convert_int(text);
    if (!value) return std::nullopt;
    // No range check: the low 16 bits are kept (65616 is 80, -1 is 65535).
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(*value) & 0xFFFFu);
}

std::vector<std::string> web_dir_candidates(const std::string& program_path)
{
    std::vector<std::string> candidates;
    std::size_t sep = program_path.rfind('/');
    if (sep == std::string::npos) sep = program_path.rfind('\\');
    if (sep != std::string::npos) {
        std::string dir = program_path.substr(0, sep);
        candidates.push_back(dir + "/../web");
        candidates.push_back(dir + "/../../web");
        candidates.push_back(dir + "/../../../web");
    }
    candidates.push_back("./web");
    candidates.push_back("../web");
    return candidates;
}

std::string find_web_dir(const std::string& program_path)
{
    for (const std::string& c : web_dir_candidates(program_path))
        if (plat::readable(c + page_file)) return c;
    return "./web";
}

std::string find_wallet_log(const char* home, const char* userprofile)
{
    const char* base = home != nullptr ? home : userprofile;
    if (base == nullptr) return std::string();
    const std::string b = base;
    for (const std::string& c : {b + "/krv-wallet-rpc.log", b + "/.krv/krv-wallet-rpc.log",
                                 b + "/KRV/krv-wallet-rpc.log", std::string("/var/log/krv-wallet-rpc.log")})
        if (plat::readable(c)) return c;
    return std::string();
}

std::string banner_text(const config& cfg, std::string_view pairing_code)
{
    std::string b =
        "\n"
        "  ╔═══════════════════════════════════════════════╗\n"
        "  ║       KRV — Kestral Rune Vault WebUI          ║\n"
        "  ╚═══════════════════════════════════════════════╝\n"
        "\n";
    b += "  Listening:    http://" + cfg.bind_host + ":" + std::to_string(cfg.port) + "\n";
    b += "  Wallet RPC:   " + cfg.rpc_host + ":" + std::to_string(cfg.rpc_port);
    // The user only: the password is shown nowhere.
    if (cfg.rpc_login.given()) b += " (login: " + cfg.rpc_login.user + ")";
    b += "\n";
    b += "  Web dir:      " + cfg.web_dir + "\n";
    b += "  Wallet log:   " + (cfg.wallet_log.empty() ? "(not found — use --wallet-log)" : cfg.wallet_log) +
         "\n";
    b += "\n";
    if (cfg.bind_host == "0.0.0.0" && cfg.lan_open) {
        const std::string address = "http://" +
                                    (cfg.host_name.empty() ? "(host name unavailable)" : cfg.host_name) +
                                    ":" + std::to_string(cfg.port);
        b += "  LAN access:   " + address + "\n";
        b += "  Warning:      anyone on your network can spend from an open wallet (--lan-open)\n\n";
    } else if (cfg.bind_host == "0.0.0.0") {
        b += pairing_lines(cfg, pairing_code);
    }
    b += "  Press Ctrl+C to stop.\n\n";
    return b;
}

int run_server(int argc, const char* const* argv, config& cfg, shared_limits& limits)
{
    plat::socket_library net;
    if (!net.ok()) {
        std::fprintf(stderr, "ERROR: WSAStartup failed\n");
        return 1;
    }
    // Idle connections must not use up a low default limit of descriptors.
    plat::raise_open_file_limit();
    cfg.web_dir = find_web_dir(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    command_line cli = scan_command_line(argc, argv, cfg);
    if (cli.result == command_line::help) {
        std::fputs(help_text, stdout);
        return 0;
    }
    if (cli.result == command_line::version) {
        std::fputs(version_text().c_str(), stdout);
        return 0;
    }
    if (cli.result == command_line::bad_value && cli.secret) {
        std::fprintf(stderr, "ERROR: %s needs %s\n", cli.option.c_str(), cli.expected.c_str());
        return 1;
    }
    if (cli.result == command_line::bad_value) {
        std::fprintf(stderr, "ERROR: %s needs %s, got \"%s\"\n", cli.option.c_str(), cli.expected.c_str(),
                     cli.value.c_str());
        if (!cli.hint.empty()) std::fprintf(stderr, "  %s\n", cli.hint.c_str());
        return 1;
    }
    if (!take_login_file(cli.rpc_login_file, "--rpc-login-file", cfg.rpc_login) ||
        !take_login_file(cli.daemon_login_file, "--daemon-login-file", cfg.daemon_login))
        return 1;

    std::string page = cfg.web_dir + page_file;
    if (!plat::readable(page)) {
        std::fprintf(stderr, "ERROR: Cannot find %s\n", page.c_str());
        std::fprintf(stderr, "  Use --web-dir to specify the web/ directory\n");
        return 1;
    }

    // Other computers can connect: they pair first, unless the user opened
    // the wallet to the network.
    std::string pairing_code;
    if (cfg.bind_host == "0.0.0.0" && !cfg.lan_open) {
        pairing_code = new_pairing_code(limits.devices, "", cfg.pairing_lifetime_ms, pairing_now());
        if (pairing_code.empty()) {
            std::fprintf(stderr,
                         "ERROR: No random bytes for a pairing code\n"
                         "  Use --localhost-only\n");
            return 1;
        }
    }

    plat::socket_handle listener = open_listener(cfg);
    if (!listener.valid()) return 1;

    if (cfg.wallet_log.empty())
        cfg.wallet_log = find_wallet_log(std::getenv("HOME"), std::getenv("USERPROFILE"));

    cfg.host_name = plat::host_name();
    if (cfg.bind_host == "0.0.0.0") cfg.lan_addresses = plat::lan_ipv4_addresses();
    // The threads from here on, the stop request's and one per connection,
    // need little stack.
    plat::set_default_thread_stack(connection_stack);
    const plat::stop_request_thread stop_requests(signal_handler);
    std::fputs(banner_text(cfg, pairing_code).c_str(), stdout);
    std::fflush(stdout);

    // From here the listener belongs to g_server_fd: the stop-request
    // handler may wake or close it, and shutdown closes what is left.
    g_server_fd.store(listener.release());
    if (g_running.load()) accept_loop(cfg, limits);

    plat::socket_t fd = g_server_fd.exchange(plat::invalid_socket);
    if (fd != plat::invalid_socket) plat::close_socket(fd);
    std::fputs("\nShutdown.\n", stdout);
    std::fflush(stdout);
    return 0;
}
