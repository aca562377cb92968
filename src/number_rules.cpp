#include "number_rules.h"

namespace {

// isspace in the "C" locale.
bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// What a scan found: the sign and the magnitude of the digits.
struct scanned {
    bool negative = false;
    std::uint64_t magnitude = 0;
};

// Scans white space, a sign, (in base 16) a "0x" prefix and the digits;
// nullopt without digits or once the magnitude passes limit.
std::optional<scanned> scan(std::string_view text, int base, std::uint64_t limit)
{
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i]))
        ++i;
    scanned s;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) s.negative = text[i++] == '-';
    // A "0x" with no digit after it is no number.
    if (base == 16 && i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    const auto b = static_cast<std::uint64_t>(base);
    const std::size_t first = i;
    for (; i < text.size() && digit_value(text[i]) < base; ++i) {
        const auto d = static_cast<std::uint64_t>(digit_value(text[i]));
        if (s.magnitude > (limit - d) / b) return std::nullopt;
        s.magnitude = s.magnitude * b + d;
    }
    if (i == first) return std::nullopt;
    return s;
}

}  // namespace

std::optional<int> convert_int(std::string_view text)
{
    // 2147483648 is allowed through the scan: negated it is INT_MIN.
    auto s = scan(text, 10, 2147483648ull);
    if (!s || (!s->negative && s->magnitude > 2147483647ull)) return std::nullopt;
    const auto value = static_cast<long long>(s->magnitude);
    return static_cast<int>(s->negative ? -value : value);
}

std::optional<long long> convert_int64(std::string_view text)
{
    // 2^63 is allowed through the scan: negated it is the int64 minimum.
    auto s = scan(text, 10, 9223372036854775808ull);
    if (!s || (!s->negative && s->magnitude > 9223372036854775807ull)) return std::nullopt;
    if (s->negative) return static_cast<long long>(0 - s->magnitude);
    return static_cast<long long>(s->magnitude);
}

std::optional<std::uint32_t> convert_length_value(std::string_view text)
{
    auto s = scan(text, 10, 0xFFFFFFFFull);
    if (!s) return std::nullopt;
    const auto v = static_cast<std::uint32_t>(s->magnitude);
    return s->negative ? static_cast<std::uint32_t>(0u - v) : v;
}

std::optional<std::uint64_t> convert_unsigned(std::string_view text, int base)
{
    auto s = scan(text, base, UINT64_MAX);
    if (!s) return std::nullopt;
    return s->negative ? 0 - s->magnitude : s->magnitude;
}
