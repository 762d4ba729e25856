// The pair engine's choices: the heap of the pairs that occur often enough,
// the best pair with or without exclusions, and keeping tie ranks current.
#include "learning/engine.hpp"

#include <algorithm>

#include "learning/engine_internal.hpp"
#include "model/failure.hpp"

namespace tolvane {

// Every pair with a count of at least heap_floor that is not in the heap
// yet goes in, ranked as of now, and the heap is built again.
void pair_engine::fill_heap() {
    for (std::uint32_t e = 0; e < entries.size(); ++e) {
        pair_entry& entry = entries[e];
        if (entry.heap_at != NONE || entry.count < heap_floor || entry.count == 0) continue;
        entry.rank = rank_of(entry.key);
        entry.heap_at = static_cast<std::uint32_t>(heap.size());
        heap.push_back(slot_of(e));
    }
    for (std::size_t at = heap.size() / 2; at-- > 0;) sift_down(at);
}

// The heap has run out of pairs while some wait below the floor: from now
// on every pair that occurs is in it, as it would have been all along.
bool pair_engine::lower_floor() {
    if (heap_floor <= 1) return false;
    heap_floor = 1;
    fill_heap();
    return !heap.empty();
}

// --- selection -------------------------------------------------------------

std::optional<std::pair<token_pair, std::uint32_t>> pair_engine::best() {
    sync_ranks(nullptr);
    lift_exclusions();
    if (heap.empty() && !lower_floor()) return std::nullopt;
    const pair_entry& top = entries[heap[0].e];
    return std::pair{pair_from_key(top.key), top.count};
}

std::optional<token_pair> pair_engine::best_excluding(const std::vector<token_pair>& excluded) {
    sync_ranks(nullptr);
    absorb_exclusions(excluded);
    // Every pair below the floor ranks after every pair in the heap, so they
    // are only needed once all of those are excluded.
    do {
        if (std::optional<token_pair> found = best_allowed_in_heap()) return found;
    } while (lower_floor());
    return std::nullopt;
}

std::optional<token_pair> pair_engine::best_allowed_in_heap() {
    if (heap.empty()) return std::nullopt;
    auto allowed = [&](std::size_t at) {
        return excluded_keys.find(entries[heap[at].e].key) == pair_map::EMPTY;
    };
    if (allowed(0)) return pair_from_key(entries[heap[0].e].key);

    // Best first over the heap's tree: no node ranks before its parent, so
    // taking the best open node each time visits pairs in exactly the tie
    // order, and the first allowed one is the answer. Only the excluded
    // pairs near the top and their children are looked at.
    auto worse = [&](std::size_t a, std::size_t b) { return before(heap[b], heap[a]); };
    frontier.assign(1, 0);
    while (!frontier.empty()) {
        std::pop_heap(frontier.begin(), frontier.end(), worse);
        std::size_t at = frontier.back();
        frontier.pop_back();
        if (allowed(at)) return pair_from_key(entries[heap[at].e].key);
        for (std::size_t child = 2 * at + 1; child <= 2 * at + 2 && child < heap.size(); ++child) {
            frontier.push_back(static_cast<std::uint32_t>(child));
            std::push_heap(frontier.begin(), frontier.end(), worse);
        }
    }
    return std::nullopt;
}

// An excluded pair leaves the heap until the exclusions are lifted. The
// learned-merge pass of a later chunk excludes a few hundred pairs, most of
// them frequent; left in the heap, every later choice walked past all of
// them near its top. A pair excluded before it occurs at all has no entry to
// park: best_allowed_in_heap still skips it by its key.
void pair_engine::absorb_exclusions(const std::vector<token_pair>& excluded) {
    if (excluded.size() < absorbed) lift_exclusions();  // not the list we saw grow: start over
    for (; absorbed < excluded.size(); ++absorbed) {
        const std::uint32_t key = pair_key(excluded[absorbed]);
        bool inserted = false;
        excluded_keys.find_or_insert(key, 0, inserted);
        const std::uint32_t e = index.find(key);
        if (!inserted || e == pair_map::EMPTY) continue;
        if (in_heap(entries[e])) heap_remove(e);
        entries[e].heap_at = PARKED;
        parked.push_back(e);
    }
}

// Every pair is allowed again: the parked ones go back to the heap as
// settle_touched would have put them there, with their rank as of now.
void pair_engine::lift_exclusions() {
    if (absorbed == 0) return;
    excluded_keys.clear();
    absorbed = 0;
    for (std::uint32_t e : parked) {
        pair_entry& entry = entries[e];
        entry.heap_at = NONE;
        if (entry.count < heap_floor || entry.count == 0) continue;
        entry.rank = rank_of(entry.key);
        heap_push(e);
    }
    parked.clear();
}

// A pair's tie rank changes only when it becomes a learned merge. The heap
// may hold a rank only while it is current, so whenever `merges` has grown
// the ranks are brought up to date before anything is compared. Merge
// learning adds exactly the pair it then merges; that case costs one lookup.
// Any other growth re-ranks every pair in the heap.
void pair_engine::sync_ranks(const token_pair* just_merged) {
    const std::size_t now = merges->size();
    if (now == known_merges) return;
    if (just_merged && now == known_merges + 1) {
        std::uint32_t e = index.find(pair_key(*just_merged));
        if (e != pair_map::EMPTY && in_heap(entries[e]) &&
            entries[e].rank >= FIRST_UNLEARNED_RANK) {
            if (const token_id* m = find_merge(*merges, *just_merged)) {
                // Ranked as unlearned against the old table and learned now:
                // it is the one entry added.
                entries[e].rank = *m;
                if (own_merge_ids) {
                    bool inserted = false;
                    merge_ids.find_or_insert(entries[e].key, *m, inserted);
                }
                heap[entries[e].heap_at].tie = tie_of(entries[e]);
                sift_up(entries[e].heap_at);
                known_merges = now;
                return;
            }
        }
    }
    load_merge_ids();
    for (heap_slot& slot : heap) {
        entries[slot.e].rank = rank_of(entries[slot.e].key);
        slot.tie = tie_of(entries[slot.e]);
    }
    for (std::size_t at = heap.size() / 2; at-- > 0;) sift_down(at);
    known_merges = now;
}

}  // namespace tolvane
