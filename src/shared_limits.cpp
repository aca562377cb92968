#include "shared_limits.h"

namespace {

// Fibonacci hashing: the top bits of the product spread neighbouring addresses.
std::size_t address_hash(std::uint32_t peer) { return (peer * 2654435769u) >> 20; }

// Counts one against counter unless it is at cap; false when it was.
bool count_below(std::atomic<int>& counter, int cap)
{
    if (counter.fetch_add(1) < cap) return true;
    counter.fetch_sub(1);
    return false;
}

// Slots looked at for one address, from its hash on.
constexpr std::size_t guess_probes = 8;

constexpr std::uint64_t window_of(std::int64_t start_ms, std::uint64_t count)
{
    return static_cast<std::uint64_t>(start_ms) * 256 + count;
}

// A slot that counts nothing worth keeping: free, or its window over and no lock.
bool stale(const guess_slot& slot, std::int64_t now_ms, int window_ms)
{
    const auto start = static_cast<std::int64_t>(slot.window.load() / 256);
    return now_ms - start >= window_ms && slot.locked_until_ms.load() <= now_ms;
}

// peer's slot, claimed when it has none; nullptr when none is free nearby.
guess_slot* guess_slot_for(shared_limits& limits, std::uint32_t peer, std::int64_t now_ms, int window_ms)
{
    const std::size_t home = address_hash(peer);
    for (std::size_t i = 0; i < guess_probes; ++i) {
        guess_slot& slot = limits.guesses[(home + i) % limits.guesses.size()];
        if (slot.address.load() == peer) return &slot;
    }
    for (std::size_t i = 0; i < guess_probes; ++i) {
        guess_slot& slot = limits.guesses[(home + i) % limits.guesses.size()];
        std::uint32_t held = slot.address.load();
        if ((held == 0 || stale(slot, now_ms, window_ms)) &&
            slot.address.compare_exchange_strong(held, peer)) {
            slot.window.store(window_of(now_ms, 0));
            slot.locked_until_ms.store(0);
            return &slot;
        }
    }
    return nullptr;
}

}  // namespace

bool is_loopback(std::uint32_t ipv4) { return (ipv4 >> 24) == 127; }

std::string ipv4_text(std::uint32_t ipv4)
{
    return std::to_string(ipv4 >> 24) + "." + std::to_string((ipv4 >> 16) & 0xFF) + "." +
           std::to_string((ipv4 >> 8) & 0xFF) + "." + std::to_string(ipv4 & 0xFF);
}

address_slot::~address_slot()
{
    if (counter_ != nullptr) counter_->fetch_sub(1);
    if (total_ != nullptr) total_->fetch_sub(1);
}

address_slot admit_connection(shared_limits& limits, std::uint32_t peer)
{
    address_slot slot;
    if (is_loopback(peer)) return slot;
    std::atomic<int>& counter = limits.per_address[address_hash(peer) % limits.per_address.size()];
    if (!count_below(counter, max_connections_per_address)) {
        slot.admitted_ = false;
        return slot;
    }
    if (!count_below(limits.network_connections, max_network_connections)) {
        counter.fetch_sub(1);
        slot.admitted_ = false;
        return slot;
    }
    slot.counter_ = &counter;
    slot.total_ = &limits.network_connections;
    return slot;
}

body_reservation::~body_reservation()
{
    if (bytes_ == 0) return;
    if (held_ != nullptr) held_->fetch_sub(bytes_);
    if (network_held_ != nullptr) network_held_->fetch_sub(bytes_);
}

bool body_reservation::take(std::uint64_t bytes)
{
    if (held_ == nullptr) return true;
    if (network_held_ != nullptr && network_held_->fetch_add(bytes) + bytes > max_network_bodies_held) {
        network_held_->fetch_sub(bytes);
        return false;
    }
    if (held_->fetch_add(bytes) + bytes > max_bodies_held) {
        held_->fetch_sub(bytes);
        if (network_held_ != nullptr) network_held_->fetch_sub(bytes);
        return false;
    }
    bytes_ += bytes;
    return true;
}

bool address_locked(const shared_limits& limits, std::uint32_t peer, std::int64_t now_ms)
{
    if (is_loopback(peer)) return false;
    const std::size_t home = address_hash(peer);
    for (std::size_t i = 0; i < guess_probes; ++i) {
        const guess_slot& slot = limits.guesses[(home + i) % limits.guesses.size()];
        if (slot.address.load() == peer) return slot.locked_until_ms.load() > now_ms;
    }
    return false;
}

guess_outcome note_wrong_key(shared_limits& limits, std::uint32_t peer, std::int64_t now_ms, int window_ms)
{
    if (is_loopback(peer)) return guess_outcome::counted;
    guess_slot* slot = guess_slot_for(limits, peer, now_ms, window_ms);
    if (slot == nullptr) return guess_outcome::no_room;
    std::uint64_t seen = slot->window.load();
    std::uint64_t next = 0;
    do {
        const auto start = static_cast<std::int64_t>(seen / 256);
        const std::uint64_t count = seen % 256;
        next = now_ms - start >= window_ms ? window_of(now_ms, 1) : window_of(start, count + 1);
        // The one that reaches the bound locks, and the count starts again for after the lock.
        if (next % 256 >= static_cast<std::uint64_t>(wrong_keys_to_lock)) next = window_of(now_ms, 0);
    } while (!slot->window.compare_exchange_weak(seen, next));
    if (next % 256 != 0) return guess_outcome::counted;
    slot->locked_until_ms.store(now_ms + window_ms);
    return guess_outcome::locked;
}
