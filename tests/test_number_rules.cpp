#include "number_rules.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(ConvertInt, LikeStoi)
{
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"42", 42},
        {"42&offset=10", 42},
        {" \t\n12", 12},
        {"+7", 7},
        {"-3", -3},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"0000000000000000000042", 42},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"- 1", std::nullopt},
        {"+", std::nullopt},
        {"0x10", 0},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(convert_int(text), expected) << text;
}

TEST(ContentLengthValue, ConvertsLikeStrtoulWithA32BitResult)
{
    const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
        {"42", 42u},
        {" 12", 12u},
        {"42abc", 42u},
        {"+5", 5u},
        {"-1", 4294967295u},
        {"4294967295", 4294967295u},
        {"\t7\r", 7u},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"-", std::nullopt},
        {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(convert_length_value(text), expected) << text;
}

TEST(ConvertUnsigned, LikeStoull)
{
    const std::optional<std::uint64_t> none;
    struct row {
        const char* text;
        int base;
        std::optional<std::uint64_t> value;
    };
    const row rows[] = {
        {"42", 10, 42},
        {"\t\r\n\v\f 7\r\nX-Next: 1", 10, 7},
        {"+5", 10, 5},
        {"-1", 10, UINT64_MAX},
        {"-0", 10, 0},
        {"12abc", 10, 12},
        {"1 2", 10, 1},
        {"000000000000000000000000001", 10, 1},
        {"18446744073709551615", 10, UINT64_MAX},
        {"-18446744073709551615", 10, 1},
        {"18446744073709551616", 10, none},
        {"-18446744073709551616", 10, none},
        {"abc", 10, none},
        {"", 10, none},
        {" ", 10, none},
        {"-", 10, none},
        {"+", 10, none},
        {"0x10", 10, 0},
        {"1A", 16, 26},
        {"1a;name=value", 16, 26},
        {"0x1A", 16, 26},
        {"0X1a", 16, 26},
        {"-0x10", 16, UINT64_MAX - 15},
        {"\n5", 16, 5},
        {"ffffffffffffffff", 16, UINT64_MAX},
        {"0x0000000000000000000001F", 16, 31},
        {"10000000000000000", 16, none},
        {"0x", 16, none},
        {"0xg", 16, none},
        {" 0x 1", 16, none},
        {"x1", 16, none},
        {"g", 16, none},
    };
    for (const auto& r : rows)
        EXPECT_EQ(convert_unsigned(r.text, r.base), r.value) << "base " << r.base << " '" << r.text << "'";
}

}  // namespace
