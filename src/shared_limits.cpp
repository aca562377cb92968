#include "shared_limits.h"

bool is_loopback(std::uint32_t ipv4) { return (ipv4 >> 24) == 127; }

address_slot::~address_slot()
{
    if (counter_ != nullptr) counter_->fetch_sub(1);
}

address_slot admit_connection(shared_limits& limits, std::uint32_t peer)
{
    address_slot slot;
    if (is_loopback(peer)) return slot;
    // Fibonacci hashing: the top bits of the product spread neighbouring addresses.
    const std::size_t index = (peer * 2654435769u) >> 20;
    std::atomic<int>& counter = limits.per_address[index % limits.per_address.size()];
    if (counter.fetch_add(1) >= max_connections_per_address) {
        counter.fetch_sub(1);
        slot.admitted_ = false;
        return slot;
    }
    slot.counter_ = &counter;
    return slot;
}

body_reservation::~body_reservation()
{
    if (held_ != nullptr && bytes_ > 0) held_->fetch_sub(bytes_);
}

bool body_reservation::take(std::uint64_t bytes)
{
    if (held_ == nullptr) return true;
    if (held_->fetch_add(bytes) + bytes > max_bodies_held) {
        held_->fetch_sub(bytes);
        return false;
    }
    bytes_ += bytes;
    return true;
}
