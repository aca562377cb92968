// Helpers shared by the tests: a real server on a loopback port, a raw
// client, temporary folders. Every wait has a deadline.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "config_and_request.h"
#include "platform.h"
#include "shared_limits.h"

namespace test {

// A listener on 127.0.0.1:0 (port read back), or an invalid handle.
plat::socket_handle listen_loopback();

// A client socket connected to 127.0.0.1:port, with a 10 s receive time-out.
plat::socket_handle connect_loopback(std::uint16_t port);

// Two connected loopback sockets: first the client end, second the accepted end.
std::pair<plat::socket_handle, plat::socket_handle> loopback_pair();

// A port on 127.0.0.1 where connects are refused, for as long as the
// returned socket (bound, not listening) is kept.
std::pair<plat::socket_handle, std::uint16_t> refused_port();

// Everything the peer sends until it closes (or 10 s pass).
std::string read_until_close(plat::socket_t s);

// Sends request to 127.0.0.1:port and returns everything answered until close.
std::string http_exchange(std::uint16_t port, std::string_view request);

// How a test server listens and whom it believes it serves.
struct server_options {
    // Every connection is served as if it came from this address (IPv4,
    // host byte order), a computer on the network; 0: from where it came.
    std::uint32_t peer = 0;
    std::string bind_address = "127.0.0.1";
};

// handle_client behind a listener (loopback unless told otherwise), one
// thread per connection, all joined on destruction. Threads it starts are
// in the network namespace of the thread that made it.
class server {
public:
    explicit server(config cfg, server_options opts = {});
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;
    std::uint16_t port() const { return port_; }
    const config& cfg() const { return cfg_; }
    // What its connections share: the devices, the locks, the counters.
    shared_limits& limits() { return limits_; }

private:
    config cfg_;
    shared_limits limits_;
    plat::socket_handle listener_;
    std::atomic<plat::socket_t> listener_fd_{plat::invalid_socket};
    std::uint16_t port_ = 0;
    std::thread accept_thread_;
    std::mutex threads_mutex_;
    std::vector<std::thread> threads_;
};

// A response split into its parts; status 0 when it did not parse.
struct response {
    int status = 0;
    std::string head;  // status line and headers, without the blank line
    std::string body;
};
response split_response(const std::string& raw);

// The exact head the server writes for a body of body_length bytes, with
// the lines of extra_headers before the last one.
std::string expected_head(int status, std::string_view reason, std::string_view content_type,
                          std::uint64_t body_length, std::string_view extra_headers = {});

// The headers a static file answer carries besides the fixed ones.
inline constexpr std::string_view static_headers =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

// A fresh folder under the system temp folder, removed with everything in it.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& p, std::string_view bytes);
void append_file(const std::filesystem::path& p, std::string_view bytes);

// Path of the built server program and of the source tree.
std::string server_binary();
std::string source_dir();

}  // namespace test
