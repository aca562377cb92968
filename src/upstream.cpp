#include "upstream.h"

#include <algorithm>
#include <memory>

namespace {

constexpr int upstream_recv_buffer = 8388608;
constexpr std::size_t head_reserve = 4096;
constexpr std::size_t recv_block = 65536;
constexpr std::size_t close_delimited_reserve = 262144;
constexpr std::size_t chunked_reserve = 524288;
// An announced size is only a claim: reserve no more than this ahead of data.
// Reserved pages cost no memory until data fills them, and an answer of a
// few MiB reserved whole is not copied again as it grows.
constexpr std::uint64_t announced_reserve_cap = 8388608;
constexpr std::size_t line_block = 16384;
constexpr int retry_pause_ms = 10;
constexpr int plain_body_max_waits = 99;
constexpr int exact_max_waits = 100;
constexpr int exact_max_interrupts = 1000;

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_control_byte(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
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

plat::socket_handle connect_upstream(const std::string& host, std::uint16_t port)
{
    plat::socket_handle s(plat::tcp_socket());
    if (!s.valid()) return s;
    plat::set_recv_timeout(s.get(), upstream_timeout_ms);
    plat::set_send_timeout(s.get(), upstream_timeout_ms);
    plat::set_recv_buffer(s.get(), upstream_recv_buffer);
    // A host that is no IPv4 literal is refused here without connecting.
    if (!plat::connect_ipv4(s.get(), host, port)) s.reset();
    return s;
}

std::string compose_request(std::string_view method, std::string_view target, const std::string& host,
                            std::uint16_t port, const std::string& body, bool with_length)
{
    std::string r;
    r.reserve(128 + target.size() + host.size() + body.size());
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
        r += std::to_string(body.size());
        r += "\r\n";
    }
    r += "\r\n";
    r += body;
    return r;
}

// A failed or short send is not reported: the head read then finds nothing.
void send_request(plat::socket_t s, const std::string& request)
{
    std::size_t sent = 0;
    while (sent < request.size()) {
        long long n = plat::send_some(s, request.data() + sent, request.size() - sent);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

// One request/response exchange on a new connection; the body, empty
// unless a complete answer came.
std::string exchange(const std::string& host, std::uint16_t port, const std::string& request)
{
    plat::socket_handle s = connect_upstream(host, port);
    if (!s.valid()) return {};
    send_request(s.get(), request);
    return recv_answer(s.get());
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

// Size lines and chunk ends go through a small buffer; chunk data beyond
// what it holds goes straight to recv_exact.
struct chunk_reader {
    plat::socket_t s;
    block_ptr buf;
    std::size_t pos = 0;
    std::size_t len = 0;

    std::size_t buffered() const { return len - pos; }
    bool fill()
    {
        long long n = plat::recv_some(s, buf.get(), line_block);
        if (n <= 0) return false;
        pos = 0;
        len = static_cast<std::size_t>(n);
        return true;
    }
};

// One size line without its CR LF; false when the stream ended first. A
// LF that does not follow a CR is kept as an ordinary byte.
bool read_size_line(chunk_reader& r, std::string& line)
{
    line.clear();
    for (;;) {
        if (r.buffered() == 0 && !r.fill()) return false;
        char c = r.buf[r.pos++];
        if (c == '\n' && !line.empty() && line.back() == '\r') {
            line.pop_back();
            return true;
        }
        line += c;
    }
}

// Steps over the two bytes that end chunk data, whatever they are.
void skip_chunk_end(chunk_reader& r)
{
    std::size_t skipped = std::min<std::size_t>(2, r.buffered());
    r.pos += skipped;
    if (skipped < 2 && r.fill()) r.pos = std::min(2 - skipped, r.len);
}

}  // namespace

std::optional<std::uint64_t> convert_unsigned(std::string_view text, int base)
{
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // A "0x" with no digit after it is no number: the size line is malformed.
    if (base == 16 && i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    const auto b = static_cast<std::uint64_t>(base);
    for (; i < text.size() && digit_value(text[i]) < base; ++i, ++digits) {
        auto d = static_cast<std::uint64_t>(digit_value(text[i]));
        if (value > (UINT64_MAX - d) / b) return std::nullopt;
        value = value * b + d;
    }
    if (digits == 0) return std::nullopt;
    return negative ? 0 - value : value;
}

body_framing head_framing(std::string_view head)
{
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(), lower_ascii);
    body_framing f;
    if (lower.find("transfer-encoding: chunked") != std::string::npos) {
        f.chunked = true;
        return f;
    }
    std::size_t at = lower.find("content-length:");
    if (at == std::string::npos) return f;
    at += 15;
    while (at < lower.size() && lower[at] == ' ')
        ++at;
    f.length = convert_unsigned(std::string_view(lower).substr(at), 10).value_or(0);
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
    int failures = 0;
    while (total < count) {
        // Exactly what is still due, so nothing is read into the string twice.
        long long n = receive_onto(
            s, out, static_cast<std::size_t>(std::min<std::uint64_t>(count - total, recv_block)));
        if (n > 0) {
            total += static_cast<std::uint64_t>(n);
            failures = 0;
            continue;
        }
        if (n == 0) return false;
        switch (plat::classify_error(plat::last_socket_error())) {
            case plat::error_class::interrupted:
                if (++failures > exact_max_interrupts) return false;
                break;
            case plat::error_class::would_block_or_timed_out:
                if (++failures > exact_max_waits) return false;
                plat::sleep_ms(retry_pause_ms);
                break;
            case plat::error_class::other:
                return false;
        }
    }
    return true;
}

bool recv_chunked(plat::socket_t s, std::string& out)
{
    out.reserve(out.size() + chunked_reserve);
    chunk_reader r{s, block_ptr(new char[line_block])};
    std::string line;
    for (;;) {
        if (!read_size_line(r, line)) return false;
        if (line.empty()) continue;
        auto size = convert_unsigned(line, 16);
        if (!size) return false;
        // The trailer after the last chunk is never read.
        if (*size == 0) return true;
        std::size_t from_buffer = static_cast<std::size_t>(std::min<std::uint64_t>(*size, r.buffered()));
        out.append(r.buf.get() + r.pos, from_buffer);
        r.pos += from_buffer;
        if (!recv_exact(s, out, *size - from_buffer)) return false;
        skip_chunk_end(r);
    }
}

bool recv_plain_body(plat::socket_t s, std::string& out, std::uint64_t length)
{
    reserve_ahead(out, length == 0 ? close_delimited_reserve : length);
    // Without a length only the upstream's close ends the body, so every stop counts as its end.
    const bool close_delimited = length == 0;
    block_ptr block(new char[recv_block]);
    std::uint64_t received = 0;
    int failures = 0;
    for (;;) {
        long long n = plat::recv_some(s, block.get(), recv_block);
        if (n > 0) {
            // Bytes beyond the announced length that came in the same receive stay.
            out.append(block.get(), static_cast<std::size_t>(n));
            received += static_cast<std::uint64_t>(n);
            if (!close_delimited && received >= length) return true;
            failures = 0;
            continue;
        }
        if (n == 0) return close_delimited;
        switch (plat::classify_error(plat::last_socket_error())) {
            case plat::error_class::interrupted:
                break;
            case plat::error_class::would_block_or_timed_out:
                if (++failures > plain_body_max_waits) return close_delimited;
                plat::sleep_ms(retry_pause_ms);
                break;
            case plat::error_class::other:
                return close_delimited;
        }
    }
}

std::string recv_answer(plat::socket_t s)
{
    std::string head = recv_headers(s);
    // Without the blank line the body's first byte is unknown.
    if (!head.ends_with("\r\n\r\n")) return {};
    body_framing framing = head_framing(head);
    std::string body;
    bool complete = framing.chunked ? recv_chunked(s, body) : recv_plain_body(s, body, framing.length);
    if (!complete) body.clear();
    return body;
}

std::string proxy_json_rpc(const std::string& host, std::uint16_t port, const std::string& body)
{
    return exchange(host, port, compose_request("POST", "/json_rpc", host, port, body, true));
}

std::string proxy_raw(const config& cfg, const std::string& path, const std::string& body)
{
    if (has_control_byte(path)) return {};
    const bool has_body = !body.empty();
    return exchange(
        cfg.rpc_host, cfg.daemon_port,
        compose_request(has_body ? "POST" : "GET", path, cfg.rpc_host, cfg.daemon_port, body, has_body));
}
