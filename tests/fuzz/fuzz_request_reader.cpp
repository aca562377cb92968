// The request reader on arbitrary bytes, fed whole and in pieces whose
// size the first input byte chooses: the request must be the same.
#include <cstdint>
#include <string_view>

#include "http_message.h"

namespace {

struct outcome {
    read_state state;
    http_request req;
};

outcome read(std::string_view bytes, std::size_t piece)
{
    outcome o{read_state::need_head, {}};
    request_reader r;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        o.state = feed_request(r, o.req, bytes.substr(at, piece));
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 64 + 1;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const outcome whole = read(input, input.size() + 1);
    const outcome split = read(input, piece);
    // A body is held only up to the bound and made of bytes that came.
    if (whole.req.content_length > max_request_body || whole.req.body.size() > input.size()) __builtin_trap();
    // Where a receive ended may matter in three ways only: past the head
    // limit; for bytes past the declared length, which stay only as far as
    // the piece that completed the body held them; and for a length header
    // found in body bytes that came with the head.
    const std::size_t head_end = find_head_end(input);
    const bool length_in_body = head_end != std::string_view::npos &&
                                (input.find("Content-Length:", head_end) != std::string_view::npos ||
                                 input.find("content-length:", head_end) != std::string_view::npos);
    const auto n = static_cast<std::size_t>(whole.req.content_length);
    if (input.size() <= 65536 && !length_in_body &&
        (whole.state != split.state || whole.req.method != split.req.method ||
         whole.req.path != split.req.path || whole.req.body.substr(0, n) != split.req.body.substr(0, n) ||
         whole.req.content_length != split.req.content_length))
        __builtin_trap();
    return 0;
}
