// What all connections share so that one host cannot starve the others:
// a count of open connections per network address and the memory of the
// request bodies held. Lock-free; owned by main beside the configuration.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

// Connections one network address may hold at once. A browser opens six
// to a host; a few pages and a script stay far below it. Loopback, where a
// reverse proxy would sit, has no cap.
inline constexpr int max_connections_per_address = 64;
// Request bodies held in memory at once, all connections together: sixteen
// bodies at the 32 MiB bound.
inline constexpr std::uint64_t max_bodies_held = 512ull * 1024 * 1024;

struct shared_limits {
    // Open connections by a hash of their address; two addresses that share
    // a counter share its cap, which only ever makes it stricter.
    std::array<std::atomic<int>, 4096> per_address{};
    std::atomic<std::uint64_t> bodies_held{0};
};

// True for 127.0.0.0/8 (the address in host byte order).
bool is_loopback(std::uint32_t ipv4);

// One connection counted against its address until it is destroyed.
class address_slot {
public:
    address_slot() = default;
    address_slot(address_slot&& o) noexcept : counter_(o.counter_), admitted_(o.admitted_)
    {
        o.counter_ = nullptr;
    }
    address_slot& operator=(address_slot&&) = delete;
    address_slot(const address_slot&) = delete;
    ~address_slot();
    // False when the address already held the most it may.
    bool admitted() const { return admitted_; }

private:
    friend address_slot admit_connection(shared_limits& limits, std::uint32_t peer);
    std::atomic<int>* counter_ = nullptr;
    bool admitted_ = true;
};

// Counts one more connection from peer (loopback is admitted uncounted).
address_slot admit_connection(shared_limits& limits, std::uint32_t peer);

// The memory of one request body, counted against the total of all bodies
// held at once until it is destroyed.
class body_reservation {
public:
    // Counts nothing: for readers outside the server (tests, tools).
    body_reservation() = default;
    explicit body_reservation(shared_limits& limits) : held_(&limits.bodies_held) {}
    body_reservation(const body_reservation&) = delete;
    body_reservation& operator=(const body_reservation&) = delete;
    ~body_reservation();
    // Counts another `bytes` against the total; false, counting nothing,
    // when the total would pass max_bodies_held.
    bool take(std::uint64_t bytes);

private:
    std::atomic<std::uint64_t>* held_ = nullptr;
    std::uint64_t bytes_ = 0;
};
