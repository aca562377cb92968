#include "wallet_data.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::string get(std::uint16_t port, const std::string& target, const std::string& method = "GET")
{
    return test::http_exchange(port, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
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

// The answer for the counted log holding the lines first to last, after
// a leading fragment if one is given.
std::string counted_lines(int first, int last, const std::string& fragment = "")
{
    std::string out = "{\"lines\":[";
    if (!fragment.empty()) out += "\"" + fragment + "\",";
    for (int i = first; i <= last; ++i)
        out += (i > first ? ",\"" : "\"") + std::to_string(i) + "\"";
    return out + "],\"file_size\":2290}";
}

TEST(WalletRoutes, LogQueryNumbers)
{
    test::temp_dir dir;
    config cfg;
    cfg.wallet_log = (dir.path() / "wallet-rpc.log").string();
    test::write_file(cfg.wallet_log, counted_log());
    test::server server(cfg);

    struct {
        const char* target;
        std::string expected;
    } cases[] = {
        {"/wallet-log", counted_lines(570, 599)},
        {"/wallet-log?", counted_lines(570, 599)},
        {"/wallet-log?lines=2", counted_lines(598, 599)},
        {"/wallet-log?lines=0", counted_lines(599, 599)},
        {"/wallet-log?lines=-3", counted_lines(599, 599)},
        {"/wallet-log?lines=9999", counted_lines(100, 599)},
        {"/wallet-log?lines=12abc", counted_lines(588, 599)},
        {"/wallet-log?lines=abc", counted_lines(570, 599)},
        {"/wallet-log?xlines=7", counted_lines(593, 599)},
        // From an offset every line after it comes, whatever the count:
        // byte 10 begins the line "5", byte 2000 is the "7" of "527".
        {"/wallet-log?lines=5&offset=10", counted_lines(5, 599)},
        {"/wallet-log?offset=2000&lines=7", counted_lines(528, 599, "7")},
        {"/wallet-log?lines=2&offset=2282", counted_lines(598, 599)},
        {"/wallet-log?lines=2&offset=2290", R"({"lines":[],"file_size":2290})"},
        {"/wallet-log?offset=-5", counted_lines(570, 599)},
        // Past the end (the log was larger once): every line of the tail.
        {"/wallet-log?offset=3221225472", counted_lines(0, 599)},
        // Beyond 64 bits the offset is no number: the last lines.
        {"/wallet-log?offset=9223372036854775808", counted_lines(570, 599)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get(server.port(), c.target), ok_json(c.expected)) << c.target;
    // Any method reads the log.
    EXPECT_EQ(get(server.port(), "/wallet-log?offset=2282", "POST"), ok_json(counted_lines(598, 599)));
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
