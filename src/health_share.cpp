#include "health_share.h"

#include "platform.h"

namespace {

// Keeps text as the last answer; a text too long to keep, or a second
// prober writing at the same moment, leaves the one before.
void publish(shared_probe& shared, const std::string& text)
{
    if (text.size() > decltype(shared.answer)::capacity) return;
    std::uint32_t v = shared.version.load(std::memory_order_relaxed);
    if ((v & 1u) != 0 || !shared.version.compare_exchange_strong(v, v + 1, std::memory_order_acquire)) return;
    // Its stores are releases: a reader that sees one of them sees the odd version too.
    shared.answer.store(text);
    shared.version.store(v + 2, std::memory_order_release);
    plat::wake_all(shared.version);
    shared.answered.store(true, std::memory_order_release);
}

// The last answer kept; empty when there is none yet.
std::string last_answer(const shared_probe& shared)
{
    if (!shared.answered.load(std::memory_order_acquire)) return std::string();
    for (;;) {
        const std::uint32_t before = shared.version.load(std::memory_order_acquire);
        if ((before & 1u) != 0) {
            plat::wait_while_equal(shared.version, before);
            continue;
        }
        // Its loads are acquires: the version below is read after them.
        std::string text = shared.answer.load();
        if (shared.version.load(std::memory_order_relaxed) == before) return text;
    }
}

// Counts a probe as finished however it ends, so that no waiter is left behind.
struct probe_round {
    explicit probe_round(shared_probe& s) : shared(s) { shared.started.fetch_add(1); }
    ~probe_round()
    {
        shared.finished.fetch_add(1);
        plat::wake_all(shared.finished);
    }
    probe_round(const probe_round&) = delete;
    probe_round& operator=(const probe_round&) = delete;
    shared_probe& shared;
};

}  // namespace

std::string shared_health_answer(shared_probe& shared, const std::function<std::string()>& probe,
                                 std::int64_t now_ms)
{
    std::int64_t last = shared.started_ms.load();
    if (now_ms - last >= health_share_ms && shared.started_ms.compare_exchange_strong(last, now_ms)) {
        probe_round round(shared);
        std::string text = probe();
        publish(shared, text);
        return text;
    }
    // A probe began within the second: the answer of the one in flight, or the last one.
    const std::uint32_t seen = shared.finished.load();
    if (shared.started.load() != seen) plat::wait_while_equal(shared.finished, seen);
    std::string text = last_answer(shared);
    // None kept yet (the first probe has only just begun, or its answer was too long): probe alone.
    return text.empty() ? probe() : text;
}
