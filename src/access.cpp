#include "access.h"

#include <algorithm>
#include <array>

#include "ascii.h"
#include "platform.h"
#include "shared_limits.h"

namespace {

constexpr std::string_view wrong_host =
    "This server does not answer for that host name: open the address shown in the server's banner, "
    "or start the server with --allow-host NAME for the name you use.";
constexpr std::string_view foreign_page =
    "Web pages from other sites may not use the wallet: open the address shown in the server's banner, "
    "or start the server with --allow-origin ORIGIN for a page you trust.";
constexpr std::string_view key_needed =
    "Another computer needs the key: open the LAN access address shown in the server's banner, which ends "
    "in #key=, or start the server with --lan-open.";

// True when list holds "*" or text in any letter case.
bool named(const std::vector<std::string>& list, std::string_view text)
{
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& item) { return item == "*" || equal_any_case(item, text); });
}

}  // namespace

bool host_allowed(std::string_view host, const config& cfg)
{
    // A bracketed IPv6 literal names an address, not a domain.
    if (host.starts_with('[')) return true;
    const std::string_view name = host.substr(0, host.rfind(':'));
    // A name without a dot never comes from the public DNS: localhost, the
    // machine's short name.
    if (name.find('.') == std::string_view::npos) return true;
    return plat::is_ipv4_literal(std::string(name)) || ends_with_any_case(name, ".local") ||
           ends_with_any_case(name, ".localhost") ||
           (!cfg.host_name.empty() && equal_any_case(name, cfg.host_name)) || named(cfg.allow_hosts, name);
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

bool keys_equal(std::string_view sent, std::string_view expected)
{
    if (sent.size() != expected.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(sent[i] ^ expected[i]);
    return diff == 0;
}

std::string new_lan_key()
{
    std::array<unsigned char, 16> bytes{};
    if (!plat::secure_random(bytes.data(), bytes.size())) return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string key;
    for (unsigned char b : bytes) {
        key += hex[b >> 4];
        key += hex[b & 0xF];
    }
    return key;
}

bool valid_lan_key(std::string_view text)
{
    return text.size() >= 16 && text.size() <= 128 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.' || c == '~';
           });
}

std::optional<std::string_view> wallet_access_refusal(const http_request& req, std::uint32_t peer,
                                                      const config& cfg)
{
    if (req.host && !host_allowed(*req.host, cfg)) return wrong_host;
    if (!origin_allowed(req, cfg)) return foreign_page;
    if (!is_loopback(peer) && !cfg.lan_open &&
        (cfg.lan_key.empty() || !req.krv_key || !keys_equal(*req.krv_key, cfg.lan_key)))
        return key_needed;
    return std::nullopt;
}
