#include "access.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "ascii.h"
#include "platform.h"

namespace {

constexpr std::string_view wrong_host =
    "This server does not answer for that host name: open the address shown in the server's banner, "
    "or start the server with --allow-host NAME for the name you use.";
constexpr std::string_view foreign_page =
    "Web pages from other sites may not use the wallet: open the address shown in the server's banner, "
    "or start the server with --allow-origin ORIGIN for a page you trust.";
constexpr std::string_view not_paired =
    "This device is not paired: open a pairing address from the server's banner, or from Pair a device in "
    "the Devices card of the dashboard on the server's computer, or start the server with --lan-open.";
constexpr std::string_view header_needed =
    "A request by host name needs the header X-Requested-With, which the dashboard sends: add it to your "
    "script, or use the address 127.0.0.1 or localhost.";
constexpr std::string_view locked =
    "This address is locked for a minute: it sent 20 wrong keys or pairing codes within a minute.";
constexpr std::string_view devices_here_only =
    "Only the computer that runs krv-webui can pair and forget devices: open the dashboard there.";
constexpr std::string_view code_used =
    "This pairing address was already used or has expired: on the computer that runs krv-webui, choose Pair "
    "a device in the dashboard's Devices card for a new one.";

// True when list holds "*" or text in any letter case.
bool named(const std::vector<std::string>& list, std::string_view text)
{
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& item) { return item == "*" || equal_any_case(item, text); });
}

// A bracketed IPv6 literal with or without its port.
bool bracketed_ipv6(std::string_view host)
{
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos || (close + 1 < host.size() && host[close + 1] != ':')) return false;
    return plat::is_ipv6_literal(std::string(host.substr(1, close - 1)));
}

enum class credential { none, valid, wrong };

// What the request's X-KRV-Key is: the fixed key, a paired device's token
// (which notes the device as seen), or neither.
credential sent_credential(const http_request& req, std::uint32_t peer, const config& cfg,
                           shared_limits& limits)
{
    if (!req.krv_key || req.krv_key->empty()) return credential::none;
    if (!cfg.lan_key.empty() && keys_equal(*req.krv_key, cfg.lan_key)) return credential::valid;
    return device_token_valid(limits.devices, *req.krv_key, peer, pairing_now()) ? credential::valid
                                                                                 : credential::wrong;
}

// Counts a wrong key, token or code from peer; the lock's refusal when the
// address is locked now (or cannot be counted), with one console line for
// the lock.
std::optional<refusal> count_guess(std::uint32_t peer, const config& cfg, shared_limits& limits)
{
    const pairing_clock now = pairing_now();
    const guess_outcome outcome = note_wrong_key(limits, peer, now.steady_ms, cfg.guess_window_ms);
    if (outcome == guess_outcome::counted) return std::nullopt;
    if (outcome == guess_outcome::locked) {
        const std::string line = plat::local_time_text(now.wall_ms / 1000) + "  " + ipv4_text(peer) +
                                 " locked for a minute: 20 wrong keys or pairing codes within a minute\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    return refusal{locked};
}

}  // namespace

host_kind classify_host(std::string_view host, const config& cfg)
{
    if (host.empty()) return host_kind::local;
    if (host.front() == '[') return bracketed_ipv6(host) ? host_kind::local : host_kind::foreign;
    const std::string_view name = host.substr(0, host.rfind(':'));
    // Names a browser only ever resolves to this machine, and addresses, which no one can rebind.
    if (equal_any_case(name, "localhost") || ends_with_any_case(name, ".localhost") ||
        plat::is_ipv4_literal(std::string(name)))
        return host_kind::local;
    const bool own = !cfg.host_name.empty() &&
                     (equal_any_case(name, cfg.host_name) || equal_any_case(name, cfg.host_name + ".local"));
    return own || named(cfg.allow_hosts, name) ? host_kind::own_name : host_kind::foreign;
}

bool origin_allowed(const http_request& req, const config& cfg)
{
    if (req.origin) {
        // The dashboard's own requests: its origin is the address it was loaded from.
        const bool own = req.host && equal_any_case(*req.origin, "http://" + *req.host);
        if (!own && !named(cfg.allow_origins, *req.origin)) return false;
    }
    // A request a browser made for another site, also one without Origin
    // (a plain link or image): only "*" lets it through.
    if (req.sec_fetch_site && *req.sec_fetch_site != "same-origin" && *req.sec_fetch_site != "none")
        return req.origin ? named(cfg.allow_origins, *req.origin) : named(cfg.allow_origins, "*");
    return true;
}

std::optional<refusal> lock_refusal(std::uint32_t peer, const shared_limits& limits, std::int64_t now_ms)
{
    if (address_locked(limits, peer, now_ms)) return refusal{locked};
    return std::nullopt;
}

std::optional<refusal> guarded_refusal(const http_request& req, std::uint32_t peer, guarded_route route,
                                       const config& cfg, shared_limits& limits)
{
    const host_kind host = req.host ? classify_host(*req.host, cfg) : host_kind::local;
    if (host == host_kind::foreign) return refusal{wrong_host};
    if (!origin_allowed(req, cfg)) return refusal{foreign_page};
    const bool network = !is_loopback(peer);
    if (route == guarded_route::devices && network) return refusal{devices_here_only};
    const credential sent = sent_credential(req, peer, cfg, limits);
    if (sent == credential::wrong && network && !cfg.lan_open) {
        if (auto refused = count_guess(peer, cfg, limits)) return refused;
    }
    // A page that reaches this machine by its own name may be anyone's
    // (an <img> sends no Origin); only the page's own scripts add this header.
    if (host == host_kind::own_name && !req.requested_with && sent != credential::valid)
        return refusal{header_needed};
    if (route == guarded_route::wallet && network && !cfg.lan_open && sent != credential::valid)
        return refusal{not_paired, true};
    return std::nullopt;
}

refusal wrong_code_refusal(std::uint32_t peer, const config& cfg, shared_limits& limits)
{
    if (!is_loopback(peer)) {
        if (auto refused = count_guess(peer, cfg, limits)) return *refused;
    }
    return refusal{code_used};
}

std::string_view preflight_allowed_headers(const http_request& req, const config& cfg)
{
    if (req.origin && named(cfg.allow_origins, *req.origin))
        return "Content-Type, X-KRV-Key, X-Requested-With";
    return "Content-Type";
}

bool keys_equal(std::string_view sent, std::string_view expected)
{
    if (sent.size() != expected.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(sent[i] ^ expected[i]);
    return diff == 0;
}

bool valid_lan_key(std::string_view text)
{
    auto allowed = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.' || c == '~';
    };
    if (text.size() < 22 || text.size() > 128 || !std::all_of(text.begin(), text.end(), allowed))
        return false;
    std::array<bool, 256> seen{};
    int different = 0;
    for (char c : text)
        if (!std::exchange(seen[static_cast<unsigned char>(c)], true)) ++different;
    return different >= 10;
}
