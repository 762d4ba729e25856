// The pair engine's merge step: every occurrence of the chosen pair rewritten
// in place, the counts around it updated, and the heap told once per pair.
#include "learning/engine.hpp"

#include <algorithm>

#include "learning/engine_internal.hpp"
#include "model/failure.hpp"

namespace tolvane {

// --- merging ---------------------------------------------------------------

void pair_engine::merge(token_pair pair, token_id merged) {
    sync_ranks(&pair);
    std::uint32_t e = index.find(pair_key(pair));
    if (e == pair_map::EMPTY || entries[e].count == 0) return;

    ++serial;
    touched.clear();
    // Every position where the pair may start, taken out of its lists before
    // anything changes: an occurrence this merge produces (when `merged` is
    // one of the pair's own tokens) goes to a fresh list and is not matched
    // again in the same merge.
    pair_entry& entry = entries[e];
    const std::uint32_t block_at = entry.block_at, block_size = entry.block_size;
    entry.block_size = 0;
    // A pair no merge has made yet is walked in its first-count block;
    // copying it out was 6% of a chunk's samples (perf). That is only safe
    // while the pool cannot move: each step adds at most two positions,
    // which take at most two blocks.
    const std::uint32_t* list = pool.data() + block_at;
    std::size_t listed = block_size;
    const std::size_t room = pool.capacity() > pool_used ? pool.capacity() - pool_used : 0;
    if (!entry.added && room < 2 * BLOCK_SIZE * (listed + 1)) {
        snapshot.assign(list, list + listed);
        list = snapshot.data();
    }
    // Ascending and once each: in a run of (a, a) occurrences overlap and the
    // greedy left to right scan decides which ones merge (a a a -> m a); a
    // position listed twice (its pair changed and came back) merges once.
    // The order also makes the walk over the sequence go one way. The block
    // part is ascending and distinct already.
    if (entry.added) {
        snapshot.assign(list, list + listed);  // (the pool may move below)
        const auto from_block = static_cast<std::ptrdiff_t>(snapshot.size());
        read_added(entry, [&](const std::uint32_t* from, std::uint32_t n) {
            snapshot.insert(snapshot.end(), from, from + n);
        });
        // The blocks go back to the pool, the whole chain at once.
        pool[added_tail(entry)] = free_blocks;
        free_blocks = entry.added_head;
        entry.added = 0;
        // One merge lists its new occurrences in ascending order, so a list
        // that one merge made needs no sort.
        if (!std::is_sorted(snapshot.begin() + from_block, snapshot.end()))
            std::sort(snapshot.begin() + from_block, snapshot.end());
        std::inplace_merge(snapshot.begin(), snapshot.begin() + from_block, snapshot.end());
        snapshot.erase(std::unique(snapshot.begin(), snapshot.end()), snapshot.end());
        list = snapshot.data();
        listed = snapshot.size();
    }

    // A listed position whose pair is no longer this one (changed since it
    // was listed, or used up by an earlier step of this merge) is skipped.
    // The positions are spread over the whole sequence, so each read of one
    // would wait for memory; asking for it a few steps ahead overlaps those
    // waits (a 3 MB chunk of English: 0.39 s of CPU down to 0.27 s).
    if (merged >= made_after.size()) {
        made_after.resize(std::size_t{merged} + 1, NONE);
        made_before.resize(std::size_t{merged} + 1, NONE);
        appeared.resize(std::size_t{merged} + 1, 0);
    }
    // A token that never was in the sequence is in no pair the index
    // holds: every pair this merge makes is new, and is only entered in
    // the index after the walk (see new_pair).
    fresh_merge = !appeared[merged];
    appeared[merged] = 1;
    //
    // A merge at pos also reads its neighbours and their pairs' entries. The
    // first ask brings in the slots around pos; the later ones follow what
    // the earlier brought in (the right token's slot and the end of its
    // span, the left neighbour's span start, then the two neighbouring
    // pairs' entries), so no read waits on a chain of misses.
    constexpr std::size_t AHEAD = 16, LINKS_AHEAD = 8, ENTRIES_AHEAD = 4;
    const node* nodes = seq.data();
    const pair_entry* table = entries.data();
    for (std::size_t i = 0; i < listed; ++i) {
        if (i + AHEAD < listed) {
            const node* at = nodes + list[i + AHEAD];
            __builtin_prefetch(at - 1);
            __builtin_prefetch(at + 7);
        }
        if (i + LINKS_AHEAD < listed) {
            const std::uint32_t ahead = list[i + LINKS_AHEAD];
            const node& at = nodes[ahead];
            if (at.pair == e) {
                if (ahead > 0 && nodes[ahead - 1].pair == REMOVED) __builtin_prefetch(nodes + nodes[ahead - 1].link);
                const node& right = nodes[at.link];
                if (right.link != NONE) {
                    __builtin_prefetch(nodes + right.link - 1);
                    __builtin_prefetch(table + right.pair);
                }
            }
        }
        if (i + ENTRIES_AHEAD < listed) {
            const std::uint32_t ahead = list[i + ENTRIES_AHEAD];
            if (nodes[ahead].pair == e) {
                const std::uint32_t left = left_of(ahead);
                if (left != NONE) __builtin_prefetch(table + nodes[left].pair);
            }
        }
        const std::uint32_t pos = list[i];
        if (seq[pos].pair == e) merge_at(pos, e, merged);
    }
    for (std::uint32_t e : unindexed) index.insert_absent(entries[e].key, e);
    unindexed.clear();
    recycle(block_at, block_at + block_size);
    for (token_id x : filled_after) made_after[x] = NONE;
    for (token_id y : filled_before) made_before[y] = NONE;
    filled_after.clear();
    filled_before.clear();
    settle_touched();
}

// --- the steps of a merge, all inlined into merge()'s loop ----------------

[[gnu::always_inline]] inline void pair_engine::touch(std::uint32_t e) {
    if (entries[e].touched != serial) {
        entries[e].touched = serial;
        touched.push_back(e);
    }
}

// The position stays listed under the pair; reading the list skips it.
[[gnu::always_inline]] inline void pair_engine::drop_occurrence(std::uint32_t e) {
    --entries[e].count;
    touch(e);
}

[[gnu::always_inline]] inline std::uint32_t pair_engine::new_pair(std::vector<std::uint32_t>& by_other, std::vector<token_id>& filled,
                                    token_id other, std::uint32_t key) {
    std::uint32_t& slot = by_other[other];
    if (slot == NONE) {
        // Looking a pair up in the index waits for memory, and the merge's
        // next step waits for that. A new pair of a fresh merge needs no
        // look-up: its entry is made at once, and all of them are entered
        // in the index together after the walk, where their waits overlap.
        // Each new pair has one slot: (merged, merged) only arises as
        // (x, merged), since the walk goes left to right and the token to
        // the right of an occurrence is not merged yet.
        if (fresh_merge) {
            slot = add_entry(key);
            unindexed.push_back(slot);
        } else {
            slot = entry_for(key);
        }
        filled.push_back(other);
    }
    return slot;
}

// By as much as the pool holds, from 64 blocks up to POOL_GROWTH at a time:
// a short sequence's engine clears little, a long one's resizes rarely.
// It moves only once its reserved room is used up (see merge()).
void pair_engine::grow_pool() {
    const std::size_t needed = std::size_t{pool_used} + BLOCK_SIZE - pool.size();
    std::size_t more = std::clamp<std::size_t>(pool.size(), 64 * BLOCK_SIZE, POOL_GROWTH * BLOCK_SIZE);
    if (pool.capacity() - pool.size() >= needed) more = std::min(more, pool.capacity() - pool.size());
    if (pool.size() + more > NONE) fail("Token sequence too long to merge");
    pool.resize(pool.size() + more);
    populate_pages(pool.data() + pool.size() - more, more * sizeof(std::uint32_t));
}

// A first-count block is spent once its pair has been merged: the whole
// blocks of the pool inside it are given back for the added lists. The
// first merges spend the largest blocks, and the lists then grow into them
// instead of into fresh memory: a 3 MB chunk of English peaks at 7 MB less.
void pair_engine::recycle(std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t b = (from + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE; b + BLOCK_SIZE <= to;
         b += BLOCK_SIZE) {
        pool[b] = free_blocks;
        free_blocks = b;
    }
}

// A block from those given back, or a new one at the pool's end.
[[gnu::always_inline]] inline std::uint32_t pair_engine::new_block() {
    std::uint32_t b = free_blocks;
    if (b != NONE) {
        free_blocks = pool[b];
    } else {
        if (pool_used + BLOCK_SIZE > pool.size()) grow_pool();
        b = pool_used;
        pool_used += BLOCK_SIZE;
    }
    pool[b] = NONE;
    return b;
}

[[gnu::always_inline]] inline std::uint32_t pair_engine::add_occurrence(std::uint32_t pos, std::uint32_t e) {
    pair_entry& entry = entries[e];
    if (entry.added == 0) {
        const std::uint32_t b = new_block();
        entry.added_head = b;
        entry.added_end = b + 1;
    } else if (entry.added_end % BLOCK_SIZE == 0) {  // the last block is full
        const std::uint32_t b = new_block();
        pool[entry.added_end - BLOCK_SIZE] = b;
        entry.added_end = b + 1;
    }
    pool[entry.added_end++] = pos;
    ++entry.added;
    ++entry.count;
    touch(e);
    return e;
}

// Rewrites x [a b] y as x [m] y at pos: the three pairs around the merged
// pair leave their counts, the two new ones join theirs.
[[gnu::always_inline]] inline void pair_engine::merge_at(std::uint32_t pos, std::uint32_t merging, token_id merged) {
    const std::uint32_t right = seq[pos].link;
    const std::uint32_t right_pair = seq[right].pair;
    const std::uint32_t after = seq[right].link;
    const std::uint32_t left = left_of(pos);
    const std::uint32_t left_pair = left == NONE ? NONE : seq[left].pair;

    // x is the left half of (x, a), y the right half of (b, y).
    token_id x = 0, y = 0;
    if (left != NONE) {
        x = static_cast<token_id>(entries[left_pair].key >> 16);
        drop_occurrence(left_pair);
    }
    drop_occurrence(merging);
    if (after != NONE) {
        y = static_cast<token_id>(entries[right_pair].key & 0xFFFF);
        drop_occurrence(right_pair);
    }

    seq[pos].link = after;
    seq[right].pair = REMOVED;
    // The merged span ends where the right token's did; its last slot leads
    // back to the start, for the next position's left_of. That slot may be
    // `right` itself, whose link was read above.
    const std::uint32_t last = (after == NONE ? static_cast<std::uint32_t>(seq.size()) : after) - 1;
    seq[last].link = pos;
    --live;

    if (left != NONE)
        seq[left].pair = add_occurrence(left, new_pair(made_after, filled_after, x, pair_key({x, merged})));
    if (after != NONE) {
        seq[pos].pair = add_occurrence(pos, new_pair(made_before, filled_before, y, pair_key({merged, y})));
    } else {
        seq[pos].pair = NONE;
        last_token = merged;
    }
}






// Applies the merge's net count changes to the heap once per pair: a pair
// whose count went down and back up (a run merged step by step) costs
// nothing, and one that rose many times moves once.
void pair_engine::settle_touched() {
    for (std::uint32_t e : touched) {
        pair_entry& entry = entries[e];
        if (entry.heap_at == PARKED) continue;
        if (entry.count < heap_floor || entry.count == 0) {
            if (entry.heap_at != NONE) heap_remove(e);
        } else if (entry.heap_at == NONE) {
            // Out of the heap its rank may be stale; merges is synced here.
            entry.rank = rank_of(entry.key);
            heap_push(e);
        } else {
            heap_slot& slot = heap[entry.heap_at];
            const bool rose = entry.count > slot.count;
            slot.count = entry.count;
            if (rose)
                sift_up(entry.heap_at);
            else
                sift_down(entry.heap_at);
        }
    }
    touched.clear();
}

}  // namespace tolvane
