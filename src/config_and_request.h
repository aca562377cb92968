// The two records every unit shares: the configuration and one request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "digest_login.h"

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

    // Time-outs in milliseconds. The program always runs with these values;
    // only tests shorten them, so that a stall costs them milliseconds.
    // A client's receive and send: a browser's request is in one piece, so
    // only a dead peer ever waits this long.
    int client_timeout_ms = 600000;
    // An upstream exchange's receive and send: a wallet busy with a large
    // wallet can take minutes to answer.
    int upstream_timeout_ms = 600000;
    // The health probe's receive and send: the page asks every few seconds
    // and wants its answer before the next question.
    int probe_timeout_ms = 1000;
    // A request must have fully arrived this long after its accept, so that
    // a client sending a byte now and then cannot hold a thread for hours;
    // a body of 32 MiB at 1 MiB/s still fits.
    int request_deadline_ms = 60000;

    // Who may use the wallet routes besides the dashboard itself and
    // clients that send no Origin (--allow-origin, --allow-host; "*" for any).
    std::vector<std::string> allow_origins;
    std::vector<std::string> allow_hosts;
    // The key a client on the network sends as X-KRV-Key; empty when only
    // this machine can connect or with lan_open (--lan-open: no key asked).
    std::string lan_key;
    bool lan_open = false;
    // This machine's name; a Host naming it, or it with .local, passes.
    std::string host_name;
    // This machine's network addresses (IPv4, not loopback): the pairing
    // addresses are made with them.
    std::vector<std::string> lan_addresses;
    // A pairing code lives this long: time to walk to the device, and no
    // more, so that an address seen later opens nothing.
    int pairing_lifetime_ms = 600000;
    // Wrong keys, tokens and pairing codes are counted per address over this
    // long, and an address that sent 20 is then refused for as long.
    int guess_window_ms = 60000;

    // Logins for the wallet RPC service and the daemon (--rpc-login,
    // --daemon-login, or their -file forms); none given by default.
    upstream_login rpc_login;
    upstream_login daemon_login;
};

// One request as read from a client: the target is kept exactly as sent.
struct http_request {
    std::string method;
    std::string path;
    std::string body;
    std::uint64_t content_length = 0;
    // The headers the access checks read, as sent (first occurrence, blanks
    // around the value removed); absent when the request had none.
    std::optional<std::string> origin;
    std::optional<std::string> host;
    std::optional<std::string> sec_fetch_site;
    std::optional<std::string> krv_key;
    std::optional<std::string> requested_with;
};
