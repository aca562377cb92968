// Upstream forwarding: one request/response exchange with the wallet RPC
// service or the daemon, over a new connection each time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "krv_webui.h"
#include "platform.h"

// Posts body to /json_rpc on host:port; the upstream body, empty when no
// complete answer came.
std::string proxy_json_rpc(const std::string& host, std::uint16_t port, const std::string& body);

// Relays path (and body, if any) to the daemon; the upstream body, empty
// when no complete answer came. A path holding a control byte is refused
// without connecting, since it could add lines to the upstream request.
std::string proxy_raw(const config& cfg, const std::string& path, const std::string& body);

// Reads one answer (head, then the body by its framing); its body, empty
// when the answer was not complete.
std::string recv_answer(plat::socket_t s);

// The response head up to and including the blank line; never takes a body
// byte. A head that does not end in CR LF CR LF was cut short.
std::string recv_headers(plat::socket_t s);

// Appends exactly count bytes to out; false when they did not all arrive
// (what did arrive stays appended).
bool recv_exact(plat::socket_t s, std::string& out, std::uint64_t count);

// Appends the decoded body of a chunked response to out; false when the
// stream ended before its last (zero-size) chunk or a size line was no number.
bool recv_chunked(plat::socket_t s, std::string& out);

// Appends a body framed by length (0: until the upstream closes) to out;
// false when an announced length did not arrive in full.
bool recv_plain_body(plat::socket_t s, std::string& out, std::uint64_t length);

// How an answer's body is framed, as its head announces it.
struct body_framing {
    bool chunked = false;
    std::uint64_t length = 0;  // 0: no length announced
};
body_framing head_framing(std::string_view head);

// How many bytes of more complete a head of which head_so_far was already
// read (up to and including CR LF CR LF); nullopt when more does not end it.
std::optional<std::size_t> head_end_in(std::string_view head_so_far, std::string_view more);

// Converts like stoull in base 10 or 16: leading white space, a sign (a
// minus wraps), a "0x" prefix in base 16, digits up to the first other
// byte; nullopt without digits (also after "0x") or beyond 64 bits.
std::optional<std::uint64_t> convert_unsigned(std::string_view text, int base);
