// Who may use the wallet routes (/json_rpc, /daemon_rpc, /rpc/...,
// /wallet-log, /wallets): the dashboard served here and clients that send
// no Origin, from a name this machine answers to, with the key when they
// come from the network. A foreign page, a rebinding domain and a stranger
// on the network are refused before anything reaches the wallet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config_and_request.h"

// The sentence of the 403 answer for a request from peer (IPv4, host byte
// order) that may not use the wallet routes; nullopt when it may.
std::optional<std::string_view> wallet_access_refusal(const http_request& req, std::uint32_t peer,
                                                      const config& cfg);

// True when a Host value names this server safely: a name without a dot,
// an IPv4 or bracketed IPv6 literal, a .local or .localhost name, this
// machine's name, or one that --allow-host names.
bool host_allowed(std::string_view host, const config& cfg);

// True when the request comes from the dashboard itself, from a client
// that sends neither Origin nor Sec-Fetch-Site, or from an origin that
// --allow-origin names.
bool origin_allowed(const http_request& req, const config& cfg);

// Compares a key sent with the expected one in a time that does not depend
// on where they differ.
bool keys_equal(std::string_view sent, std::string_view expected);

// A new key of 128 bits from the system's secure random source, as 32
// lower-case hex digits; empty when the source fails.
std::string new_lan_key();

// True when text may serve as a fixed key: it goes into an address's
// fragment and a header, so 16 to 128 of A-Z a-z 0-9 - _ . ~
bool valid_lan_key(std::string_view text);
