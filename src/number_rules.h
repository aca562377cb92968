// Numbers read the way the C library reads them (strtol and its kin):
// leading white space, an optional sign, digits up to the first byte that
// is not one, anything after them ignored. The command line, the request
// reader, the log query and the upstream framing all follow these rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Like stoi in base 10: nullopt without digits or outside the int32 range.
std::optional<int> convert_int(std::string_view text);

// Like stoll in base 10: nullopt without digits or outside the int64 range.
std::optional<long long> convert_int64(std::string_view text);

// Like strtoul in base 10 with a 32-bit result ("-1" wraps to 4294967295):
// nullopt without digits or when the magnitude does not fit 32 bits.
std::optional<std::uint32_t> convert_length_value(std::string_view text);

// Like stoull in base 10 or 16 (a "0x" prefix allowed in base 16; a minus
// wraps): nullopt without digits, also after "0x", or beyond 64 bits.
std::optional<std::uint64_t> convert_unsigned(std::string_view text, int base);
