#include "dispatcher.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

#include "access.h"
#include "ascii.h"
#include "health_share.h"
#include "http_message.h"
#include "json_text.h"
#include "number_rules.h"
#include "pairing.h"
#include "upstream.h"
#include "wallet_data.h"

namespace {

constexpr std::string_view json_type = "application/json";
// Large answers go out in few sends.
constexpr int client_send_buffer = 2097152;
// Read size once a file has grown past the size it had when measured.
constexpr std::size_t file_block = 65536;
// The pairing and device routes carry a code, a name or an id: a larger
// declared body is refused before it is read.
constexpr std::uint64_t max_form_body = 4096;
// How long the body of a refused request is still read and dropped, so
// that closing with bytes unread does not reset the connection before the
// client has read its answer.
constexpr int refusal_linger_ms = 1000;
// Static answers: no other page may frame the dashboard or run script in
// its name, and its address goes nowhere with a link.
constexpr std::string_view static_headers =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

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

// The size a file has now; 0 when unknown (a directory, a missing file).
std::size_t size_hint(const std::string& path)
{
    std::error_code ec;
    std::uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::size_t>(size);
}

// Appends the file's bytes to out; expected, the size it had, lets them
// arrive in one read into memory sized once. False when it cannot be opened.
bool append_file(const std::string& path, std::string& out, std::size_t expected)
{
    plat::file_ptr f(std::fopen(path.c_str(), "rb"));
    if (!f) return false;
    // Unbuffered, reads go straight into out instead of through the stream's buffer.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    std::size_t at = out.size();
    // One byte more than expected shows the end of the file in the same read.
    std::size_t want = expected + 1;
    for (;;) {
        out.resize(at + want);
        std::size_t n = std::fread(out.data() + at, 1, want, f.get());
        at += n;
        if (n < want) break;
        want = std::max(at, file_block);
    }
    out.resize(at);
    return true;
}

// One answer as it goes out: text, then body, then the first file_length
// bytes of file. A large body or file stays apart from its head, so that
// it is not copied to join them; the bytes sent are the same.
struct reply {
    std::string text;
    std::string body{};
    plat::file_ptr file{};
    std::uint64_t file_length = 0;
};

// The 502 body when a service refused the login: what to do about it.
std::string login_refused(std::string_view service, std::string_view option, bool login_given)
{
    std::string body = "{\"error\":\"";
    append_json_string_content(body, service);
    body += " refused the login: ";
    body += login_given ? "check the USER:PASSWORD given to " : "start krv-webui with ";
    body += option;
    body += login_given ? "\"}" : " FILE\"}";
    return body;
}

std::string at_address(std::string_view what, const std::string& host, std::uint16_t port)
{
    return std::string(what) + " at " + host + ":" + std::to_string(port);
}

reply forwarded(relay_result result, const std::string& error_body, const std::string& login_error_body)
{
    if (result.login_refused) return {http_response(502, json_type, login_error_body)};
    if (result.body.empty()) return {http_response(502, json_type, error_body)};
    std::string body = std::move(result.body);
    if (body.size() < plat::join_max_size) return {http_response(200, json_type, body)};
    return {http_response_head(200, json_type, body.size()), std::move(body)};
}

reply not_found(const std::string& p)
{
    return {http_response(404, "text/plain", "Not Found: " + p, static_headers)};
}

reply read_static_file(const std::string& file, const std::string& p, std::size_t expected)
{
    const std::string_view type = content_type_for(p);
    // The file is read straight in behind its head, so its bytes are copied once.
    std::string message = http_response_head(200, type, expected, static_headers);
    const std::size_t head_size = message.size();
    if (!append_file(file, message, expected) || message.size() == head_size) return not_found(p);
    const std::size_t body_size = message.size() - head_size;
    // The file changed size after it was measured: the head must say what came.
    if (body_size != expected)
        message.replace(0, head_size, http_response_head(200, type, body_size, static_headers));
    return {std::move(message)};
}

// With stream, a larger file is left open to be sent from instead of read into memory.
reply static_file_reply(const std::string& path, const config& cfg, bool stream)
{
    std::string p = path == "/" ? "/krv-webui.html" : path;
    if (!static_path_allowed(p)) return {http_response(400, "text/plain", "Bad Request", static_headers)};
    // Windows would open the device, and wait on it for good.
    if (names_a_device(p)) return not_found(p);
    const std::string file = cfg.web_dir + p;
    const std::size_t size = size_hint(file);
    if (!stream || size < plat::join_max_size) return read_static_file(file, p, size);
    plat::file_ptr f(std::fopen(file.c_str(), "rb"));
    // Measured again once open: a file replaced meanwhile goes out whole, as it was opened.
    const long long length = f && plat::seek_file(f.get(), 0, SEEK_END) ? plat::tell_file(f.get()) : 0;
    if (length <= 0) return not_found(p);
    const auto bytes = static_cast<std::uint64_t>(length);
    return {http_response_head(200, content_type_for(p), bytes, static_headers), {}, std::move(f), bytes};
}

// The routes, tested in this order; the first that matches is taken.
enum class route {
    preflight,
    wallet_rpc,
    daemon_rpc,
    path_rpc,
    wallet_log,
    health,
    wallets,
    pair,
    devices,
    new_code,
    forget_devices,
    static_file,
};

route route_for(const http_request& req)
{
    const std::string& path = req.path;
    const bool post = req.method == "POST";
    if (req.method == "OPTIONS") return route::preflight;
    if (path == "/json_rpc" && post) return route::wallet_rpc;
    if (path == "/daemon_rpc" && post) return route::daemon_rpc;
    if (path.starts_with("/rpc/")) return route::path_rpc;
    if (path == "/wallet-log" || path.starts_with("/wallet-log?")) return route::wallet_log;
    if (path == "/health") return route::health;
    if (path == "/wallets") return route::wallets;
    if (path == "/pair" && post) return route::pair;
    if (path == "/devices" && req.method == "GET") return route::devices;
    if (path == "/devices/pair" && post) return route::new_code;
    if (path == "/devices/forget" && post) return route::forget_devices;
    return route::static_file;
}

// Who guards a route; nullopt for the page's files, /health and preflights.
std::optional<guarded_route> guard_of(route r)
{
    switch (r) {
        case route::wallet_rpc:
        case route::daemon_rpc:
        case route::path_rpc:
        case route::wallet_log:
        case route::wallets:
            return guarded_route::wallet;
        case route::devices:
        case route::new_code:
        case route::forget_devices:
            return guarded_route::devices;
        case route::pair:
            return guarded_route::pairing;
        default:
            return std::nullopt;
    }
}

std::string refusal_answer(const refusal& refused)
{
    std::string body = "{\"error\":\"";
    append_json_string_content(body, refused.sentence);
    body += refused.pairing_needed ? "\",\"pair\":true}" : "\"}";
    return http_response(403, json_type, body);
}

// The answer decided from the head alone, before any body byte is waited
// for or reserved; nullopt when the request goes on.
std::optional<std::string> answer_from_head(const http_request& req, route r, std::uint32_t peer,
                                            const config& cfg, shared_limits& limits)
{
    if (auto refused = lock_refusal(peer, limits, pairing_now().steady_ms)) return refusal_answer(*refused);
    const auto guard = guard_of(r);
    if (!guard) return std::nullopt;
    if (auto refused = guarded_refusal(req, peer, *guard, cfg, limits)) return refusal_answer(*refused);
    if (*guard != guarded_route::wallet && req.content_length > max_form_body)
        return http_response(400, "text/plain", "Bad Request");
    return std::nullopt;
}

std::string cannot_connect(std::string_view what, const std::string& host, std::uint16_t port)
{
    std::string body = "{\"error\":\"Cannot connect to ";
    body += what;
    body += " at ";
    append_json_string_content(body, host);
    body += ':';
    body += std::to_string(port);
    body += "\"}";
    return body;
}

reply pair_reply(const http_request& req, std::uint32_t peer, const config& cfg, shared_limits& limits)
{
    const std::string code = form_value(req.body, "code").value_or("");
    const std::string name = form_value(req.body, "name").value_or("");
    if (auto device = trade_pairing_code(limits.devices, code, name, peer, pairing_now()))
        return {http_response(200, json_type, paired_json(*device))};
    return {refusal_answer(wrong_code_refusal(peer, cfg, limits))};
}

reply new_code_reply(const http_request& req, const config& cfg, shared_limits& limits)
{
    const std::string name = form_value(req.body, "name").value_or("");
    const std::string code = new_pairing_code(limits.devices, name, cfg.pairing_lifetime_ms, pairing_now());
    if (code.empty()) {
        return {
            http_response(503, json_type,
                          "{\"error\":\"No pairing code can be made now: forget a device you no longer use, "
                          "then try again.\"}")};
    }
    return {http_response(200, json_type, pairing_code_json(cfg, code))};
}

reply forget_reply(const http_request& req, shared_limits& limits)
{
    int forgotten = 0;
    if (form_value(req.body, "all")) {
        forgotten = forget_all_devices(limits.devices);
    } else if (auto id = convert_int(form_value(req.body, "id").value_or(""))) {
        forgotten = *id > 0 && forget_device(limits.devices, static_cast<std::uint64_t>(*id)) ? 1 : 0;
    }
    return {http_response(200, json_type, "{\"forgotten\":" + std::to_string(forgotten) + "}")};
}

std::string health_answer(std::uint32_t peer, const config& cfg, shared_limits& limits)
{
    // This machine asks the wallet service each time; the network shares one probe a second.
    if (is_loopback(peer)) return health_json(cfg);
    return shared_health_answer(
        limits.health, [&] { return health_json(cfg); }, pairing_now().steady_ms);
}

reply route_request(const http_request& req, route r, std::uint32_t peer, const config& cfg,
                    shared_limits& limits)
{
    switch (r) {
        case route::preflight:
            return {http_preflight_response(preflight_allowed_headers(req, cfg))};
        case route::wallet_rpc:
            return forwarded(proxy_json_rpc(wallet_service(cfg), req.body),
                             cannot_connect("krv-wallet-rpc", cfg.rpc_host, cfg.rpc_port),
                             login_refused(at_address("krv-wallet-rpc", cfg.rpc_host, cfg.rpc_port),
                                           "--rpc-login-file", cfg.rpc_login.given()));
        case route::daemon_rpc:
            return forwarded(proxy_json_rpc(daemon_service(cfg), req.body),
                             cannot_connect("krv daemon", cfg.rpc_host, cfg.daemon_port),
                             login_refused(at_address("krv daemon", cfg.rpc_host, cfg.daemon_port),
                                           "--daemon-login-file", cfg.daemon_login.given()));
        case route::path_rpc: {
            std::string target = req.path.substr(4);
            // A control byte could add lines to the upstream request.
            if (!forwardable_path(target)) return {http_response(400, "text/plain", "Bad Request")};
            return forwarded(proxy_raw(cfg, target, req.body), "{\"error\":\"Cannot connect to RPC\"}",
                             login_refused("krv daemon", "--daemon-login-file", cfg.daemon_login.given()));
        }
        case route::wallet_log: {
            wallet_log_query q = parse_wallet_log_query(req.path);
            return {http_response(200, json_type, read_tail_json(cfg.wallet_log, q.lines, q.offset))};
        }
        case route::health:
            return {http_response(200, json_type, health_answer(peer, cfg, limits))};
        case route::wallets:
            return {http_response(200, json_type, list_wallets_json(cfg.wallet_dir))};
        case route::pair:
            return pair_reply(req, peer, cfg, limits);
        case route::devices:
            return {http_response(200, json_type, devices_json(limits.devices, cfg, pairing_now()))};
        case route::new_code:
            return new_code_reply(req, cfg, limits);
        case route::forget_devices:
            return forget_reply(req, limits);
        case route::static_file:
            break;
    }
    return static_file_reply(req.path, cfg, true);
}

// A refused request's body may be on its way: it is read and dropped for a
// moment after the answer, so that the answer is not lost to a reset.
void drop_unread_body(plat::socket_t s, const request_reader& reader, const http_request& req)
{
    if (reader.state != read_state::need_body) return;
    plat::shutdown_send(s);
    if (!plat::set_recv_timeout(s, refusal_linger_ms)) return;
    std::uint64_t left = req.content_length - req.body.size();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(refusal_linger_ms);
    std::string scratch(8192, '\0');
    while (left > 0 && std::chrono::steady_clock::now() < until) {
        const long long n = plat::recv_some(s, scratch.data(), scratch.size());
        if (n <= 0) return;
        left -= std::min(left, static_cast<std::uint64_t>(n));
    }
}

void send_reply(plat::socket_t s, const reply& r)
{
    if (r.file) {
        plat::send_head_and_file(s, r.text, r.file.get(), r.file_length);
    } else if (plat::send_all(s, r.text, !r.body.empty())) {
        plat::send_all(s, r.body);
    }
}

// Finds key as a plain substring of the whole path; the text that follows it.
std::optional<std::string_view> query_text(const std::string& path, std::string_view key)
{
    std::size_t at = path.find(key);
    if (at == std::string::npos) return std::nullopt;
    return std::string_view(path).substr(at + key.size());
}

}  // namespace

wallet_log_query parse_wallet_log_query(const std::string& path)
{
    wallet_log_query q;
    auto lines = query_text(path, "lines=");
    if (auto n = lines ? convert_int(*lines) : std::nullopt) q.lines = std::clamp(*n, 1, 500);
    auto offset = query_text(path, "offset=");
    if (auto n = offset ? convert_int64(*offset) : std::nullopt) q.offset = *n;
    return q;
}

bool names_a_device(std::string_view path)
{
    std::string_view name = path.substr(path.find_last_of("/\\") + 1);
    // Windows ignores what follows the first dot or a colon, and blanks before them.
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (equal_any_case(name, device)) return true;
    if (!starts_with_any_case(name, "COM") && !starts_with_any_case(name, "LPT")) return false;
    // COM0 to COM9 and LPT0 to LPT9, and with the superscript digits 1 to 3
    // (as one byte in the Windows code page, or in UTF-8).
    const std::string_view digit = name.substr(3);
    if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
    for (std::string_view sup : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
        if (digit == sup) return true;
    return false;
}

bool static_path_allowed(const std::string& path)
{
    // The path is appended to the web folder, so it must start with the
    // separator, must not climb out, and must name the file it shows.
    return !path.empty() && path[0] == '/' && path.find("..") == std::string::npos &&
           path.find('\0') == std::string::npos;
}

std::string serve_static_file(const std::string& path, const config& cfg)
{
    return static_file_reply(path, cfg, false).text;
}

void handle_client(plat::socket_handle client, std::uint32_t peer, const config& cfg, shared_limits& limits)
{
    try {
        const read_bounds bounds{
            std::chrono::steady_clock::now() + std::chrono::milliseconds(cfg.request_deadline_ms),
            std::min(cfg.client_timeout_ms, cfg.request_deadline_ms)};
        // Without its time-outs a silent peer would hold this thread for good.
        if (!plat::set_recv_timeout(client.get(), bounds.receive_timeout_ms) ||
            !plat::set_send_timeout(client.get(), cfg.client_timeout_ms))
            return;
        plat::set_send_buffer(client.get(), client_send_buffer);
        http_request req;
        request_reader reader;
        if (!read_request_head(client.get(), reader, req, bounds)) return;
        const route r = route_for(req);
        // Who may ask is decided from the head: a refused request costs no body.
        if (auto answer = answer_from_head(req, r, peer, cfg, limits)) {
            if (plat::send_all(client.get(), *answer)) drop_unread_body(client.get(), reader, req);
            return;
        }
        body_reservation body(limits, !is_loopback(peer));
        if (!read_request_body(client.get(), reader, req, bounds, body)) return;
        send_reply(client.get(), route_request(req, r, peer, cfg, limits));
    } catch (...) {
        // The one last resort of a connection: whatever failed (memory, most
        // likely) ends this connection only, closed without a reply like a
        // request that cannot be read.
    }
}
