#include "test_support.h"

#include <chrono>
#include <fstream>
#include <random>

#include "dispatcher.h"
#include "http_message.h"

namespace test {

plat::socket_handle listen_loopback()
{
    plat::socket_handle s(plat::tcp_socket());
    if (!s.valid()) return s;
    if (!plat::bind_ipv4(s.get(), "127.0.0.1", 0) || !plat::listen_socket(s.get(), 128)) s.reset();
    return s;
}

plat::socket_handle connect_loopback(std::uint16_t port)
{
    plat::socket_handle s(plat::tcp_socket());
    if (!s.valid()) return s;
    plat::set_recv_timeout(s.get(), 10000);
    plat::set_send_timeout(s.get(), 10000);
    if (!plat::connect_ipv4(s.get(), "127.0.0.1", port)) s.reset();
    return s;
}

std::pair<plat::socket_handle, plat::socket_handle> loopback_pair()
{
    plat::socket_handle listener = listen_loopback();
    plat::socket_handle client = connect_loopback(plat::local_port(listener.get()));
    plat::socket_handle server(plat::accept_client(listener.get()));
    plat::set_recv_timeout(server.get(), 10000);
    return {std::move(client), std::move(server)};
}

std::pair<plat::socket_handle, std::uint16_t> refused_port()
{
    plat::socket_handle s(plat::tcp_socket());
    plat::bind_ipv4(s.get(), "127.0.0.1", 0);
    std::uint16_t port = plat::local_port(s.get());
    return {std::move(s), port};
}

std::string read_until_close(plat::socket_t s)
{
    std::string out;
    char buf[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        long long n = plat::recv_some(s, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string http_exchange(std::uint16_t port, std::string_view request)
{
    plat::socket_handle c = connect_loopback(port);
    if (!c.valid() || !plat::send_all(c.get(), request)) return {};
    return read_until_close(c.get());
}

server::server(config cfg, server_options opts) : cfg_(std::move(cfg)), listener_(plat::tcp_socket())
{
    if (!plat::bind_ipv4(listener_.get(), opts.bind_address, 0) || !plat::listen_socket(listener_.get(), 128))
        listener_.reset();
    port_ = plat::local_port(listener_.get());
    listener_fd_ = listener_.get();
    accept_thread_ = std::thread([this, pretend = opts.peer] {
        for (;;) {
            std::uint32_t peer = 0;
            plat::socket_t c = plat::accept_client(listener_.get(), &peer);
            if (c == plat::invalid_socket) return;
            if (pretend != 0) peer = pretend;
            std::lock_guard<std::mutex> lock(threads_mutex_);
            threads_.emplace_back(handle_client, plat::socket_handle(c), peer, std::cref(cfg_),
                                  std::ref(limits_));
        }
    });
}

server::~server()
{
    plat::interrupt_accept(listener_fd_);
    accept_thread_.join();
    // On Windows the interrupt closes the listener itself.
    if (listener_fd_.load() == plat::invalid_socket) listener_.release();
    for (auto& t : threads_)
        t.join();
}

response split_response(const std::string& raw)
{
    response r;
    std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.compare(0, 9, "HTTP/1.1 ") != 0) return r;
    r.head = raw.substr(0, end);
    r.body = raw.substr(end + 4);
    r.status = std::atoi(raw.c_str() + 9);
    return r;
}

std::string expected_head(int status, std::string_view reason, std::string_view content_type,
                          std::uint64_t body_length, std::string_view extra_headers)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
           "\r\nContent-Type: " + std::string(content_type) +
           "\r\nContent-Length: " + std::to_string(body_length) +
           "\r\nAccess-Control-Allow-Origin: *\r\n"
           "Access-Control-Allow-Headers: Content-Type\r\n"
           "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n" +
           std::string(extra_headers) + "Connection: close";
}

temp_dir::temp_dir()
{
    std::random_device rd;
    for (;;) {
        path_ = std::filesystem::temp_directory_path() / ("krv-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(path_)) break;
    }
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& p, std::string_view bytes)
{
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void append_file(const std::filesystem::path& p, std::string_view bytes)
{
    std::ofstream f(p, std::ios::binary | std::ios::app);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string server_binary() { return KRV_WEBUI_BINARY; }
std::string source_dir() { return KRV_SOURCE_DIR; }

}  // namespace test
