// The server program run as a child process on a loopback port with a
// temporary web folder, for the load, fault and path-probe tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace test {

class server_process_test : public ::testing::Test {
protected:
    server_process_test()
    {
        std::filesystem::create_directories(root.path() / "web");
        std::filesystem::create_directories(root.path() / "home");
        write_file(root.path() / "web" / "krv-webui.html", "page");
    }

    std::string web() const { return (root.path() / "web").string(); }

    // A server program on 127.0.0.1, a free port and the web folder; args
    // are added after those options. A wrapper (a tracer) runs the program
    // as its own child. port stays 0 when no banner came.
    struct launched {
        std::unique_ptr<child> proc;
        std::uint16_t port = 0;
    };
    launched launch(const std::string& program, child_options opts = {},
                    std::vector<std::string> wrapper = {})
    {
        std::vector<std::string> args = {"--web-dir", web(), "--localhost-only", "--port", "0"};
        args.insert(args.end(), opts.args.begin(), opts.args.end());
        opts.args = std::move(args);
        opts.env.emplace_back("HOME", (root.path() / "home").string());
        opts.env.emplace_back("USERPROFILE", std::nullopt);
        std::string run = program;
        if (!wrapper.empty()) {
            run = wrapper.front();
            wrapper.erase(wrapper.begin());
            wrapper.push_back(program);
            opts.args.insert(opts.args.begin(), wrapper.begin(), wrapper.end());
        }
        launched l;
        l.proc = std::make_unique<child>(run, opts);
        if (l.proc->wait_for_output("Press Ctrl+C to stop.\n\n", std::chrono::seconds(20)))
            l.port = banner_port(l.proc->out());
        return l;
    }

    // Launches the server under test into proc and port; fails the test
    // when no banner comes.
    void start(const std::string& program, child_options opts = {}, std::vector<std::string> wrapper = {})
    {
        launched l = launch(program, std::move(opts), std::move(wrapper));
        proc = std::move(l.proc);
        port = l.port;
        ASSERT_NE(port, 0) << proc->err();
    }

    // Asks the server to stop; its exit status (nullopt when it did not end in 10 s).
    std::optional<int> stop()
    {
        proc->send_signal(SIGTERM);
        return proc->wait(std::chrono::seconds(10));
    }

    temp_dir root;
    std::unique_ptr<child> proc;
    std::uint16_t port = 0;
};

// A client that sent part of a head and waits; idle_client(port).valid()
// is false when the connection could not be made.
inline plat::socket_handle idle_client(std::uint16_t port)
{
    plat::socket_handle s = connect_loopback(port);
    if (s.valid() && !plat::send_all(s.get(), "GET / HTTP/1.1\r\nHost: x\r\n")) s.reset();
    return s;
}

}  // namespace test
