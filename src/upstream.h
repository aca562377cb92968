// Upstream exchanges: the JSON-RPC and path forwarding to the wallet RPC
// service and the daemon, and the health probe; one new connection each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config_and_request.h"
#include "digest_login.h"
#include "platform.h"

// Where one upstream service is, how long each receive and send may wait,
// and the login it may ask for.
struct upstream_service {
    const std::string& host;
    std::uint16_t port;
    int timeout_ms;
    const upstream_login& login;
};
upstream_service wallet_service(const config& cfg);
upstream_service daemon_service(const config& cfg);

// What a relayed request came back with.
struct relay_result {
    std::string body;            // the answer's body; empty when no complete answer came
    bool login_refused = false;  // the service answered 401 and no login got through
};

// Posts body to /json_rpc on the service.
relay_result proxy_json_rpc(const upstream_service& service, const std::string& body);

// True when a path may be sent to the daemon as a request target: a
// control byte could add lines to the upstream request.
bool forwardable_path(std::string_view path);

// Relays a forwardable path (and body, if any) to the daemon.
relay_result proxy_raw(const config& cfg, const std::string& path, const std::string& body);

// {"status":"ok"} when the wallet RPC service answers the probe with
// status 200, {"status":"unauthorized"} when it answers 401 and no login
// got through, otherwise {"status":"unreachable"}.
std::string health_json(const config& cfg);

// The status code of a status line at the start of data ("HTTP/1.0 " or
// "HTTP/1.1 " and three digits); 0 when there is none.
int status_line_code(std::string_view data);

// Reads one answer (head, then the body by its framing); its body, empty
// when the answer was not complete.
std::string recv_answer(plat::socket_t s);

// Reads the body that follows head by its framing; empty unless complete.
std::string recv_body(plat::socket_t s, std::string_view head);

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
    enum class kind {
        until_close,  // no length: the upstream's close ends it
        length,       // Content-Length (the first one, any letter case)
        chunked,      // Transfer-Encoding: chunked, which wins over a length
        none,         // status 204 or 304, or Content-Length: 0: ends with the head
    };
    kind how = kind::until_close;
    std::uint64_t length = 0;  // with kind::length
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

// A body being decoded by its framing, as its bytes arrive.
struct body_decoder {
    body_framing framing;
    chunked_decoder chunked{};
    plain_decoder plain{};
};
body_decoder start_body(std::string_view head);
// Takes the next bytes of the body; how many it used (a chunked body
// leaves what follows its last chunk).
std::size_t decode_body(body_decoder& d, std::string_view bytes, std::string& out);
// True once the body is complete without waiting for the upstream's close.
bool body_done(const body_decoder& d);
// The body when reading has stopped (a close, an error, a stall): whole
// if done, or if only the close could end it; otherwise empty.
std::string finished_body(const body_decoder& d, std::string body);

// One whole answer as the upstream sent it before closing: its body, empty
// when it was not complete. recv_answer's steps, over bytes.
std::string decode_answer(std::string_view bytes);
