// The wallet-log answer builder on arbitrary file bytes: the first four
// bytes choose the line count and the offset, the rest are the window.
// Every answer must be well-formed JSON of the expected shape.
#include <cstdint>
#include <cstring>
#include <string>

#include "wallet_data.h"

namespace {

// Walks one JSON string starting at its opening quote; npos when malformed.
std::size_t skip_string(const std::string& s, std::size_t i)
{
    for (++i; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"') return i + 1;
        if (c < 0x20) return std::string::npos;
        if (c == '\\') {
            if (++i >= s.size() || (s[i] != '"' && s[i] != '\\')) return std::string::npos;
        }
    }
    return std::string::npos;
}

bool well_formed(const std::string& s, long long size)
{
    const std::string head = "{\"lines\":[";
    const std::string tail = "],\"file_size\":" + std::to_string(size) + "}";
    if (s.rfind(head, 0) != 0 || s.size() < head.size() + tail.size()) return false;
    if (s.compare(s.size() - tail.size(), tail.size(), tail) != 0) return false;
    std::size_t i = head.size();
    const std::size_t end = s.size() - tail.size();
    while (i < end) {
        if (s[i] != '"' || (i = skip_string(s, i)) == std::string::npos || i > end) return false;
        if (i < end && s[i++] != ',') return false;
    }
    return i == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) return 0;
    const int lines = static_cast<std::int8_t>(data[0]) * 5;
    const int offset = static_cast<std::int8_t>(data[1]) < 0 ? -1 : data[2] * 256 + data[3];
    const std::string bytes(reinterpret_cast<const char*>(data + 4), size - 4);
    const long long file_size = static_cast<long long>(bytes.size()) + (offset < 0 ? 0 : offset);
    std::string answer = log_answer(bytes, lines, offset, file_size);
    if (!well_formed(answer, file_size)) __builtin_trap();
    log_window w = choose_log_window(file_size == 0 ? 1 : file_size, offset);
    if (w.start < 0 || w.length < 0 || w.length > log_follow_window) __builtin_trap();
    return 0;
}
