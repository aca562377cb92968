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
        default:
            return "Error";
    }
}

void append_head(std::string& out, int status, std::string_view content_type, std::uint64_t body_length,
                 std::string_view extra_headers)
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
        "Access-Control-Allow-Headers: Content-Type\r\n"
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
          std::pair{"Sec-Fetch-Site", &req.sec_fetch_site}, std::pair{"X-KRV-Key", &req.krv_key}})
        if (auto value = header_value(head, name)) *field = std::string(*value);
    req.body = data.substr(head_end);
    return req.body.size() < req.content_length ? read_state::need_body : read_state::complete;
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

bool parse_request(plat::socket_t client, http_request& req, const read_bounds& bounds,
                   body_reservation& body)
{
    using std::chrono::steady_clock;
    request_reader reader;
    // The caller set this time-out on the socket for the first receive.
    int timeout_ms = bounds.receive_timeout_ms;
    char buf[request_block];
    for (;;) {
        long long n = plat::recv_some(client, buf, sizeof buf);
        if (n <= 0) {
            // A time-out cut short to the deadline: no reply. A close, an
            // error or the socket's own time-out: a request whose head came
            // goes on with the body bytes that arrived.
            if (n < 0 && timeout_ms < bounds.receive_timeout_ms && plat::last_error_timed_out()) return false;
            return reader.state == read_state::need_body;
        }
        const read_state before = reader.state;
        const read_state now = feed_request(reader, req, std::string_view(buf, static_cast<std::size_t>(n)));
        if (before == read_state::need_head &&
            (now == read_state::need_body || now == read_state::complete)) {
            // The head is in: the body's memory is taken before its bytes come.
            if (!body.take(req.content_length)) return false;
            req.body.reserve(static_cast<std::size_t>(req.content_length));
        }
        if (now == read_state::complete) return true;
        if (now == read_state::refused) return false;
        // More is to come: it may wait no longer than what is left of the deadline.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(bounds.deadline - steady_clock::now())
                .count();
        if (left <= 0) return false;
        if (left < timeout_ms) {
            timeout_ms = static_cast<int>(left);
            if (!plat::set_recv_timeout(client, timeout_ms)) return false;
        }
    }
}

std::string http_response_head(int status, std::string_view content_type, std::uint64_t body_length,
                               std::string_view extra_headers)
{
    std::string head;
    head.reserve(head_room + content_type.size() + extra_headers.size());
    append_head(head, status, content_type, body_length, extra_headers);
    return head;
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
