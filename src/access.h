// Who may use the guarded routes: the wallet's (/json_rpc, /daemon_rpc,
// /rpc/..., /wallet-log, /wallets), the Devices card's (/devices...) and
// the trade of a pairing code (/pair). The dashboard served here, clients
// on this machine, paired devices and clients with the key get in. A
// foreign page, a rebinding name, a page that reaches this machine by its
// own name, a stranger on the network and a guesser are refused from the
// request's head alone, before anything reaches the wallet.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "config_and_request.h"
#include "shared_limits.h"

enum class guarded_route {
    wallet,   // reaches the wallet, the daemon or the user's files
    devices,  // lists, pairs and forgets devices: this machine only
    pairing,  // trades a code for a device token: the code is the credential
};

// A 403 answer instead of the route's.
struct refusal {
    std::string_view sentence;
    // The client is not paired, or its token or key is of no use: the page
    // drops what it sent and says how to pair.
    bool pairing_needed = false;
};

// How a Host value (with or without its port) names this server.
enum class host_kind {
    local,     // empty, localhost, *.localhost, an IPv4 or bracketed IPv6 literal
    own_name,  // this machine's name (also with .local), or one --allow-host names
    foreign,   // any other name: whoever answers for it could rebind it here
};
host_kind classify_host(std::string_view host, const config& cfg);

// True when the request comes from the dashboard itself, from a client
// that sends neither Origin nor Sec-Fetch-Site, or from an origin that
// --allow-origin names.
bool origin_allowed(const http_request& req, const config& cfg);

// For any request from a locked address; nullopt for every other one.
std::optional<refusal> lock_refusal(std::uint32_t peer, const shared_limits& limits, std::int64_t now_ms);

// The refusal of a request for a guarded route from peer (IPv4, host byte
// order), decided from its head; nullopt when it may go on. A wrong key or
// token from the network counts toward its address's lock.
std::optional<refusal> guarded_refusal(const http_request& req, std::uint32_t peer, guarded_route route,
                                       const config& cfg, shared_limits& limits);

// The answer to a pairing code that opens nothing (unknown, used, expired):
// it counts like a wrong key, and locks the address at the bound.
refusal wrong_code_refusal(std::uint32_t peer, const config& cfg, shared_limits& limits);

// The request headers a preflight allows: Content-Type, and for an origin
// that --allow-origin names also X-KRV-Key and X-Requested-With.
std::string_view preflight_allowed_headers(const http_request& req, const config& cfg);

// Compares a key sent with the expected one in a time that does not depend
// on where they differ.
bool keys_equal(std::string_view sent, std::string_view expected);

// True when text may serve as a fixed key: it goes into a header, so 22 to
// 128 of A-Z a-z 0-9 - _ . ~, with at least 10 different ones.
bool valid_lan_key(std::string_view text);
