// What all connections share so that no host on the network can starve the
// others or the wallet service: counts of open connections per network
// address and in all, the memory of the request bodies held, the wrong keys
// each address sent and the locks they brought, the paired devices, and the
// health answer the network shares. Lock-free; owned by main beside the
// configuration.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "health_share.h"
#include "pairing.h"

// Connections one network address may hold at once. A browser opens six
// to a host; a few pages and a script stay far below it. Loopback, where a
// reverse proxy would sit, has no cap.
inline constexpr int max_connections_per_address = 64;
// Connections all network addresses together may hold at once: one host
// with many addresses cannot take every thread either. Loopback has no cap.
inline constexpr int max_network_connections = 512;
// Request bodies held in memory at once, all connections together: sixteen
// bodies at the 32 MiB bound.
inline constexpr std::uint64_t max_bodies_held = 512ull * 1024 * 1024;
// Of that, what peers on the network may hold together, so that this
// machine always has room.
inline constexpr std::uint64_t max_network_bodies_held = max_bodies_held / 2;
// Wrong keys, device tokens or pairing codes from one address within the
// guess window that lock the address for the next window.
inline constexpr int wrong_keys_to_lock = 20;

// Wrong keys counted for one network address.
struct guess_slot {
    std::atomic<std::uint32_t> address{0};  // 0: free
    // The window's start (ms) times 256, plus the wrong keys in it.
    std::atomic<std::uint64_t> window{0};
    std::atomic<std::int64_t> locked_until_ms{0};
};

struct shared_limits {
    // Open connections by a hash of their address; two addresses that share
    // a counter share its cap, which only ever makes it stricter.
    std::array<std::atomic<int>, 4096> per_address{};
    std::atomic<int> network_connections{0};
    std::atomic<std::uint64_t> bodies_held{0};
    std::atomic<std::uint64_t> network_bodies_held{0};
    std::array<guess_slot, 1024> guesses{};
    device_table devices;
    shared_probe health;
};

// True for 127.0.0.0/8 (the address in host byte order).
bool is_loopback(std::uint32_t ipv4);
// The address as a dotted quad.
std::string ipv4_text(std::uint32_t ipv4);

// One connection counted against its address and the network's total
// until it is destroyed.
class address_slot {
public:
    address_slot() = default;
    address_slot(address_slot&& o) noexcept : counter_(o.counter_), total_(o.total_), admitted_(o.admitted_)
    {
        o.counter_ = nullptr;
        o.total_ = nullptr;
    }
    address_slot& operator=(address_slot&&) = delete;
    address_slot(const address_slot&) = delete;
    ~address_slot();
    // False when the address, or the network as a whole, already held the most it may.
    bool admitted() const { return admitted_; }

private:
    friend address_slot admit_connection(shared_limits& limits, std::uint32_t peer);
    std::atomic<int>* counter_ = nullptr;
    std::atomic<int>* total_ = nullptr;
    bool admitted_ = true;
};

// Counts one more connection from peer (loopback is admitted uncounted).
address_slot admit_connection(shared_limits& limits, std::uint32_t peer);

// The memory of one request body, counted against the total of all bodies
// held at once (and, from the network, against the network's share) until
// it is destroyed.
class body_reservation {
public:
    // Counts nothing: for readers outside the server (tests, tools).
    body_reservation() = default;
    body_reservation(shared_limits& limits, bool from_network)
        : held_(&limits.bodies_held), network_held_(from_network ? &limits.network_bodies_held : nullptr)
    {
    }
    body_reservation(const body_reservation&) = delete;
    body_reservation& operator=(const body_reservation&) = delete;
    ~body_reservation();
    // Counts another `bytes` against the totals; false, counting nothing,
    // when one would pass its bound.
    bool take(std::uint64_t bytes);

private:
    std::atomic<std::uint64_t>* held_ = nullptr;
    std::atomic<std::uint64_t>* network_held_ = nullptr;
    std::uint64_t bytes_ = 0;
};

// Locks: an address that sent wrong_keys_to_lock wrong keys within
// window_ms (counted from the first) is refused for the next window_ms.
// Loopback is never counted. now_ms is the steady clock.
bool address_locked(const shared_limits& limits, std::uint32_t peer, std::int64_t now_ms);
// What counting one more wrong key did.
enum class guess_outcome {
    counted,  // below the bound
    locked,   // this one reached it: the address is locked from now on
    no_room,  // every slot near it counts another address: refuse, count nothing
};
guess_outcome note_wrong_key(shared_limits& limits, std::uint32_t peer, std::int64_t now_ms, int window_ms);
