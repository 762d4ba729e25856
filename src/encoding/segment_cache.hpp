// Results of recently merged segments, kept per thread. Text is cut where no
// token can span the boundary (see ranked_encoder), and the pieces repeat a
// lot: words with their spaces and punctuation. The result of a piece depends
// on its ids alone, so a result once computed is reused as it is.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "model/types.hpp"

namespace tolvane {

class segment_cache {
public:
    static constexpr std::size_t LONGEST = 32;  // ids; longer segments are rare and not kept

    static std::uint64_t hash(const token_id* ids, std::size_t n) {
        std::uint64_t h = n;
        for (std::size_t i = 0; i < n; ++i) h = (h ^ ids[i]) * 0x9E3779B97F4A7C15ull;
        return (h ^ (h >> 29)) | 1;  // never 0, which marks a free slot
    }

    // Forgets everything when the results come from another encoder.
    void serve(std::uint64_t encoder) {
        if (encoder != owner) clear(encoder);
    }

    // The cached result of `ids` (n <= LONGEST), or nullptr; `len` receives its length.
    const token_id* find(const token_id* ids, std::size_t n, std::uint64_t h, std::size_t& len) const {
        if (slots.empty()) return nullptr;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const entry& e = slots[i];
            if (e.hash == 0) return nullptr;
            if (e.hash == h && e.key_len == n &&
                std::memcmp(&arena[e.at], ids, n * sizeof(token_id)) == 0) {
                len = e.value_len;
                return &arena[e.at + n];
            }
        }
    }

    void insert(const token_id* ids, std::size_t n, std::uint64_t h, const token_id* result,
                std::size_t len) {
        if (used >= MAX_ENTRIES || arena.size() + n + len > MAX_IDS || slots.empty()) clear(owner);
        std::size_t i = h & mask;
        while (slots[i].hash != 0) i = (i + 1) & mask;
        slots[i] = {h, static_cast<std::uint32_t>(arena.size()), static_cast<std::uint16_t>(n),
                    static_cast<std::uint16_t>(len)};
        arena.insert(arena.end(), ids, ids + n);
        arena.insert(arena.end(), result, result + len);
        ++used;
    }

private:
    // Half-full at most, so probes stay short; about 1.3 MB when full.
    static constexpr std::size_t SLOTS = std::size_t{1} << 15;
    static constexpr std::size_t MAX_ENTRIES = SLOTS / 2;
    static constexpr std::size_t MAX_IDS = std::size_t{1} << 19;

    struct entry {
        std::uint64_t hash;
        std::uint32_t at;  // key ids, then result ids, in the arena
        std::uint16_t key_len;
        std::uint16_t value_len;
    };

    // Starting over when full is crude but keeps every lookup one probe
    // sequence; text that repeats refills the cache at once.
    void clear(std::uint64_t encoder) {
        slots.assign(SLOTS, entry{0, 0, 0, 0});
        arena.clear();
        arena.reserve(MAX_IDS);
        used = 0;
        owner = encoder;
    }

    static constexpr std::size_t mask = SLOTS - 1;
    std::vector<entry> slots;
    std::vector<token_id> arena;
    std::size_t used = 0;
    std::uint64_t owner = 0;
};

}  // namespace tolvane
