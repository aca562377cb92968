#include "upstream.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "ascii.h"
#include "number_rules.h"

namespace {

// Large answers arrive in few receives.
constexpr int upstream_recv_buffer = 8388608;
constexpr std::size_t head_reserve = 4096;
constexpr std::size_t body_block = 65536;
constexpr std::size_t close_delimited_reserve = 262144;
constexpr std::size_t chunked_reserve = 524288;
// An announced size is only a claim: reserve no more than this ahead of data.
// Reserved pages cost no memory until data fills them, and an answer of a
// few MiB reserved whole is not copied again as it grows.
constexpr std::uint64_t announced_reserve_cap = 8388608;
// Size lines and what follows chunk data are read through a buffer this size.
constexpr std::size_t line_block = 16384;
// A body read waits through this many timed-out receives in a row, with a
// short pause after each, before it counts the upstream as stalled: the
// pause rides out a socket that briefly has nothing, and the count keeps a
// stall from holding the connection's thread without end.
constexpr int max_timed_out_receives = 100;
constexpr int retry_pause_ms = 10;
// A probe reads a refused login's head this far to find its challenge.
constexpr std::size_t max_probe_head = 65536;

// After a failed receive: true when the read should try again (a time-out
// below the limit; the pause is taken here), false when it should stop.
bool retry_after_timeout(int& timed_out_in_a_row)
{
    if (!plat::last_error_timed_out() || ++timed_out_in_a_row >= max_timed_out_receives) return false;
    plat::sleep_ms(retry_pause_ms);
    return true;
}

// Reserves only a modest part of an announced size, which is a mere claim;
// the rest is reserved as bytes arrive.
void reserve_ahead(std::string& out, std::uint64_t announced)
{
    std::size_t need = out.size() + static_cast<std::size_t>(std::min(announced, announced_reserve_cap));
    // At least doubling, so that many chunks do not copy the body again and again.
    if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
}

// Receive buffers live on the heap or in the string they fill: a block deep
// in a connection thread's stack costs a TLB flush on every core when the
// thread ends.
using block_ptr = std::unique_ptr<char[]>;

// One receive of up to max bytes straight onto the end of out; its result.
long long receive_onto(plat::socket_t s, std::string& out, std::size_t max)
{
    const std::size_t at = out.size();
    out.resize(at + max);
    long long n = plat::recv_some(s, out.data() + at, max);
    out.resize(at + static_cast<std::size_t>(n > 0 ? n : 0));
    return n;
}

// A connected upstream socket with its time-outs, or an invalid one;
// recv_buffer 0 keeps the system's receive buffer.
plat::socket_handle connect_upstream(const std::string& host, std::uint16_t port, int timeout_ms,
                                     int recv_buffer)
{
    plat::socket_handle s(plat::tcp_socket());
    if (!s.valid()) return s;
    // Without its time-outs a silent upstream would hold the thread for good.
    if (!plat::set_recv_timeout(s.get(), timeout_ms) || !plat::set_send_timeout(s.get(), timeout_ms)) {
        s.reset();
        return s;
    }
    if (recv_buffer > 0) plat::set_recv_buffer(s.get(), recv_buffer);
    // A host that is no IPv4 literal is refused here without connecting.
    if (!plat::connect_ipv4(s.get(), host, port)) s.reset();
    return s;
}

std::string compose_head(std::string_view method, std::string_view target, const std::string& host,
                         std::uint16_t port, std::size_t body_size, bool with_length,
                         std::string_view authorization)
{
    std::string r;
    r.reserve(128 + target.size() + host.size() + authorization.size());
    r += method;
    r += ' ';
    r += target;
    r += " HTTP/1.1\r\nHost: ";
    r += host;
    r += ':';
    r += std::to_string(port);
    r += "\r\nContent-Type: application/json\r\n";
    if (with_length) {
        r += "Content-Length: ";
        r += std::to_string(body_size);
        r += "\r\n";
    }
    r += authorization;
    r += "\r\n";
    return r;
}

// What one try of an exchange brought back.
struct exchange_answer {
    int status = 0;  // 0: no complete head came
    std::string head;
    std::string body;  // empty unless complete
};

// One request/response exchange on a new connection. A failed or short
// send is not reported: the head read then finds nothing.
exchange_answer exchange_once(const upstream_service& service, std::string head, const std::string& body)
{
    plat::socket_handle s =
        connect_upstream(service.host, service.port, service.timeout_ms, upstream_recv_buffer);
    if (!s.valid()) return {};
    if (body.size() < plat::join_max_size) {
        head += body;
        plat::send_all(s.get(), head);
    } else if (plat::send_all(s.get(), head, true)) {
        plat::send_all(s.get(), body);
    }
    exchange_answer a;
    a.head = recv_headers(s.get());
    if (!a.head.ends_with("\r\n\r\n")) return {};
    a.status = status_line_code(a.head);
    // A refused login's body is of no use, and an upstream may keep it coming.
    if (a.status != 401) a.body = recv_body(s.get(), a.head);
    return a;
}

// The exchange with as many tries as the login needs.
relay_result exchange(const upstream_service& service, std::string_view method, std::string_view target,
                      const std::string& body, bool with_length)
{
    login_tries tries(service.login);
    for (;;) {
        exchange_answer a =
            exchange_once(service,
                          compose_head(method, target, service.host, service.port, body.size(), with_length,
                                       tries.header(method, target)),
                          body);
        if (a.status != 401) return {std::move(a.body), false};
        if (!tries.again_after_401(a.head)) return {{}, true};
    }
}

// Receives exactly count queued bytes (already seen by a peek) onto out.
bool consume(plat::socket_t s, std::string& out, std::size_t count)
{
    while (count > 0) {
        long long n = receive_onto(s, out, count);
        if (n <= 0) return false;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool forwardable_path(std::string_view path)
{
    return std::none_of(path.begin(), path.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

body_framing head_framing(std::string_view head)
{
    using kind = body_framing::kind;
    body_framing f;
    // These never carry a body, whatever their head says.
    const int status = status_line_code(head);
    if (status == 204 || status == 304) {
        f.how = kind::none;
        return f;
    }
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(), ascii_lower);
    if (lower.find("transfer-encoding: chunked") != std::string::npos) {
        f.how = kind::chunked;
        return f;
    }
    std::size_t at = lower.find("content-length:");
    if (at == std::string::npos) return f;
    at += 15;
    while (at < lower.size() && lower[at] == ' ')
        ++at;
    // A length that does not convert is no length: the close ends the body.
    auto length = convert_unsigned(std::string_view(lower).substr(at), 10);
    if (!length) return f;
    f.how = *length == 0 ? kind::none : kind::length;
    f.length = *length;
    return f;
}

std::optional<std::size_t> head_end_in(std::string_view head_so_far, std::string_view more)
{
    // The blank line may begin in the up to three bytes already read.
    std::size_t carried = std::min<std::size_t>(3, head_so_far.size());
    std::string window(head_so_far.substr(head_so_far.size() - carried));
    window += more;
    std::size_t at = window.find("\r\n\r\n");
    if (at == std::string::npos) return std::nullopt;
    return at + 4 - carried;
}

std::size_t decode_chunked(chunked_decoder& d, std::string_view bytes, std::string& out)
{
    using state = chunked_decoder::state;
    std::size_t i = 0;
    while (i < bytes.size() && d.at != state::done && d.at != state::failed) {
        switch (d.at) {
            case state::size_line: {
                // Up to and including the next LF, in one piece.
                const std::size_t lf = bytes.find('\n', i);
                const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
                d.line.append(bytes.data() + i, end - i);
                i = end;
                // Only a LF after a CR ends the line; a lone LF is an ordinary byte.
                if (lf == std::string_view::npos || d.line.size() < 2 || d.line[d.line.size() - 2] != '\r')
                    break;
                d.line.resize(d.line.size() - 2);
                if (d.line.empty()) break;  // empty lines are passed over
                auto size = convert_unsigned(d.line, 16);
                d.line.clear();
                // The trailer after the last chunk is never read.
                d.at = !size ? state::failed : *size == 0 ? state::done : state::data;
                if (size) d.data_left = *size;
                break;
            }
            case state::data: {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(d.data_left, bytes.size() - i));
                out.append(bytes.data() + i, n);
                i += n;
                d.data_left -= n;
                if (d.data_left == 0) chunk_data_taken(d);
                break;
            }
            case state::data_end:
                // The two bytes after chunk data are passed over, whatever they are.
                ++i;
                if (--d.end_left == 0) d.at = state::size_line;
                break;
            case state::done:
            case state::failed:
                break;
        }
    }
    return i;
}

void chunk_data_taken(chunked_decoder& d)
{
    d.data_left = 0;
    d.at = chunked_decoder::state::data_end;
    d.end_left = 2;
}

bool decode_plain(plain_decoder& d, std::string_view bytes, std::string& out)
{
    out.append(bytes);
    d.received += bytes.size();
    return d.length != 0 && d.received >= d.length;
}

body_decoder start_body(std::string_view head)
{
    body_decoder d;
    d.framing = head_framing(head);
    if (d.framing.how == body_framing::kind::length) d.plain.length = d.framing.length;
    return d;
}

std::size_t decode_body(body_decoder& d, std::string_view bytes, std::string& out)
{
    switch (d.framing.how) {
        case body_framing::kind::chunked:
            return decode_chunked(d.chunked, bytes, out);
        case body_framing::kind::none:
            return 0;
        case body_framing::kind::length:
        case body_framing::kind::until_close:
            break;
    }
    decode_plain(d.plain, bytes, out);
    return bytes.size();
}

bool body_done(const body_decoder& d)
{
    switch (d.framing.how) {
        case body_framing::kind::chunked:
            return d.chunked.at == chunked_decoder::state::done;
        case body_framing::kind::length:
            return d.plain.received >= d.framing.length;
        case body_framing::kind::none:
            return true;
        case body_framing::kind::until_close:
            break;
    }
    return false;
}

std::string finished_body(const body_decoder& d, std::string body)
{
    // Without a length only the upstream's close ends the body, so every stop counts as its end.
    if (body_done(d) || d.framing.how == body_framing::kind::until_close) return body;
    return {};
}

std::string decode_answer(std::string_view bytes)
{
    auto end = head_end_in({}, bytes);
    // Without the blank line the body's first byte is unknown.
    if (!end) return {};
    body_decoder d = start_body(bytes.substr(0, *end));
    std::string body;
    decode_body(d, bytes.substr(*end), body);
    return finished_body(d, std::move(body));
}

std::string recv_headers(plat::socket_t s)
{
    std::string head;
    head.reserve(head_reserve);
    for (;;) {
        // Peek into the room behind the head, then take only the head's
        // bytes: the body stays queued.
        const std::size_t at = head.size();
        head.resize(at + head_reserve);
        long long n = plat::peek_some(s, head.data() + at, head_reserve);
        const std::size_t seen = n > 0 ? static_cast<std::size_t>(n) : 0;
        auto end = head_end_in(std::string_view(head.data(), at), std::string_view(head.data() + at, seen));
        head.resize(at);
        if (n <= 0) return head;
        if (!consume(s, head, end.value_or(seen)) || end) return head;
    }
}

bool recv_exact(plat::socket_t s, std::string& out, std::uint64_t count)
{
    reserve_ahead(out, count);
    std::uint64_t total = 0;
    int timed_out = 0;
    while (total < count) {
        // Exactly what is still due, so nothing is read into the string twice.
        long long n = receive_onto(
            s, out, static_cast<std::size_t>(std::min<std::uint64_t>(count - total, body_block)));
        if (n > 0) {
            total += static_cast<std::uint64_t>(n);
            timed_out = 0;
        } else if (n == 0 || !retry_after_timeout(timed_out)) {
            return false;
        }
    }
    return true;
}

namespace {

// Receives the body into out until the decoder has it all or reading stops.
void read_body(plat::socket_t s, body_decoder& d, std::string& out)
{
    using kind = body_framing::kind;
    if (body_done(d)) return;
    const bool chunked = d.framing.how == kind::chunked;
    if (chunked)
        out.reserve(out.size() + chunked_reserve);
    else
        reserve_ahead(out, d.framing.how == kind::length ? d.framing.length : close_delimited_reserve);
    // Size lines are read through a smaller block; chunk data goes straight into out.
    const std::size_t block_size = chunked ? line_block : body_block;
    block_ptr block(new char[block_size]);
    int timed_out = 0;
    while (!body_done(d)) {
        if (chunked && d.chunked.at == chunked_decoder::state::data) {
            if (!recv_exact(s, out, d.chunked.data_left)) return;
            chunk_data_taken(d.chunked);
            continue;
        }
        long long n = plat::recv_some(s, block.get(), block_size);
        if (n > 0) {
            decode_body(d, std::string_view(block.get(), static_cast<std::size_t>(n)), out);
            if (chunked && d.chunked.at == chunked_decoder::state::failed) return;
            timed_out = 0;
        } else if (n == 0 || chunked || !retry_after_timeout(timed_out)) {
            // A size line is not waited for past one time-out; a plain body is.
            return;
        }
    }
}

}  // namespace

bool recv_chunked(plat::socket_t s, std::string& out)
{
    body_decoder d;
    d.framing.how = body_framing::kind::chunked;
    read_body(s, d, out);
    return body_done(d);
}

bool recv_plain_body(plat::socket_t s, std::string& out, std::uint64_t length)
{
    body_decoder d;
    d.framing = {length == 0 ? body_framing::kind::until_close : body_framing::kind::length, length};
    d.plain.length = length;
    read_body(s, d, out);
    return body_done(d) || length == 0;
}

std::string recv_body(plat::socket_t s, std::string_view head)
{
    body_decoder d = start_body(head);
    std::string body;
    read_body(s, d, body);
    return finished_body(d, std::move(body));
}

std::string recv_answer(plat::socket_t s)
{
    std::string head = recv_headers(s);
    // Without the blank line the body's first byte is unknown.
    if (!head.ends_with("\r\n\r\n")) return {};
    return recv_body(s, head);
}

upstream_service wallet_service(const config& cfg)
{
    return {cfg.rpc_host, cfg.rpc_port, cfg.upstream_timeout_ms, cfg.rpc_login};
}

upstream_service daemon_service(const config& cfg)
{
    return {cfg.rpc_host, cfg.daemon_port, cfg.upstream_timeout_ms, cfg.daemon_login};
}

relay_result proxy_json_rpc(const upstream_service& service, const std::string& body)
{
    return exchange(service, "POST", "/json_rpc", body, true);
}

relay_result proxy_raw(const config& cfg, const std::string& path, const std::string& body)
{
    const bool has_body = !body.empty();
    return exchange(daemon_service(cfg), has_body ? "POST" : "GET", path, body, has_body);
}

int status_line_code(std::string_view data)
{
    if (!data.starts_with("HTTP/1.0 ") && !data.starts_with("HTTP/1.1 ")) return 0;
    if (data.size() < 12) return 0;
    int code = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (data[i] < '0' || data[i] > '9') return 0;
        code = code * 10 + (data[i] - '0');
    }
    // "HTTP/1.1 2000" is no status 200.
    if (data.size() > 12 && data[12] != ' ' && data[12] != '\r') return 0;
    return code;
}

namespace {

// What one try of the probe found.
struct probe_answer {
    int status = 0;    // 0: no status line in the first piece
    std::string head;  // the first piece; with a 401 and a login to give, the whole head
};

// Reads the rest of a head whose first piece is in head (up to max_probe_head).
void read_rest_of_head(plat::socket_t s, std::string& head)
{
    char buf[1024];
    while (head.size() < max_probe_head && head.find("\r\n\r\n") == std::string::npos) {
        long long n = plat::recv_some(s, buf, sizeof buf);
        if (n <= 0) return;
        head.append(buf, static_cast<std::size_t>(n));
    }
}

probe_answer probe_once(const config& cfg, std::string_view request)
{
    plat::socket_handle s = connect_upstream(cfg.rpc_host, cfg.rpc_port, cfg.probe_timeout_ms, 0);
    if (!s.valid()) return {};
    if (plat::send_some(s.get(), request.data(), request.size()) <= 0) return {};
    char buf[256];
    long long n = plat::recv_some(s.get(), buf, 255);
    if (n <= 0) return {};
    buf[n] = 0;
    probe_answer a;
    a.head.assign(buf, std::strlen(buf));
    // Only the status line counts: "200" elsewhere (a length of 200) is no success.
    a.status = status_line_code(a.head);
    // Its challenge may lie past the first piece.
    if (a.status == 401 && cfg.rpc_login.given()) read_rest_of_head(s.get(), a.head);
    return a;
}

}  // namespace

std::string health_json(const config& cfg)
{
    static constexpr std::string_view probe_body =
        "{\"jsonrpc\":\"2.0\",\"id\":\"h\",\"method\":\"get_height\"}";
    login_tries tries(cfg.rpc_login);
    for (;;) {
        std::string request = "POST /json_rpc HTTP/1.1\r\nHost: x\r\nContent-Length: 48\r\n";
        request += tries.header("POST", "/json_rpc");
        request += "\r\n";
        request += probe_body;
        const probe_answer a = probe_once(cfg, request);
        if (a.status == 200) return "{\"status\":\"ok\"}";
        if (a.status != 401) return "{\"status\":\"unreachable\"}";
        if (!tries.again_after_401(a.head)) return "{\"status\":\"unauthorized\"}";
    }
}
