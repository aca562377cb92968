// The HTTP message layer: one request in, one complete response out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "krv_webui.h"
#include "platform.h"

// Reads one request from a client socket into req (fields are only
// assigned, never cleared); false when no usable request could be read,
// and the caller then closes the socket without a reply.
bool parse_request(plat::socket_t client, http_request& req);

// Where the head of accumulated request bytes ends (just past the blank
// line), or npos while it is incomplete.
std::size_t find_head_end(std::string_view data);

// The declared body length of a complete head: 0 without a length header,
// nullopt when the value does not convert or exceeds the body bound.
std::optional<std::uint64_t> declared_length(std::string_view head_and_more);

// The value text of a length header converted like strtoul in base 10 with
// a 32-bit result ("-1" wraps to 4294967295); nullopt without digits or
// when the magnitude does not fit 32 bits.
std::optional<std::uint32_t> convert_length_value(std::string_view text);

// The complete response: status line, the fixed headers and the body.
std::string http_response(int status, std::string_view content_type, std::string_view body);

// Only the head of such a response, for a body of body_length bytes that
// the caller appends itself.
std::string http_response_head(int status, std::string_view content_type, std::uint64_t body_length);
