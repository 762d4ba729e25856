// The pair source for short sequences (model/pair_source.hpp gives the shape).
//
// Encoding a sentence of a hundred graphemes through pair_engine spends
// most of its time setting the engine up: a dozen allocations, a heap, an
// occurrence list per pair. Here everything is three flat arrays sized once:
// the sequence itself, rewritten in place by each merge; every pair seen so
// far with one packed 64-bit priority (count, then tie order) in a
// tournament tree, so the best pair is always at its root; and a small
// open-addressing index from pair key to entry. A merge updates only the
// counts of the pairs around the positions it rewrites, like the engine.
// Finding a pair's occurrences scans the sequence, so this source is for
// short inputs only; the caller picks it by length (model/encode.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "model/pair_ops.hpp"

namespace tolvane {

class small_pairs {
public:
    // Counts live in 15 bits of the priority; longer sequences belong to pair_engine.
    static constexpr std::size_t MAX_LENGTH = 32768;

    // `merges` must outlive the source; it is read for the tie order and may
    // grow between calls. Fails for a sequence longer than MAX_LENGTH.
    small_pairs(token_sequence tokens, const merge_table& merges);

    std::optional<std::pair<token_pair, std::uint32_t>> best();
    std::optional<token_pair> best_excluding(const std::vector<token_pair>& excluded);
    void merge(token_pair pair, token_id merged);
    std::size_t size() const { return seq.size(); }
    token_sequence take() { return std::move(seq); }

    // For checks, without spending the source.
    token_sequence sequence() const { return seq; }
    pair_counts counts() const;

private:
    // priority = count << ORDER_BITS | (ORDER_MASK - order): the largest
    // priority is the highest count, and among equal counts the smallest
    // order, which is the tie rule of pair_ops.hpp: learned merges first by
    // merged id (then by pair, should a hand-made model share an id), then
    // every other pair by pair key.
    static constexpr unsigned ORDER_BITS = 49;
    static constexpr std::uint64_t ORDER_MASK = (std::uint64_t{1} << ORDER_BITS) - 1;
    static constexpr std::uint64_t ONE = std::uint64_t{1} << ORDER_BITS;

    struct slot {
        std::uint32_t key;
        std::uint32_t entry;  // the entry + 1; 0 marks an empty slot, so clearing is a memset
    };

    std::uint64_t order_of(std::uint32_t key) const;
    std::uint32_t entry_for(std::uint32_t key) {
        std::uint32_t i = slot_of(key);
        for (; slots[i].entry != 0; i = (i + 1) & mask)
            if (slots[i].key == key) return slots[i].entry - 1;
        return insert(key, i);
    }
    [[gnu::noinline]] std::uint32_t insert(std::uint32_t key, std::uint32_t at);
    std::uint32_t slot_of(std::uint32_t key) const {
        return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
    }
    void grow_index();
    void grow_tree();
    void build_tree();
    // Sets an entry's priority and replays the matches on its way to the root.
    void set_priority(std::uint32_t e, std::uint64_t value);
    std::uint64_t priority(std::uint32_t e) const { return tree[leaves + e]; }
    void add(std::uint32_t key) {
        std::uint32_t e = entry_for(key);
        set_priority(e, priority(e) + ONE);
    }
    void drop(std::uint32_t key, std::uint64_t times = 1) {
        std::uint32_t e = entry_for(key);
        set_priority(e, priority(e) - times * ONE);
    }
    void sync_orders();
    std::size_t find(token_pair pair, std::size_t from) const;

    token_sequence seq;
    const merge_table* merges;
    std::size_t known_merges;
    std::vector<std::uint32_t> keys;  // pair key by entry; a pair stays listed at count zero
    // tree[leaves + e] is entry e's priority, every node above the larger of
    // its two children, so tree[1] is the largest; unused leaves hold 0.
    std::vector<std::uint64_t> tree;
    std::size_t leaves;
    std::vector<slot> slots;
    std::uint32_t mask;
    unsigned shift;
};

}  // namespace tolvane
