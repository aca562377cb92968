// The packaged layout (bin/ with the program, web/ beside it) run as it is
// unpacked: the program must find its page without --web-dir.
#include "child_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(Package, FindsWebBesideBinFromAnyFolder)
{
    test::temp_dir root;
    fs::path bin = root.path() / "krv-webui" / "bin";
    fs::create_directories(bin);
    fs::create_directories(root.path() / "krv-webui" / "web");
    fs::create_directories(root.path() / "elsewhere");
    fs::path program = bin / fs::path(test::server_binary()).filename();
    fs::copy_file(test::server_binary(), program);
    test::write_file(root.path() / "krv-webui" / "web" / "krv-webui.html", "packaged page");

    test::child_options o;
    o.args = {"--localhost-only", "--port", "0"};
    o.working_dir = (root.path() / "elsewhere").string();
    o.env = {{"HOME", std::nullopt}, {"USERPROFILE", std::nullopt}};
    test::child c(program.string(), o);
    ASSERT_TRUE(c.wait_for_output("Press Ctrl+C to stop.\n\n", 10s)) << c.err();

    // Windows hands the program its path with backslashes; either way the
    // folder is the program's own followed by "/../web".
    std::string out = c.out();
    std::size_t line = out.find("  Web dir:      ");
    ASSERT_NE(line, std::string::npos) << out;
    std::string dir = out.substr(line + 16, out.find('\n', line) - line - 16);
    EXPECT_TRUE(dir.ends_with("bin/../web")) << dir;
    EXPECT_EQ(
        test::split_response(test::http_exchange(test::banner_port(out), "GET / HTTP/1.1\r\n\r\n")).body,
        "packaged page");

    c.send_signal(SIGINT);
    EXPECT_EQ(c.wait(5s), 0);
}

}  // namespace
