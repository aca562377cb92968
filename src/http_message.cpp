#include "http_message.h"

#include <charconv>

#include "number_rules.h"

namespace {

constexpr std::size_t recv_block = 8192;
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
        case 404:
            return "Not Found";
        case 502:
            return "Bad Gateway";
        default:
            return "Error";
    }
}

void append_head(std::string& out, int status, std::string_view content_type, std::uint64_t body_length)
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
        "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
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

bool parse_request(plat::socket_t client, http_request& req)
{
    request_reader reader;
    char buf[recv_block];
    for (;;) {
        long long n = plat::recv_some(client, buf, sizeof buf);
        // A close, an error or a time-out: a request whose head came goes
        // on with the body bytes that arrived.
        if (n <= 0) return reader.state == read_state::need_body;
        switch (feed_request(reader, req, std::string_view(buf, static_cast<std::size_t>(n)))) {
            case read_state::need_head:
            case read_state::need_body:
                continue;
            case read_state::complete:
                return true;
            case read_state::refused:
                return false;
        }
    }
}

std::string http_response_head(int status, std::string_view content_type, std::uint64_t body_length)
{
    std::string head;
    head.reserve(head_room + content_type.size());
    append_head(head, status, content_type, body_length);
    return head;
}

std::string http_response(int status, std::string_view content_type, std::string_view body)
{
    // Sized once, so the body is copied once and the head never moves.
    std::string message;
    message.reserve(head_room + content_type.size() + body.size());
    append_head(message, status, content_type, body.size());
    message += body;
    return message;
}
