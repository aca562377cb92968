#include "json_text.h"

void append_json_string_content(std::string& out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 0xF];
        } else {
            out += c;
        }
    }
}
