#include "dispatcher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>

#include "test_support.h"

namespace {

const std::string page = "<!doctype html><title>KRV</title>\n";

std::string get(std::uint16_t port, const std::string& target, const std::string& method = "GET")
{
    return test::http_exchange(port, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

std::string text_response(int status, const char* reason, const std::string& body,
                          const char* type = "text/plain")
{
    return test::expected_head(status, reason, type, body.size()) + "\r\n\r\n" + body;
}

// An answer of the static file service, with its policy headers.
std::string file_response(int status, const char* reason, const std::string& body,
                          const char* type = "text/plain")
{
    return test::expected_head(status, reason, type, body.size(), test::static_headers) + "\r\n\r\n" + body;
}

// A web folder with the page and a few assets, beside a canary file that
// must never be served, and the upstream ports refused.
class Dispatcher : public ::testing::Test {
protected:
    Dispatcher()
    {
        web = root.path() / "web";
        std::filesystem::create_directories(web / "sub");
        test::write_file(web / "krv-webui.html", page);
        test::write_file(web / "empty.css", "");
        test::write_file(root.path() / "web-secret.txt", "canary");
        test::write_file(root.path() / "secret.txt", "canary");
        cfg.web_dir = web.string();
        cfg.rpc_port = wallet_port.second;
        cfg.daemon_port = daemon_port.second;
    }

    test::temp_dir root;
    std::filesystem::path web;
    std::pair<plat::socket_handle, std::uint16_t> wallet_port = test::refused_port();
    std::pair<plat::socket_handle, std::uint16_t> daemon_port = test::refused_port();
    config cfg;
};

TEST_F(Dispatcher, RouteOrder)
{
    test::server srv(cfg);
    const std::string wallet_error =
        "{\"error\":\"Cannot connect to krv-wallet-rpc at 127.0.0.1:" + std::to_string(cfg.rpc_port) + "\"}";
    const std::string daemon_error =
        "{\"error\":\"Cannot connect to krv daemon at 127.0.0.1:" + std::to_string(cfg.daemon_port) + "\"}";
    const std::string rpc_error = "{\"error\":\"Cannot connect to RPC\"}";
    ASSERT_EQ(rpc_error.size(), 33u);

    struct row {
        std::string method, target, expected;
    };
    const row rows[] = {
        // Preflight comes first, whatever the path.
        {"OPTIONS", "/json_rpc", text_response(200, "OK", "")},
        {"OPTIONS", "/nothing-here", text_response(200, "OK", "")},
        {"POST", "/json_rpc", text_response(502, "Bad Gateway", wallet_error, "application/json")},
        {"POST", "/daemon_rpc", text_response(502, "Bad Gateway", daemon_error, "application/json")},
        // Only POST is forwarded; anything else looks for a file of that name.
        {"GET", "/json_rpc", file_response(404, "Not Found", "Not Found: /json_rpc")},
        {"post", "/json_rpc", file_response(404, "Not Found", "Not Found: /json_rpc")},
        {"GET", "/daemon_rpc", file_response(404, "Not Found", "Not Found: /daemon_rpc")},
        {"GET", "/rpc/", text_response(502, "Bad Gateway", rpc_error, "application/json")},
        {"DELETE", "/rpc/get_height", text_response(502, "Bad Gateway", rpc_error, "application/json")},
        {"GET", "/rpc", file_response(404, "Not Found", "Not Found: /rpc")},
        {"GET", "/health?x=1", file_response(404, "Not Found", "Not Found: /health?x=1")},
        {"GET", "/wallet-logs", file_response(404, "Not Found", "Not Found: /wallet-logs")},
        {"GET", "/wallet-log/", file_response(404, "Not Found", "Not Found: /wallet-log/")},
        {"GET", "/wallets/", file_response(404, "Not Found", "Not Found: /wallets/")},
        {"GET", "/health", text_response(200, "OK", "{\"status\":\"unreachable\"}", "application/json")},
    };
    for (const auto& r : rows)
        EXPECT_EQ(get(srv.port(), r.target, r.method), r.expected) << r.method << " " << r.target;
}

TEST_F(Dispatcher, ForwardedPathsWithControlBytesAreRefused)
{
    test::server srv(cfg);
    for (std::string target : {"/rpc/a\nX-Injected:1", "/rpc/a\rb", "/rpc/a\tb", "/rpc/\x7f"})
        EXPECT_EQ(get(srv.port(), target), text_response(400, "Bad Request", "Bad Request")) << target;
}

TEST_F(Dispatcher, UnreadableRequestsGetNoBytes)
{
    // The half-sent request waits for the client time-out.
    cfg.client_timeout_ms = 50;
    test::server srv(cfg);
    EXPECT_EQ(test::http_exchange(srv.port(), "GET /\r\n\r\n"), "");
    EXPECT_EQ(test::http_exchange(srv.port(), "GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n"), "");
    EXPECT_EQ(test::http_exchange(srv.port(), "GET / HTT"), "");
}

TEST_F(Dispatcher, RootServesThePage)
{
    test::server srv(cfg);
    const std::string expected = file_response(200, "OK", page, "text/html; charset=utf-8");
    EXPECT_EQ(get(srv.port(), "/"), expected);
    EXPECT_EQ(get(srv.port(), "/krv-webui.html"), expected);
    // Any method but OPTIONS gets the file.
    EXPECT_EQ(get(srv.port(), "/", "POST"), expected);
    EXPECT_EQ(get(srv.port(), "/?x=1"), file_response(404, "Not Found", "Not Found: /?x=1"));
}

TEST_F(Dispatcher, ContentTypesBySubstring)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/app.css", "text/css"},
        {"/style.css.map", "text/css"},
        {"/data.json", "application/json"},
        {"/app.js", "application/javascript"},
        {"/lib.min.js", "application/javascript"},
        {"/widget.jsx", "application/javascript"},
        {"/logo.png", "image/png"},
        {"/logo.svg", "image/svg+xml"},
        {"/favicon.ico", "image/x-icon"},
        {"/page.html", "text/html; charset=utf-8"},
        {"/readme.txt", "text/html; charset=utf-8"},
        {"/STYLE.CSS", "text/html; charset=utf-8"},
    };
    for (const auto& [target, type] : cases)
        test::write_file(web.string() + target, target);
    test::server srv(cfg);
    for (const auto& [target, type] : cases)
        EXPECT_EQ(get(srv.port(), target), file_response(200, "OK", target, type)) << target;
}

TEST_F(Dispatcher, FilesComeBackByteForByte)
{
    std::string binary(256 * 3, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i);
    std::string big(1 << 20, 'x');
    for (std::size_t i = 0; i < big.size(); i += 97)
        big[i] = '\0';
    test::write_file(web / "logo.png", binary);
    test::write_file(web / "big.js", big);
    test::server srv(cfg);
    EXPECT_EQ(get(srv.port(), "/logo.png"), file_response(200, "OK", binary, "image/png"));
    EXPECT_EQ(get(srv.port(), "/big.js"), file_response(200, "OK", big, "application/javascript"));
}

TEST_F(Dispatcher, MissingEmptyAndFolderPathsAreNotFound)
{
    test::server srv(cfg);
    EXPECT_EQ(get(srv.port(), "/missing.png"), file_response(404, "Not Found", "Not Found: /missing.png"));
    EXPECT_EQ(get(srv.port(), "/empty.css"), file_response(404, "Not Found", "Not Found: /empty.css"));
    EXPECT_EQ(get(srv.port(), "/sub"), file_response(404, "Not Found", "Not Found: /sub"));
    EXPECT_EQ(get(srv.port(), "/sub/"), file_response(404, "Not Found", "Not Found: /sub/"));
    // The query is part of the name.
    test::write_file(web / "app.js", "js");
    EXPECT_EQ(get(srv.port(), "/app.js?v=2"), file_response(404, "Not Found", "Not Found: /app.js?v=2"));
}

TEST_F(Dispatcher, NothingOutsideTheWebFolderIsServed)
{
    test::server srv(cfg);
    const std::string bad = file_response(400, "Bad Request", "Bad Request");
    const std::string targets[] = {
        "/../secret.txt",
        "/x/../krv-webui.html",
        "/a..b.css",
        "/..",
        "..",
        // Without the leading slash the target would name a file beside the folder.
        "-secret.txt",
        "x",
        "http://host/a",
        "*",
        // A NUL would end the file name early.
        std::string("/krv-webui.html\0.png", 20),
        std::string("\0", 1),
    };
    for (const auto& t : targets) {
        std::string r = get(srv.port(), t);
        EXPECT_EQ(r, bad) << t;
        EXPECT_EQ(r.find("canary"), std::string::npos) << t;
    }
    // Escapes are not decoded: they name a file that does not exist.
    EXPECT_EQ(get(srv.port(), "/%2e%2e/secret.txt"),
              file_response(404, "Not Found", "Not Found: /%2e%2e/secret.txt"));
}

// Windows opens a device for these names and waits on it for good; every
// platform answers them 404 at once, and names that only look alike are files.
TEST_F(Dispatcher, DeviceNamesAreNotFoundAtOnce)
{
    const std::vector<std::string> files = {"COM10.js", "CONSOLE.js", "com.js",   "auxiliary.css",
                                            "LPT.js",   "nul_.txt",   "CONINx.js"};
    for (const std::string& name : files)
        test::write_file(web / name, "file");
    test::server srv(cfg);
    for (std::string target :
         {"/COM1", "/AUX", "/COM1.js", "/aux.css", "/con", "/Nul.txt", "/lpt9.tar.gz", "/CONIN$",
          "/conout$.txt", "/sub/COM0", "/sub\\prn", "/com1:", "/LPT3.", "/COM\xB9", "/com\xC2\xB2.css"})
        EXPECT_EQ(get(srv.port(), target), file_response(404, "Not Found", "Not Found: " + target)) << target;
    for (const std::string& name : files)
        EXPECT_EQ(test::split_response(get(srv.port(), "/" + name)).body, "file") << name;
    // A blank cannot stand in a request line, but Windows drops it before the dot.
    EXPECT_TRUE(names_a_device("/COM1 .js"));
    for (const char* path : {"/", "", "/COM", "/COMx", "/LPT10", "/CON/x.js", "/NULL"})
        EXPECT_FALSE(names_a_device(path)) << path;
}

TEST(StaticPath, Allowed)
{
    EXPECT_TRUE(static_path_allowed("/krv-webui.html"));
    EXPECT_TRUE(static_path_allowed("/a/b.c"));
    EXPECT_FALSE(static_path_allowed(""));
    EXPECT_FALSE(static_path_allowed("a"));
    EXPECT_FALSE(static_path_allowed("/a/../b"));
    EXPECT_FALSE(static_path_allowed(std::string("/a\0b", 4)));
}

TEST(WalletLogQuery, Numbers)
{
    struct row {
        const char* path;
        int lines;
        long long offset;
    };
    const row rows[] = {
        {"/wallet-log", 30, -1},
        {"/wallet-log?", 30, -1},
        {"/wallet-log?lines=0", 1, -1},
        {"/wallet-log?lines=9999", 500, -1},
        {"/wallet-log?lines=abc", 30, -1},
        {"/wallet-log?lines=", 30, -1},
        {"/wallet-log?lines=2147483648", 30, -1},
        {"/wallet-log?lines=12abc", 12, -1},
        {"/wallet-log?lines=-3", 1, -1},
        {"/wallet-log?lines=5&offset=10", 5, 10},
        {"/wallet-log?offset=-5", 30, -5},
        {"/wallet-log?offset=2147483647", 30, 2147483647},
        // Offsets are 64-bit: a log may pass 2 GiB.
        {"/wallet-log?offset=2147483648", 30, 2147483648LL},
        {"/wallet-log?offset=3221225485&lines=2", 2, 3221225485LL},
        {"/wallet-log?offset=9223372036854775807", 30, INT64_MAX},
        {"/wallet-log?offset=9223372036854775808", 30, -1},
        {"/wallet-log?offset=-2147483648", 30, -2147483647 - 1},
        {"/wallet-log?offset=-9223372036854775808", 30, INT64_MIN},
        {"/wallet-log?offset=-9223372036854775809", 30, -1},
        {"/wallet-log?offset=x&lines=7", 7, -1},
        {"/wallet-log?xlines=7", 7, -1},
        {"/wallet-log?lines= 8", 8, -1},
    };
    for (const auto& r : rows) {
        wallet_log_query q = parse_wallet_log_query(r.path);
        EXPECT_EQ(q.lines, r.lines) << r.path;
        EXPECT_EQ(q.offset, r.offset) << r.path;
    }
}

// The page's QR module is part of the tree: a clone built without npm
// serves a complete page.
TEST(Dashboard, ServesItsVendoredModule)
{
    config cfg;
    cfg.web_dir = test::source_dir() + "/web";
    std::ifstream in(cfg.web_dir + "/vendor/qr.js", std::ios::binary);
    const std::string module((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(module.size(), 10000u);
    EXPECT_NE(module.find("export"), std::string::npos);
    EXPECT_EQ(module.find("sourceMappingURL"), std::string::npos);
    EXPECT_EQ(serve_static_file("/vendor/qr.js", cfg),
              file_response(200, "OK", module, "application/javascript"));
    for (const char* licence : {"/vendor/qr.LICENSE-MIT", "/vendor/qr.LICENSE-APACHE"})
        EXPECT_EQ(test::split_response(serve_static_file(licence, cfg)).status, 200) << licence;
}

}  // namespace
