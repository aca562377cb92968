// Upstream exchanges: the JSON-RPC and path forwarding to the wallet RPC
// service and the daemon, and the health probe; one new connection each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config_and_request.h"
#include "platform.h"

// Posts body to /json_rpc on host:port; the upstream body, empty when no
// complete answer came. timeout_ms bounds each receive and send.
std::string proxy_json_rpc(const std::string& host, std::uint16_t port, const std::string& body,
                           int timeout_ms);

// True when a path may be sent to the daemon as a request target: a
// control byte could add lines to the upstream request.
bool forwardable_path(std::string_view path);

// Relays a forwardable path (and body, if any) to the daemon; the upstream
// body, empty when no complete answer came.
std::string proxy_raw(const config& cfg, const std::string& path, const std::string& body);

// {"status":"ok"} when the wallet RPC service answers the probe with
// status 200, otherwise {"status":"unreachable"}.
std::string health_json(const config& cfg);

// True when a status line at the start of data carries the code 200.
bool status_line_is_200(std::string_view data);

// Reads one answer (head, then the body by its framing); its body, empty
// when the answer was not complete.
std::string recv_answer(plat::socket_t s);

// The response head up to and including the blank line; never takes a body
// byte. A head that does not end in CR LF CR LF was cut short.
std::string recv_headers(plat::socket_t s);

// Appends exactly count bytes to out; false when they did not all arrive
// (what did arrive stays appended).
bool recv_exact(plat::socket_t s, std::string& out, std::uint64_t count);

// Appends the decoded body of a chunked answer to out; false when the
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

// A head is being read: head_so_far came before, more has just arrived.
// Returns how many leading bytes of more complete the head (through its
// CR LF CR LF), or nullopt when the head does not end within more.
std::optional<std::size_t> head_end_in(std::string_view head_so_far, std::string_view more);

// Decoding a chunked body as its bytes arrive, in any split.
struct chunked_decoder {
    enum class state { size_line, data, data_end, done, failed };
    state at = state::size_line;
    std::string line;             // the size line read so far
    std::uint64_t data_left = 0;  // bytes of the current chunk still due
    int end_left = 0;             // bytes after the chunk data still to pass over
};
// Decodes bytes, appending chunk data to out. Returns how many bytes it
// used: all of them, unless the last chunk's size line or a bad size line
// came first, after which the rest is left unused.
std::size_t decode_chunked(chunked_decoder& d, std::string_view bytes, std::string& out);
// Marks the current chunk's data as received (read into the body directly):
// the decoder expects the two bytes that end the chunk next.
void chunk_data_taken(chunked_decoder& d);

// A body framed by its announced length (0: the upstream's close ends it).
struct plain_decoder {
    std::uint64_t length = 0;
    std::uint64_t received = 0;
};
// Appends bytes to out; true once an announced length is complete. Bytes
// beyond it that came with the last piece stay.
bool decode_plain(plain_decoder& d, std::string_view bytes, std::string& out);

// One whole answer as the upstream sent it before closing: its body, empty
// when it was not complete. The same decoding as recv_answer, over bytes.
std::string decode_answer(std::string_view bytes);
