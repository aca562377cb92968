// Request targets that try to reach files outside the web folder, sent
// to the real server: canary files beside and above the folder must never
// come back, whatever the target looks like.
#include "server_process.h"

#include <gtest/gtest.h>

#include <random>

namespace {

class StaticProbes : public test::server_process_test {};

TEST_F(StaticProbes, CanariesBesideAndAboveTheWebFolderAreNeverServed)
{
    // The web folder is root/web; each canary is where some reading of a
    // target would land: above it, beside it under a longer name, in a
    // sibling folder, and below a name that only an unescaped path reaches.
    const std::string canary = "CANARY-" + std::to_string(std::random_device{}());
    for (const char* place : {"canary.txt", "webcanary.txt", "web-x/canary.txt", "web%2fcanary.txt"}) {
        std::filesystem::create_directories((root.path() / place).parent_path());
        test::write_file(root.path() / place, canary);
    }
    start(test::server_binary());

    const std::string above = root.str() + "/canary.txt";
    struct {
        std::string target;
        int status;  // 0: no reply, the request line does not parse
    } probes[] = {
        {"canary.txt", 400},
        {"-x/canary.txt", 400},
        {"%2fcanary.txt", 400},
        {"/../canary.txt", 400},
        {"/x/../../canary.txt", 400},
        {"/./../canary.txt", 400},
        {"/..%2fcanary.txt", 400},
        {"/.../../canary.txt", 400},
        {"/..\\canary.txt", 400},
        {"\\..\\canary.txt", 400},
        {"/%2e%2e/canary.txt", 404},
        {"/%2E%2E%2Fcanary.txt", 404},
        {"/.%2e/canary.txt", 404},
        {"/%252e%252e/canary.txt", 404},
        {"/..", 400},
        {"..", 400},
        {"/canary.txt", 404},
        {"//canary.txt", 404},
        {above, 404},
        {"/" + above, 404},
        {"file://" + above, 400},
        {"http://127.0.0.1/../canary.txt", 400},
        {"http://127.0.0.1/canary.txt", 400},
        {"http:/../canary.txt", 400},
        {std::string("\0/../canary.txt", 15), 400},
        {std::string("/\0../canary.txt", 15), 400},
        {std::string("/krv-webui.html\0/../../canary.txt", 33), 400},
        {std::string("\0canary.txt", 11), 400},
        {"/canary.txt\r\nX: y", 0},
        {"", 400},
    };
    for (const auto& p : probes) {
        std::string raw = test::http_exchange(port, "GET " + p.target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(raw.find(canary), std::string::npos) << p.target;
        EXPECT_EQ(test::split_response(raw).status, p.status) << p.target << "\n" << raw;
    }
    // The folder itself is still served.
    EXPECT_EQ(test::split_response(test::http_exchange(port, "GET / HTTP/1.1\r\n\r\n")).body, "page");
    EXPECT_EQ(stop(), 0);
}

}  // namespace
