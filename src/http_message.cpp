#include "http_message.h"

#include <charconv>

namespace {

constexpr std::size_t recv_block = 8192;
// A head whose blank line has not come once this much is held is refused.
constexpr std::size_t max_head = 65536;

bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

// Receives into buf and appends to out; false when the peer closed, failed
// or timed out. An interrupted receive is retried.
bool receive_more(plat::socket_t s, std::string& out)
{
    char buf[recv_block];
    for (;;) {
        long long n = plat::recv_some(s, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && plat::classify_error(plat::last_socket_error()) == plat::error_class::interrupted)
            continue;
        return false;
    }
}

// Room for every head but the content type: the fixed lines, a reason, two numbers.
constexpr std::size_t head_room = 256;

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

}  // namespace

std::size_t find_head_end(std::string_view data)
{
    std::size_t pos = data.find("\r\n\r\n");
    return pos == std::string_view::npos ? pos : pos + 4;
}

std::optional<std::uint32_t> convert_length_value(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
    auto v = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - v) : v;
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
    if (!value || *value > max_request_body) return std::nullopt;
    return *value;
}

bool parse_request(plat::socket_t client, http_request& req)
{
    std::string data;
    std::size_t head_end = std::string::npos;
    while (head_end == std::string::npos) {
        std::size_t searched = data.size() < 3 ? 0 : data.size() - 3;
        if (!receive_more(client, data)) return false;
        // Only the new bytes (and the three before them) can complete the blank line.
        std::size_t pos = find_head_end(std::string_view(data).substr(searched));
        if (pos != std::string::npos) {
            head_end = searched + pos;
        } else if (data.size() > max_head) {
            return false;
        }
    }

    std::size_t line_end = data.find("\r\n");
    std::size_t sp1 = data.find(' ');
    if (sp1 >= line_end) return false;
    std::size_t sp2 = data.find(' ', sp1 + 1);
    if (sp2 >= line_end) return false;

    auto length = declared_length(data);
    // A length that does not convert, or one beyond the body bound, is refused.
    if (!length) return false;

    req.method = data.substr(0, sp1);
    req.path = data.substr(sp1 + 1, sp2 - sp1 - 1);
    req.content_length = *length;
    req.body = data.substr(head_end);
    while (req.body.size() < req.content_length) {
        if (!receive_more(client, req.body)) break;
    }
    return true;
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
