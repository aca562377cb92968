// A short text kept in atomic words, so that connection threads may read
// it while another one writes it without a data race and without a lock.
// A reader that may meet a writer checks a version of its own around the
// read (a device slot's id, the shared health answer's version): words are
// stored with release and loaded with acquire, so a reader that sees any
// word of a newer text also sees the version that the writer set before it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

template <std::size_t Bytes>
class atomic_text {
public:
    static constexpr std::size_t capacity = Bytes;

    // Stores text, cut to capacity bytes.
    void store(std::string_view text)
    {
        const std::size_t n = text.size() < capacity ? text.size() : capacity;
        for (std::size_t w = 0; w < words_.size(); ++w) {
            std::uint64_t word = 0;
            for (std::size_t b = 0; b < 8 && w * 8 + b < n; ++b)
                word |= std::uint64_t{static_cast<unsigned char>(text[w * 8 + b])} << (8 * b);
            words_[w].store(word, std::memory_order_release);
        }
        size_.store(static_cast<std::uint32_t>(n), std::memory_order_release);
    }

    std::string load() const
    {
        std::size_t n = size_.load(std::memory_order_acquire);
        if (n > capacity) n = capacity;
        std::string text(n, '\0');
        for (std::size_t w = 0; w * 8 < n; ++w) {
            const std::uint64_t word = words_[w].load(std::memory_order_acquire);
            for (std::size_t b = 0; b < 8 && w * 8 + b < n; ++b)
                text[w * 8 + b] = static_cast<char>(word >> (8 * b));
        }
        return text;
    }

private:
    std::array<std::atomic<std::uint64_t>, (Bytes + 7) / 8> words_{};
    std::atomic<std::uint32_t> size_{0};
};
