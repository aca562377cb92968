// The HTTP message layer: one request in, one complete response out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config_and_request.h"
#include "platform.h"
#include "shared_limits.h"

// Bounds on reading one request: the whole of it must have arrived by
// deadline, so each receive waits no longer than what is left of the time
// (and at most receive_timeout_ms, the time-out the socket already has).
struct read_bounds {
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    int receive_timeout_ms = 600000;
};

// Where reading one request stands.
enum class read_state {
    need_head,  // the blank line that ends the head has not come yet
    need_body,  // the head is read; fewer body bytes than declared so far
    complete,   // the head and at least the declared body length are read
    refused,    // no usable request: a bad request line or length, or a head too long
};

// One request being read: the bytes received until its head is complete,
// and the receive time-out the socket has now.
struct request_reader {
    std::string head;
    read_state state = read_state::need_head;
    int timeout_ms = 0;  // 0: the one of the read_bounds
};

// Reads a request's head from a client socket into req (fields are only
// assigned, never cleared), with whatever of the body came with it; false
// when no usable head could be read in time, and the caller then closes
// the socket without a reply. No body byte is waited for.
bool read_request_head(plat::socket_t client, request_reader& r, http_request& req,
                       const read_bounds& bounds);

// Reads the rest of the body after read_request_head. The body is taken
// from body at its declared length before more of it is read, and memory
// is reserved for it at once, so it costs about its own size; false when
// the reservation is refused or the body does not arrive in time.
bool read_request_body(plat::socket_t client, request_reader& r, http_request& req, const read_bounds& bounds,
                       body_reservation& body);

// Both of the above: one whole request.
bool parse_request(plat::socket_t client, http_request& req, const read_bounds& bounds,
                   body_reservation& body);

// Takes the next received bytes, in any split; assigns req's fields once
// the head is complete and appends later bytes to its body.
read_state feed_request(request_reader& r, http_request& req, std::string_view bytes);

// Where the head of the bytes received so far ends (just past the blank
// line), or npos while it is incomplete. known: how many leading bytes were
// already searched without finding it.
std::size_t find_head_end(std::string_view data, std::size_t known = 0);

// The declared body length of a complete head: 0 without a length header,
// nullopt when the value does not convert or exceeds the body bound. Only
// the two spellings Content-Length: and content-length: count, as clients
// have always been read here; other headers (header_value) match any case.
std::optional<std::uint64_t> declared_length(std::string_view head_and_more);

// The value of the first header line of a complete head whose name is
// name in any letter case, blanks around it removed; nullopt without one.
std::optional<std::string_view> header_value(std::string_view head, std::string_view name);

// The complete response: status line, the fixed headers, then the lines of
// extra_headers (each ended by CR LF) and the body.
std::string http_response(int status, std::string_view content_type, std::string_view body,
                          std::string_view extra_headers = {});

// Only the head of such a response, for a body of body_length bytes that
// the caller appends itself.
std::string http_response_head(int status, std::string_view content_type, std::uint64_t body_length,
                               std::string_view extra_headers = {});

// The answer to a preflight (OPTIONS): 200, empty, allowing the request
// headers allowed_headers (a comma-separated list).
std::string http_preflight_response(std::string_view allowed_headers);
