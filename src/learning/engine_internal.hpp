// The parts of the pair engine that more than one of its files needs: the
// tie rank of a pair, the reading of an added list and the heap's own steps.
// They are defined inline here, not in one of the files, so that every file
// that uses them in a hot loop can inline them.
#pragma once

#include <algorithm>

#include "learning/engine.hpp"

namespace tolvane {

// tie_rank gives learned merges their merged id (below 2^16) and every other
// pair a rank from 2^32 up.
inline constexpr std::uint64_t FIRST_UNLEARNED_RANK = std::uint64_t{1} << 32;

// tie_rank by pair key. A chunk asks it for every pair that enters the
// heap, hundreds of thousands of times; against a model of several thousand
// merges the merge table's own lookup was 9% of training a whole corpus
// (perf), so a long sequence keeps the merged ids in a flat map of its own.
inline std::uint64_t pair_engine::rank_of(std::uint32_t key) const {
    if (!own_merge_ids) return tie_rank(pair_from_key(key), *merges);
    const std::uint32_t m = merge_ids.find(key);
    return m == pair_map::EMPTY ? FIRST_UNLEARNED_RANK | key : m;
}

// Calls out(positions, n) for each block of the entry's added list, in order.
template <class Out>
inline void pair_engine::read_added(const pair_entry& entry, Out&& out) const {
    std::uint32_t b = entry.added_head;
    for (std::uint32_t left = entry.added; left > 0; b = pool[b]) {
        const std::uint32_t n = std::min(left, BLOCK_POSITIONS);
        out(pool.data() + b + 1, n);
        left -= n;
    }
}

// --- the heap --------------------------------------------------------------

inline void pair_engine::heap_push(std::uint32_t e) {
    heap.push_back(slot_of(e));
    entries[e].heap_at = static_cast<std::uint32_t>(heap.size() - 1);
    sift_up(heap.size() - 1);
}

inline void pair_engine::heap_remove(std::uint32_t e) {
    const std::size_t at = entries[e].heap_at;
    const heap_slot last = heap.back();
    heap.pop_back();
    entries[e].heap_at = NONE;
    if (at == heap.size()) return;
    place(at, last);
    sift_up(at);
    sift_down(entries[last.e].heap_at);
}

inline void pair_engine::sift_up(std::size_t at) {
    const heap_slot slot = heap[at];
    while (at > 0) {
        std::size_t parent = (at - 1) / 2;
        if (!before(slot, heap[parent])) break;
        place(at, heap[parent]);
        at = parent;
    }
    place(at, slot);
}

inline void pair_engine::sift_down(std::size_t at) {
    const heap_slot slot = heap[at];
    const std::size_t n = heap.size();
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= n) break;
        if (child + 1 < n && before(heap[child + 1], heap[child])) ++child;
        if (!before(heap[child], slot)) break;
        place(at, heap[child]);
        at = child;
    }
    place(at, slot);
}

}  // namespace tolvane
