#include "dispatcher.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "http_message.h"
#include "upstream.h"
#include "wallet_data.h"

namespace {

constexpr std::string_view json_type = "application/json";
constexpr int client_send_buffer = 2097152;

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view content_type_for(std::string_view path)
{
    // First key found anywhere in the path wins; the order matters (".json" before ".js").
    static constexpr std::pair<std::string_view, std::string_view> table[] = {
        {".css", "text/css"},  {".json", "application/json"}, {".js", "application/javascript"},
        {".png", "image/png"}, {".svg", "image/svg+xml"},     {".ico", "image/x-icon"},
    };
    for (const auto& [key, type] : table)
        if (path.find(key) != std::string_view::npos) return type;
    return "text/html; charset=utf-8";
}

// A control byte in a forwarded path could add lines to the upstream request.
bool has_control_byte(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

std::string forwarded(const std::string& result, const std::string& error_body)
{
    if (result.empty()) return http_response(502, json_type, error_body);
    return http_response(200, json_type, result);
}

std::string route_request(const http_request& req, const config& cfg)
{
    const std::string& path = req.path;
    if (req.method == "OPTIONS") return http_response(200, "text/plain", "");
    if (path == "/json_rpc" && req.method == "POST") {
        return forwarded(proxy_json_rpc(cfg.rpc_host, cfg.rpc_port, req.body),
                         "{\"error\":\"Cannot connect to krv-wallet-rpc at " + cfg.rpc_host + ":" +
                             std::to_string(cfg.rpc_port) + "\"}");
    }
    if (path == "/daemon_rpc" && req.method == "POST") {
        return forwarded(proxy_json_rpc(cfg.rpc_host, cfg.daemon_port, req.body),
                         "{\"error\":\"Cannot connect to krv daemon at " + cfg.rpc_host + ":" +
                             std::to_string(cfg.daemon_port) + "\"}");
    }
    if (path.starts_with("/rpc/")) {
        std::string target = path.substr(4);
        if (has_control_byte(target)) return http_response(400, "text/plain", "Bad Request");
        return forwarded(proxy_raw(cfg, target, req.body), "{\"error\":\"Cannot connect to RPC\"}");
    }
    if (path == "/wallet-log" || path.starts_with("/wallet-log?")) {
        wallet_log_query q = parse_wallet_log_query(path);
        return http_response(200, json_type, read_tail_json(cfg.wallet_log, q.lines, q.offset));
    }
    if (path == "/health") return http_response(200, json_type, health_json(cfg));
    if (path == "/wallets") return http_response(200, json_type, list_wallets_json(cfg.wallet_dir));
    return serve_static_file(path, cfg);
}

void send_response(plat::socket_t s, const std::string& response)
{
    std::size_t sent = 0;
    while (sent < response.size()) {
        long long n = plat::send_some(s, response.data() + sent, response.size() - sent);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

// Finds key as a plain substring of the whole path and converts what follows.
std::optional<int> query_number(const std::string& path, std::string_view key)
{
    std::size_t at = path.find(key);
    if (at == std::string::npos) return std::nullopt;
    return convert_int(std::string_view(path).substr(at + key.size()));
}

}  // namespace

std::optional<int> convert_int(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
    if (negative) value = -value;
    if (value > 2147483647LL) return std::nullopt;
    return static_cast<int>(value);
}

wallet_log_query parse_wallet_log_query(const std::string& path)
{
    wallet_log_query q;
    if (auto lines = query_number(path, "lines=")) q.lines = std::clamp(*lines, 1, 500);
    if (auto offset = query_number(path, "offset=")) q.offset = *offset;
    return q;
}

bool static_path_allowed(const std::string& path)
{
    // The path is appended to the web folder, so it must start with the
    // separator, must not climb out, and must name the file it shows.
    return !path.empty() && path[0] == '/' && path.find("..") == std::string::npos &&
           path.find('\0') == std::string::npos;
}

std::string read_file(const std::string& path)
{
    std::string content;
    file_ptr f(std::fopen(path.c_str(), "rb"));
    if (!f) return content;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        content.append(buf, n);
    return content;
}

std::string serve_static_file(const std::string& path, const config& cfg)
{
    std::string p = path == "/" ? "/krv-webui.html" : path;
    if (!static_path_allowed(p)) return http_response(400, "text/plain", "Bad Request");
    std::string content = read_file(cfg.web_dir + p);
    if (content.empty()) return http_response(404, "text/plain", "Not Found: " + p);
    return http_response(200, content_type_for(p), content);
}

bool status_line_is_200(std::string_view data)
{
    if (!data.starts_with("HTTP/1.0 200") && !data.starts_with("HTTP/1.1 200")) return false;
    // "HTTP/1.1 2000" is no status 200.
    return data.size() == 12 || data[12] == ' ' || data[12] == '\r';
}

std::string health_json(const config& cfg)
{
    static constexpr std::string_view probe =
        "POST /json_rpc HTTP/1.1\r\nHost: x\r\nContent-Length: 48\r\n\r\n"
        "{\"jsonrpc\":\"2.0\",\"id\":\"h\",\"method\":\"get_height\"}";
    const std::string unreachable = "{\"status\":\"unreachable\"}";

    plat::socket_handle s(plat::tcp_socket());
    if (!s.valid()) return unreachable;
    plat::set_recv_timeout(s.get(), probe_timeout_ms);
    plat::set_send_timeout(s.get(), probe_timeout_ms);
    if (!plat::connect_ipv4(s.get(), cfg.rpc_host, cfg.rpc_port)) return unreachable;
    if (plat::send_some(s.get(), probe.data(), probe.size()) <= 0) return unreachable;
    char buf[256];
    long long n = plat::recv_some(s.get(), buf, 255);
    if (n <= 0) return unreachable;
    buf[n] = 0;
    // Only the status line counts: "200" elsewhere (a length of 200) is no success.
    return status_line_is_200(std::string_view(buf, std::strlen(buf))) ? "{\"status\":\"ok\"}" : unreachable;
}

void handle_client(plat::socket_handle client, const config& cfg)
{
    try {
        plat::set_recv_timeout(client.get(), client_timeout_ms);
        plat::set_send_timeout(client.get(), client_timeout_ms);
        plat::set_send_buffer(client.get(), client_send_buffer);
        http_request req;
        if (!parse_request(client.get(), req)) return;
        send_response(client.get(), route_request(req, cfg));
    } catch (...) {
        // Whatever failed (memory, most likely) ends this connection only:
        // it is closed without a reply, like a request that cannot be read.
    }
}
