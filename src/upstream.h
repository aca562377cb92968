// Upstream forwarding: one request/response exchange with the wallet RPC
// service or the daemon, over a new connection each time.
#pragma once

#include <cstdint>
#include <string>

#include "krv_webui.h"
#include "platform.h"

// Posts body to /json_rpc on host:port; the upstream body, empty when no
// complete answer came.
std::string proxy_json_rpc(const std::string& host, std::uint16_t port, const std::string& body);

// Relays path (and body, if any) to the daemon; the upstream body, empty
// when no complete answer came.
std::string proxy_raw(const config& cfg, const std::string& path, const std::string& body);

// The response head up to and including the blank line; never takes a body byte.
std::string recv_headers(plat::socket_t s);

// Appends exactly count bytes to out; false when they did not all arrive.
bool recv_exact(plat::socket_t s, std::string& out, std::uint64_t count);

// The decoded body of a chunked response.
std::string recv_chunked(plat::socket_t s);
