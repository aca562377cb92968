#include "http_message.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "ascii.h"
#include "number_rules.h"

namespace {

constexpr std::size_t request_block = 8192;
// A head whose blank line has not come once this much is held is refused.
constexpr std::size_t max_head = 65536;
// Room for every head but the content type: the fixed lines, a reason, two numbers.
constexpr std::size_t head_room = 256;

const char* reason_phrase(int status)
{
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

void append_head(std::string& out, int status, std::string_view content_type, std::uint64_t body_length,
                 std::string_view extra_headers, std::string_view allowed_headers = "Content-Type")
{
    char number[24];
    out += "HTTP/1.1 ";
    out.append(number, std::to_chars(number, number + sizeof number, status).ptr);
    out += ' ';
    out += reason_phrase(status);
    out += "\r\nContent-Type: ";
    out += content_type;
    out += "\r\nContent-Length: ";
    out.append(number, std::to_chars(number, number + sizeof number, body_length).ptr);
    out +=
        "\r\n"
        "Access-Control-Allow-Origin: *\r\n"
        "Access-Control-Allow-Headers: ";
    out += allowed_headers;
    out +=
        "\r\n"
        "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n";
    out += extra_headers;
    out +=
        "Connection: close\r\n"
        "\r\n";
}

// The head is complete: splits the request line and takes the length;
// the bytes after the blank line begin the body.
read_state take_head(const std::string& data, std::size_t head_end, http_request& req)
{
    std::size_t line_end = data.find("\r\n");
    std::size_t sp1 = data.find(' ');
    if (sp1 >= line_end) return read_state::refused;
    std::size_t sp2 = data.find(' ', sp1 + 1);
    if (sp2 >= line_end) return read_state::refused;
    // The length is looked for in everything held, as the head's own text.
    auto length = declared_length(data);
    if (!length) return read_state::refused;

    req.method = data.substr(0, sp1);
    req.path = data.substr(sp1 + 1, sp2 - sp1 - 1);
    req.content_length = *length;
    const std::string_view head = std::string_view(data).substr(0, head_end);
    for (auto [name, field] :
         {std::pair{"Origin", &req.origin}, std::pair{"Host", &req.host},
          std::pair{"Sec-Fetch-Site", &req.sec_fetch_site}, std::pair{"X-KRV-Key", &req.krv_key},
          std::pair{"X-Requested-With", &req.requested_with}})
        if (auto value = header_value(head, name)) *field = std::string(*value);
    req.body = data.substr(head_end);
    return req.body.size() < req.content_length ? read_state::need_body : read_state::complete;
}

// What one receive brought.
enum class received {
    bytes,          // fed to the reader
    ended,          // a close, an error or the socket's own time-out
    past_deadline,  // a time-out cut short to the request's deadline
};

received receive_more(plat::socket_t client, request_reader& r, http_request& req, const read_bounds& bounds)
{
    char buf[request_block];
    const long long n = plat::recv_some(client, buf, sizeof buf);
    if (n > 0) {
        feed_request(r, req, std::string_view(buf, static_cast<std::size_t>(n)));
        return received::bytes;
    }
    const bool cut_short = r.timeout_ms != 0 && r.timeout_ms < bounds.receive_timeout_ms;
    return n < 0 && cut_short && plat::last_error_timed_out() ? received::past_deadline : received::ended;
}

// More is to come: it may wait no longer than what is left of the
// deadline; false when nothing is left.
bool shorten_to_deadline(plat::socket_t client, request_reader& r, const read_bounds& bounds)
{
    using std::chrono::steady_clock;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(bounds.deadline - steady_clock::now()).count();
    if (left <= 0) return false;
    // The caller set the bounds' time-out on the socket for the first receive.
    const int current = r.timeout_ms != 0 ? r.timeout_ms : bounds.receive_timeout_ms;
    if (left >= current) return true;
    r.timeout_ms = static_cast<int>(left);
    return plat::set_recv_timeout(client, r.timeout_ms);
}

}  // namespace

std::size_t find_head_end(std::string_view data, std::size_t known)
{
    // The blank line may begin in the three bytes before the new ones.
    std::size_t from = known < 3 ? 0 : known - 3;
    std::size_t pos = data.find("\r\n\r\n", from);
    return pos == std::string_view::npos ? pos : pos + 4;
}

std::optional<std::uint64_t> declared_length(std::string_view data)
{
    // The exact-case name is looked for everywhere before the lower-case one.
    std::size_t h = data.find("Content-Length:");
    if (h == std::string_view::npos) h = data.find("content-length:");
    if (h == std::string_view::npos) return 0;
    std::size_t start = h + 15;
    std::size_t end = data.find("\r\n", h);
    if (end == std::string_view::npos) end = data.size();
    auto value = convert_length_value(data.substr(start, end > start ? end - start : 0));
    // A length that does not convert, or one beyond the body bound, is refused.
    if (!value || *value > max_request_body) return std::nullopt;
    return *value;
}

std::optional<std::string_view> header_value(std::string_view head, std::string_view name)
{
    auto is_blank = [](char c) { return c == ' ' || c == '\t'; };
    // Header lines follow the request line; the blank line ends them.
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos && at + 2 < head.size();) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end - start);
        at = end;
        if (line.size() <= name.size() || line[name.size()] != ':') continue;
        if (!starts_with_any_case(line, name)) continue;
        std::string_view value = line.substr(name.size() + 1);
        while (!value.empty() && is_blank(value.front()))
            value.remove_prefix(1);
        while (!value.empty() && is_blank(value.back()))
            value.remove_suffix(1);
        return value;
    }
    return std::nullopt;
}

read_state feed_request(request_reader& r, http_request& req, std::string_view bytes)
{
    switch (r.state) {
        case read_state::need_head: {
            const std::size_t searched = r.head.size();
            r.head.append(bytes);
            std::size_t end = find_head_end(r.head, searched);
            if (end != std::string::npos) {
                r.state = take_head(r.head, end, req);
                r.head = std::string();
            } else if (r.head.size() > max_head) {
                r.state = read_state::refused;
            }
            break;
        }
        case read_state::need_body:
            req.body.append(bytes);
            if (req.body.size() >= req.content_length) r.state = read_state::complete;
            break;
        case read_state::complete:
        case read_state::refused:
            break;
    }
    return r.state;
}

bool read_request_head(plat::socket_t client, request_reader& r, http_request& req, const read_bounds& bounds)
{
    while (r.state == read_state::need_head) {
        if (receive_more(client, r, req, bounds) != received::bytes) return false;
        if (r.state == read_state::need_head && !shorten_to_deadline(client, r, bounds)) return false;
    }
    return r.state != read_state::refused;
}

bool read_request_body(plat::socket_t client, request_reader& r, http_request& req, const read_bounds& bounds,
                       body_reservation& body)
{
    // The body's memory is taken before its bytes come.
    if (!body.take(req.content_length)) return false;
    req.body.reserve(static_cast<std::size_t>(req.content_length));
    while (r.state == read_state::need_body) {
        if (!shorten_to_deadline(client, r, bounds)) return false;
        const received got = receive_more(client, r, req, bounds);
        if (got == received::past_deadline) return false;
        // A close, an error or the socket's own time-out: the request goes
        // on with the body bytes that arrived.
        if (got == received::ended) return true;
    }
    return r.state == read_state::complete;
}

bool parse_request(plat::socket_t client, http_request& req, const read_bounds& bounds,
                   body_reservation& body)
{
    request_reader reader;
    return read_request_head(client, reader, req, bounds) &&
           read_request_body(client, reader, req, bounds, body);
}

std::string http_response_head(int status, std::string_view content_type, std::uint64_t body_length,
                               std::string_view extra_headers)
{
    std::string head;
    head.reserve(head_room + content_type.size() + extra_headers.size());
    append_head(head, status, content_type, body_length, extra_headers);
    return head;
}

std::string http_preflight_response(std::string_view allowed_headers)
{
    std::string message;
    append_head(message, 200, "text/plain", 0, {}, allowed_headers);
    return message;
}

std::string http_response(int status, std::string_view content_type, std::string_view body,
                          std::string_view extra_headers)
{
    // Sized once, so the body is copied once and the head never moves.
    std::string message;
    message.reserve(head_room + content_type.size() + extra_headers.size() + body.size());
    append_head(message, status, content_type, body.size(), extra_headers);
    message += body;
    return message;
}
