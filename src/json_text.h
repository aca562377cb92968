// JSON text written by hand: the server builds its answers by appending
// literal pieces and escaped strings, so every string goes through here.
#pragma once

#include <string>
#include <string_view>

// Appends text as the content of a JSON string: quotation mark and
// backslash escaped, every byte below 0x20 as \u00XX, all others as they
// are. Nothing appended can end the string or make the text invalid.
void append_json_string_content(std::string& out, std::string_view text);
