// Pairing: a phone or another computer on the network trades a one-time
// code, made on this computer, for a device token of its own, which it then
// sends as X-KRV-Key. A code is never a lasting secret: once used or after
// its lifetime it opens nothing, so an address left in a browser's history
// is worthless. Codes and devices live in a fixed table of slots changed
// with atomics only, so the request path takes no lock. Nothing is kept on
// disk: paired devices last until the server stops.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "atomic_text.h"
#include "config_and_request.h"

// Waiting codes and paired devices together, at most.
inline constexpr std::size_t max_device_slots = 64;
// The longest device name kept, in bytes.
inline constexpr std::size_t max_device_name = 64;

struct device_slot {
    enum : int { free, writing, code, paired };
    std::atomic<int> state{free};
    // New for each code and each pairing: names the device in the list, and
    // shows a reader that the slot changed while it looked.
    std::atomic<std::uint64_t> id{0};
    // 128 bits: the code while it waits, then the device's token.
    std::array<std::atomic<std::uint64_t>, 2> secret{};
    std::atomic<std::int64_t> code_expires_ms{0};  // steady clock
    std::atomic<std::int64_t> paired_at_ms{0};     // wall clock, ms since 1970
    std::atomic<std::int64_t> seen_at_ms{0};
    std::atomic<std::uint32_t> address{0};  // where it was last seen from (IPv4, host order)
    atomic_text<max_device_name> name;
};

struct device_table {
    std::array<device_slot, max_device_slots> slots;
    std::atomic<std::uint64_t> next_id{1};
};

// Steady time for code lifetimes, wall time for what the Devices card shows.
struct pairing_clock {
    std::int64_t steady_ms = 0;
    std::int64_t wall_ms = 0;
};
pairing_clock pairing_now();

// A new code (32 hex digits, 128 bits from the secure random source) for a
// device to be called name (empty: it names itself), live for lifetime_ms.
// A code made before and not yet used stops working. Empty when every slot
// holds a device or no random bytes came.
std::string new_pairing_code(device_table& table, std::string_view name, int lifetime_ms,
                             const pairing_clock& now);

// What trading a code gave the device.
struct paired_device {
    std::string token;  // 32 hex digits
    std::string name;
};
// Trades a live code for a new device token, once; nullopt for a code that
// is unknown, used or expired. device_name serves when the code has none.
std::optional<paired_device> trade_pairing_code(device_table& table, std::string_view code,
                                                std::string_view device_name, std::uint32_t peer,
                                                const pairing_clock& now);

// True when text is a paired device's token; notes when and where from.
bool device_token_valid(device_table& table, std::string_view text, std::uint32_t peer,
                        const pairing_clock& now);

// A paired device, as the Devices card lists it.
struct device_info {
    std::uint64_t id = 0;
    std::string name;
    std::int64_t paired_at_ms = 0;
    std::int64_t seen_at_ms = 0;
    std::uint32_t address = 0;
};
std::vector<device_info> paired_devices(const device_table& table);
// Codes made and neither used nor expired.
int live_pairing_codes(const device_table& table, const pairing_clock& now);
// Takes effect on the device's next request; false when no device has id.
bool forget_device(device_table& table, std::uint64_t id);
// How many devices were forgotten.
int forget_all_devices(device_table& table);

// The pairing addresses of code, one for each of the machine's network
// addresses: http://ADDRESS:PORT/#pair=CODE.
std::vector<std::string> pairing_links(const config& cfg, std::string_view code);

// A device name as it is kept: valid UTF-8 without control characters,
// blanks trimmed, at most max_device_name bytes; empty when none is left.
std::string clean_device_name(std::string_view text);

// The value of name in an application/x-www-form-urlencoded body, decoded;
// nullopt when the body has none.
std::optional<std::string> form_value(std::string_view body, std::string_view name);

// The JSON answers of the device routes.
std::string devices_json(const device_table& table, const config& cfg, const pairing_clock& now);
std::string pairing_code_json(const config& cfg, std::string_view code);
std::string paired_json(const paired_device& device);
