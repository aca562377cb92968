// Letter case in protocol text (header names, host names, origins): only
// A to Z fold, whatever the process's locale says.
#pragma once

#include <algorithm>
#include <string_view>

inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool equal_any_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
}

inline bool starts_with_any_case(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equal_any_case(text.substr(0, prefix.size()), prefix);
}

inline bool ends_with_any_case(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && equal_any_case(text.substr(text.size() - suffix.size()), suffix);
}
