// /health for peers on the network: the wallet service is probed at most
// once a second, and every such request in that second shares the probe
// in flight or the last answer, so that no host on the network can make
// this server hammer the wallet service. Lock-free: atomics, and a wait on
// one of them while a probe is in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "atomic_text.h"

// The network's probes are at least this far apart.
inline constexpr std::int64_t health_share_ms = 1000;

struct shared_probe {
    // When the last probe began (steady clock, ms).
    std::atomic<std::int64_t> started_ms{std::numeric_limits<std::int64_t>::min() / 2};
    // Probes begun and finished so far: while they differ one is in flight,
    // and waiters wait for the second to move.
    std::atomic<std::uint32_t> started{0};
    std::atomic<std::uint32_t> finished{0};
    // The last answer, written by one prober at a time: its version is odd
    // while it is being written.
    std::atomic<std::uint32_t> version{0};
    std::atomic<bool> answered{false};
    atomic_text<256> answer;
};

// The /health answer for a peer on the network at now_ms (steady clock):
// probe() when the last probe began a second ago or more, else the answer
// of the probe in flight (waited for) or of the last one.
std::string shared_health_answer(shared_probe& shared, const std::function<std::string()>& probe,
                                 std::int64_t now_ms);
