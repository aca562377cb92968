// Types and limits shared by every unit of the server.
#pragma once

#include <cstdint>
#include <string>

// Time-outs can be shortened at build time for the test build only;
// the shipped program always uses these values.
#ifndef KRV_CLIENT_TIMEOUT_MS
#define KRV_CLIENT_TIMEOUT_MS 600000
#endif
#ifndef KRV_UPSTREAM_TIMEOUT_MS
#define KRV_UPSTREAM_TIMEOUT_MS 600000
#endif
#ifndef KRV_PROBE_TIMEOUT_MS
#define KRV_PROBE_TIMEOUT_MS 1000
#endif

// Receive and send time-out of a client connection.
inline constexpr int client_timeout_ms = KRV_CLIENT_TIMEOUT_MS;
// Receive and send time-out of an upstream exchange.
inline constexpr int upstream_timeout_ms = KRV_UPSTREAM_TIMEOUT_MS;
// Receive and send time-out of the health probe.
inline constexpr int probe_timeout_ms = KRV_PROBE_TIMEOUT_MS;

// Largest request body accepted; a larger declared length is refused.
inline constexpr std::uint64_t max_request_body = 32u * 1024 * 1024;

// The runtime configuration: filled by main before the first accept,
// read-only afterwards from every connection thread.
struct config {
    std::string bind_host = "0.0.0.0";
    std::uint16_t port = 8880;
    std::string rpc_host = "127.0.0.1";
    std::uint16_t rpc_port = 18083;
    std::uint16_t daemon_port = 18831;
    std::string web_dir;
    std::string wallet_log;
    std::string wallet_dir;
};

// One request as read from a client: the target is kept exactly as sent.
struct http_request {
    std::string method;
    std::string path;
    std::string body;
    std::uint64_t content_length = 0;
};
