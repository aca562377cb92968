#include "wallet_data.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::string get(std::uint16_t port, const std::string& target, const std::string& method = "GET")
{
    return test::http_exchange(port, method + " " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
}

std::string ok_json(const std::string& body)
{
    return test::expected_head(200, "OK", "application/json", body.size()) + "\r\n\r\n" + body;
}

// 600 lines "0" to "599", so that every line count gives a different answer.
std::string counted_log()
{
    std::string out;
    for (int i = 0; i < 600; ++i)
        out += std::to_string(i) + "\n";
    return out;
}

}  // namespace

TEST(WalletRoutes, LogQueryNumbers)
{
    test::temp_dir dir;
    config cfg;
    cfg.wallet_log = (dir.path() / "wallet-rpc.log").string();
    test::write_file(cfg.wallet_log, counted_log());
    test::server server(cfg);

    struct {
        const char* target;
        int lines, offset;
    } cases[] = {
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
        {"/wallet-log?offset=2000&lines=7", 7, 2000},
        {"/wallet-log?offset=-5", 30, -5},
        {"/wallet-log?offset=3221225472", 30, -1},
        {"/wallet-log?offset=abc", 30, -1},
        {"/wallet-log?xlines=7", 7, -1},
    };
    for (const auto& c : cases) {
        std::string expected = ok_json(read_tail_json(cfg.wallet_log, c.lines, c.offset));
        EXPECT_EQ(get(server.port(), c.target), expected) << c.target;
    }
    EXPECT_EQ(get(server.port(), "/wallet-log?lines=2"),
              ok_json(R"({"lines":["598","599"],"file_size":2290})"));
    EXPECT_EQ(get(server.port(), "/wallet-log?offset=2282", "POST"),
              ok_json(R"({"lines":["598","599"],"file_size":2290})"));
    EXPECT_EQ(get(server.port(), "/wallet-log?lines=2&offset=2290"),
              ok_json(R"({"lines":[],"file_size":2290})"));
}

TEST(WalletRoutes, ErrorFormsAreAnsweredWith200)
{
    test::temp_dir dir;
    config unset;
    test::server server(unset);
    EXPECT_EQ(get(server.port(), "/wallet-log"),
              ok_json(R"({"error":"no wallet-log configured","lines":[],"file_size":0})"));
    EXPECT_EQ(get(server.port(), "/wallets"), ok_json(R"({"wallets":[]})"));

    config missing;
    missing.wallet_log = (dir.path() / "missing.log").string();
    missing.wallet_dir = (dir.path() / "missing").string();
    test::server server2(missing);
    EXPECT_EQ(get(server2.port(), "/wallet-log?lines=3"),
              ok_json(R"({"error":"cannot open log file","lines":[],"file_size":0})"));
    EXPECT_EQ(get(server2.port(), "/wallets"), ok_json(R"({"wallets":[]})"));
}

TEST(WalletRoutes, WalletsListing)
{
    test::temp_dir dir;
    test::write_file(dir.path() / "alice", "x");
    test::write_file(dir.path() / "alice.keys", "x");
    config cfg;
    cfg.wallet_dir = dir.str();
    test::server server(cfg);
    for (const char* method : {"GET", "POST", "DELETE"})
        EXPECT_EQ(get(server.port(), "/wallets", method), ok_json(R"({"wallets":["alice"]})")) << method;
    // Only the exact path is the listing.
    EXPECT_EQ(test::split_response(get(server.port(), "/wallets?x=1")).status, 404);
    EXPECT_EQ(test::split_response(get(server.port(), "/wallet-logs")).status, 404);
    EXPECT_EQ(test::split_response(get(server.port(), "/wallet-log/")).status, 404);
}
