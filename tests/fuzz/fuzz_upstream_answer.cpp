// The upstream answer decoding (head, then a chunked or plain body) on
// arbitrary bytes from an upstream that then closes; the chunked decoder
// is also fed in pieces whose size the first input byte chooses.
#include <cstdint>
#include <string>
#include <string_view>

#include "upstream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 64 + 1;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    // The body is made only of bytes that came after the head.
    if (decode_answer(input).size() > input.size()) __builtin_trap();

    chunked_decoder whole, split;
    std::string whole_body, split_body;
    const std::size_t used = decode_chunked(whole, input, whole_body);
    std::size_t split_used = 0;
    for (std::size_t at = 0; at < input.size(); at += piece)
        split_used += decode_chunked(split, input.substr(at, piece), split_body);
    if (whole.at != split.at || whole_body != split_body || used != split_used || used > input.size())
        __builtin_trap();
    return 0;
}
