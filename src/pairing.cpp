#include "pairing.h"

#include <chrono>

#include "json_text.h"
#include "platform.h"
#include "shared_limits.h"

namespace {

using secret_words = std::array<std::uint64_t, 2>;

bool random_secret(secret_words& out)
{
    std::array<unsigned char, 16> bytes{};
    if (!plat::secure_random(bytes.data(), bytes.size())) return false;
    out = {0, 0};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i / 8] = (out[i / 8] << 8) | bytes[i];
    return true;
}

std::string secret_hex(const secret_words& words)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (std::uint64_t w : words)
        for (int shift = 60; shift >= 0; shift -= 4)
            text += hex[(w >> shift) & 0xF];
    return text;
}

int hex_value(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

// 32 hex digits, either case; nullopt for anything else.
std::optional<secret_words> parse_secret(std::string_view text)
{
    if (text.size() != 32) return std::nullopt;
    secret_words words{0, 0};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int digit = hex_value(text[i]);
        if (digit < 0) return std::nullopt;
        words[i / 16] = (words[i / 16] << 4) | static_cast<std::uint64_t>(digit);
    }
    return words;
}

// Compared in a time that does not depend on where they differ.
bool secret_matches(const device_slot& slot, const secret_words& wanted)
{
    const std::uint64_t diff = (slot.secret[0].load(std::memory_order_relaxed) ^ wanted[0]) |
                               (slot.secret[1].load(std::memory_order_relaxed) ^ wanted[1]);
    return diff == 0;
}

void store_secret(device_slot& slot, const secret_words& words)
{
    slot.secret[0].store(words[0], std::memory_order_relaxed);
    slot.secret[1].store(words[1], std::memory_order_relaxed);
}

// The slot's state becomes to when it was from; true when it was.
bool move_state(device_slot& slot, int from, int to)
{
    return slot.state.compare_exchange_strong(from, to, std::memory_order_acquire);
}

// Length of the UTF-8 sequence starting at text[at] when it is valid and
// no control character; 0 otherwise.
std::size_t printable_utf8_length(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x20 || first == 0x7F) return 0;
    if (first < 0x80) return 1;
    const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC2 ? 2 : 0;
    if (length == 0 || first > 0xF4 || at + length > text.size()) return 0;
    std::uint32_t code = first & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates, beyond U+10FFFF, and the C1 controls.
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF || code < 0xA0) return 0;
    return length;
}

std::string form_decode(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

pairing_clock pairing_now()
{
    using namespace std::chrono;
    return {duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count(),
            duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()};
}

std::string new_pairing_code(device_table& table, std::string_view name, int lifetime_ms,
                             const pairing_clock& now)
{
    // One code at a time: a code shown earlier and never used opens nothing now.
    for (device_slot& slot : table.slots)
        move_state(slot, device_slot::code, device_slot::free);
    secret_words code{};
    if (!random_secret(code)) return std::string();
    for (device_slot& slot : table.slots) {
        if (!move_state(slot, device_slot::free, device_slot::writing)) continue;
        slot.id.store(table.next_id.fetch_add(1));
        store_secret(slot, code);
        slot.code_expires_ms.store(now.steady_ms + lifetime_ms);
        slot.name.store(clean_device_name(name));
        slot.state.store(device_slot::code, std::memory_order_release);
        return secret_hex(code);
    }
    return std::string();
}

std::optional<paired_device> trade_pairing_code(device_table& table, std::string_view code,
                                                std::string_view device_name, std::uint32_t peer,
                                                const pairing_clock& now)
{
    const auto wanted = parse_secret(code);
    if (!wanted) return std::nullopt;
    for (device_slot& slot : table.slots) {
        if (slot.state.load(std::memory_order_acquire) != device_slot::code || !secret_matches(slot, *wanted))
            continue;
        // Two devices with the same code at once: one of them gets it.
        if (!move_state(slot, device_slot::code, device_slot::writing)) return std::nullopt;
        secret_words token{};
        if (slot.code_expires_ms.load() <= now.steady_ms || !random_secret(token)) {
            slot.state.store(device_slot::free, std::memory_order_release);
            return std::nullopt;
        }
        paired_device device{secret_hex(token), slot.name.load()};
        if (device.name.empty()) device.name = clean_device_name(device_name);
        if (device.name.empty()) device.name = "Device";
        slot.id.store(table.next_id.fetch_add(1));
        store_secret(slot, token);
        slot.name.store(device.name);
        slot.paired_at_ms.store(now.wall_ms);
        slot.seen_at_ms.store(now.wall_ms);
        slot.address.store(peer);
        slot.state.store(device_slot::paired, std::memory_order_release);
        return device;
    }
    return std::nullopt;
}

bool device_token_valid(device_table& table, std::string_view text, std::uint32_t peer,
                        const pairing_clock& now)
{
    const auto wanted = parse_secret(text);
    if (!wanted) return false;
    for (device_slot& slot : table.slots) {
        if (slot.state.load(std::memory_order_acquire) != device_slot::paired) continue;
        const std::uint64_t id = slot.id.load();
        if (!secret_matches(slot, *wanted)) continue;
        // Forgotten, or forgotten and paired again, while it was compared.
        if (slot.state.load(std::memory_order_acquire) != device_slot::paired || slot.id.load() != id)
            continue;
        slot.seen_at_ms.store(now.wall_ms);
        slot.address.store(peer);
        return true;
    }
    return false;
}

std::vector<device_info> paired_devices(const device_table& table)
{
    std::vector<device_info> list;
    for (const device_slot& slot : table.slots) {
        if (slot.state.load(std::memory_order_acquire) != device_slot::paired) continue;
        device_info d{slot.id.load(), slot.name.load(), slot.paired_at_ms.load(), slot.seen_at_ms.load(),
                      slot.address.load()};
        if (slot.state.load(std::memory_order_acquire) == device_slot::paired && slot.id.load() == d.id)
            list.push_back(std::move(d));
    }
    return list;
}

int live_pairing_codes(const device_table& table, const pairing_clock& now)
{
    int count = 0;
    for (const device_slot& slot : table.slots)
        if (slot.state.load() == device_slot::code && slot.code_expires_ms.load() > now.steady_ms) ++count;
    return count;
}

bool forget_device(device_table& table, std::uint64_t id)
{
    for (device_slot& slot : table.slots)
        if (slot.id.load() == id && move_state(slot, device_slot::paired, device_slot::free)) return true;
    return false;
}

int forget_all_devices(device_table& table)
{
    int count = 0;
    for (device_slot& slot : table.slots)
        if (move_state(slot, device_slot::paired, device_slot::free)) ++count;
    return count;
}

std::vector<std::string> pairing_links(const config& cfg, std::string_view code)
{
    std::vector<std::string> links;
    for (const std::string& address : cfg.lan_addresses)
        links.push_back("http://" + address + ":" + std::to_string(cfg.port) + "/#pair=" + std::string(code));
    return links;
}

std::string clean_device_name(std::string_view text)
{
    std::string name;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = printable_utf8_length(text, at);
        if (length == 0) {
            ++at;
            continue;
        }
        if (name.size() + length > max_device_name) break;
        name.append(text.substr(at, length));
        at += length;
    }
    const std::size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return name.substr(first, name.find_last_not_of(' ') - first + 1);
}

std::optional<std::string> form_value(std::string_view body, std::string_view name)
{
    for (std::size_t at = 0; at <= body.size();) {
        std::size_t end = body.find('&', at);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view pair = body.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        if (form_decode(pair.substr(0, eq)) == name)
            return eq == std::string_view::npos ? std::string() : form_decode(pair.substr(eq + 1));
        at = end + 1;
    }
    return std::nullopt;
}

std::string devices_json(const device_table& table, const config& cfg, const pairing_clock& now)
{
    const char* mode = cfg.bind_host != "0.0.0.0" ? "local" : cfg.lan_open ? "open" : "pairing";
    std::string out = "{\"mode\":\"";
    out += mode;
    out += "\",\"codes\":" + std::to_string(live_pairing_codes(table, now)) + ",\"devices\":[";
    bool first = true;
    for (const device_info& d : paired_devices(table)) {
        out += first ? "{\"id\":" : ",{\"id\":";
        first = false;
        out += std::to_string(d.id) + ",\"name\":\"";
        append_json_string_content(out, d.name);
        out += "\",\"paired\":" + std::to_string(d.paired_at_ms) +
               ",\"seen\":" + std::to_string(d.seen_at_ms) + ",\"address\":\"" + ipv4_text(d.address) + "\"}";
    }
    out += "]}";
    return out;
}

std::string pairing_code_json(const config& cfg, std::string_view code)
{
    std::string out = "{\"code\":\"" + std::string(code) + "\",\"links\":[";
    bool first = true;
    for (const std::string& link : pairing_links(cfg, code)) {
        out += first ? "\"" : ",\"";
        first = false;
        append_json_string_content(out, link);
        out += '"';
    }
    out += "],\"expires_in_ms\":" + std::to_string(cfg.pairing_lifetime_ms) + "}";
    return out;
}

std::string paired_json(const paired_device& device)
{
    std::string out = "{\"token\":\"" + device.token + "\",\"name\":\"";
    append_json_string_content(out, device.name);
    out += "\"}";
    return out;
}
