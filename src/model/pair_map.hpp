// A small open-addressing map from packed pair keys (model/types.hpp
// pair_key) to 32-bit values, for the engine's hot loops. Every key is
// legal, (65535, 65535) included, so emptiness is marked in the value, and
// no value may be EMPTY. Entries are never erased: the engine keeps a pair
// whose count fell to zero, because the same pair often comes back.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane {

class pair_map {
public:
    static constexpr std::uint32_t EMPTY = UINT32_MAX;

    explicit pair_map(std::size_t expected = 0) { rehash(capacity_for(expected)); }

    std::size_t size() const { return used; }

    // The value of `key`, or EMPTY.
    std::uint32_t find(std::uint32_t key) const {
        for (std::size_t i = slot_of(key);; i = (i + 1) & mask) {
            if (slots[i].value == EMPTY) return EMPTY;
            if (slots[i].key == key) return slots[i].value;
        }
    }

    // The value of `key`; when absent, stores `value` first. `inserted` tells which.
    std::uint32_t find_or_insert(std::uint32_t key, std::uint32_t value, bool& inserted) {
        std::size_t i = slot_of(key);
        for (;; i = (i + 1) & mask) {
            if (slots[i].value == EMPTY) break;
            if (slots[i].key == key) {
                inserted = false;
                return slots[i].value;
            }
        }
        inserted = true;
        slots[i] = {key, value};
        // Linear probing stays short below half full; past it, double.
        if (++used * 2 > slots.size()) rehash(slots.size() * 2);
        return value;
    }

    // Stores `key`, which must be absent.
    void insert_absent(std::uint32_t key, std::uint32_t value) {
        std::size_t i = slot_of(key);
        while (slots[i].value != EMPTY) i = (i + 1) & mask;
        slots[i] = {key, value};
        if (++used * 2 > slots.size()) rehash(slots.size() * 2);
    }

    void clear() {
        for (auto& s : slots) s.value = EMPTY;
        used = 0;
    }

private:
    struct slot {
        std::uint32_t key;
        std::uint32_t value;
    };

    static std::size_t capacity_for(std::size_t expected) {
        return std::bit_ceil(std::max<std::size_t>(16, expected * 2));
    }

    // Fibonacci hashing: the multiply mixes both 16-bit halves into the top
    // bits, which pick the slot.
    std::size_t slot_of(std::uint32_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
    }

    void rehash(std::size_t capacity) {
        std::vector<slot> old = std::move(slots);
        slots.assign(capacity, slot{0, EMPTY});
        mask = capacity - 1;
        shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (const slot& s : old) {
            if (s.value == EMPTY) continue;
            std::size_t i = slot_of(s.key);
            while (slots[i].value != EMPTY) i = (i + 1) & mask;
            slots[i] = s;
        }
    }

    std::vector<slot> slots;
    std::size_t mask = 0;
    unsigned shift = 64;
    std::size_t used = 0;
};

}  // namespace tolvane
