#include "encoding/ranked_rounds.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <limits>

#include "encoding/thread_buffer.hpp"

namespace tolvane {

namespace {

// The sequence being merged, as a doubly linked list over the original
// positions: a merge keeps its left slot and unlinks the right one, so slot
// order stays text order and a position names an occurrence for the rest of
// the call. Slot 0 is never unlinked, so the walk starts there.
template <class Index>
struct linked_ids {
    static constexpr Index NONE = std::numeric_limits<Index>::max();
    static constexpr Index GONE = NONE - 1;  // `next` of an unlinked slot

    struct node {
        Index prev;
        Index next;
        token_id id;
    };
    std::vector<node> nodes;

    void assign(std::span<const token_id> ids) {
        nodes.resize(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i)
            nodes[i] = {i == 0 ? NONE : static_cast<Index>(i - 1),
                        i + 1 == ids.size() ? NONE : static_cast<Index>(i + 1), ids[i]};
    }
    bool starts_pair(Index at) const { return nodes[at].next < GONE; }
    std::uint32_t pair_at(Index at) const {
        return pair_key({nodes[at].id, nodes[nodes[at].next].id});
    }
    // at and its successor become one token `merged` at `at`.
    void merge(Index at, token_id merged) {
        node& left = nodes[at];
        const Index gone = left.next;
        left.id = merged;
        left.next = nodes[gone].next;
        if (left.next != NONE) nodes[left.next].prev = at;
        nodes[gone].next = GONE;
    }
    void append_to(token_sequence& out) const {
        if (nodes.empty()) return;
        for (Index at = 0; at != NONE; at = nodes[at].next) out.push_back(nodes[at].id);
    }
};

struct short_scratch {
    token_sequence ids;
    std::vector<std::uint32_t> ranks;
    std::vector<std::uint32_t> merged_at;
};

// A binary min-heap.
template <class Key>
struct min_heap {
    std::vector<Key> keys;

    void push(Key k) {
        std::size_t i = keys.size();
        keys.push_back(k);
        while (i > 0 && k < keys[(i - 1) / 2]) {
            keys[i] = keys[(i - 1) / 2];
            i = (i - 1) / 2;
        }
        keys[i] = k;
    }
    Key pop() {
        const Key top = keys.front();
        const Key last = keys.back();
        keys.pop_back();
        const std::size_t n = keys.size();
        std::size_t i = 0;
        for (std::size_t c = 1; c < n; c = 2 * i + 1) {
            if (c + 1 < n && keys[c + 1] < keys[c]) ++c;
            if (last <= keys[c]) break;
            keys[i] = keys[c];
            i = c;
        }
        if (n > 0) keys[i] = last;
        return top;
    }
};

// Rounds for ordered models: the positions where each merged id's pair
// starts, one list per merged id, and a heap of the merged ids that have a
// list, each once. A round takes its whole list, left to right; a merge
// queues the pairs it creates, whose merged ids are larger than the round's,
// so they join later rounds and never this one: that is what makes taking
// lists in merged-id order equal the round-by-round definition. Entries that
// no longer hold their pair (a neighbour merged first, or the slot was
// unlinked as the right half of an overlapping occurrence) are skipped: each
// slot keeps the merged id of the pair it starts, and in an ordered model a
// merged id names one pair.
//
// Against one heap of (merged id, position) keys this does one heap step
// per round instead of per occurrence: 1 MB of one repeated grapheme took
// about five times fewer instructions.
struct ordered_rounds {
    static constexpr std::uint32_t NONE = UINT32_MAX;
    static constexpr std::uint32_t NO_RANK = pair_map::EMPTY;

    struct node {
        std::uint32_t rank;  // merged id of the pair starting here; NO_RANK: none, or unlinked
        std::uint32_t prev;
        std::uint32_t next;
        token_id id;
    };
    std::vector<node> nodes;
    min_heap<std::uint32_t> pending;            // merged ids with a nonempty list
    std::vector<std::uint32_t> list_of;         // merged id -> list, or NONE
    std::vector<std::vector<std::uint32_t>> lists;
    std::vector<bool> unsorted;                 // by list
    std::vector<std::uint32_t> named;           // list -> its merged id
    std::vector<std::uint32_t> round;

    void queue(std::uint32_t rank, std::uint32_t at);
    void run(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out);
};

struct any_scratch {
    linked_ids<std::size_t> list;
    struct entry {
        std::uint64_t rank;  // (merged id << 32) | packed pair: the order rounds are taken in
        std::size_t at;
        bool operator>(const entry& o) const { return rank != o.rank ? rank > o.rank : at > o.at; }
    };
    std::vector<entry> heap;
    std::vector<std::size_t> round;
};


void ordered_rounds::queue(std::uint32_t rank, std::uint32_t at) {
    std::uint32_t& which = list_of[rank];
    if (which == NONE) {
        which = static_cast<std::uint32_t>(named.size());
        named.push_back(rank);
        if (lists.size() < named.size()) lists.resize(named.size()), unsorted.resize(named.size());
    }
    std::vector<std::uint32_t>& list = lists[which];
    if (list.empty()) pending.push(rank);
    else if (list.back() > at) unsorted[which] = true;  // a later round queued an earlier spot
    list.push_back(at);
}

void ordered_rounds::run(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out) {
    const std::size_t n = ids.size();
    auto rank_of = [&](token_id left, token_id right) { return merged_of.find(pair_key({left, right})); };
    if (list_of.empty()) list_of.assign(MAX_TOKENS, NONE);
    nodes.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t rank = i + 1 < n ? rank_of(ids[i], ids[i + 1]) : NO_RANK;
        nodes[i] = {rank, i == 0 ? NONE : static_cast<std::uint32_t>(i - 1),
                    i + 1 == n ? NONE : static_cast<std::uint32_t>(i + 1), ids[i]};
        if (rank != NO_RANK) queue(rank, static_cast<std::uint32_t>(i));
    }
    while (!pending.keys.empty()) {
        const std::uint32_t merged = pending.pop();
        const std::uint32_t which = list_of[merged];
        round.swap(lists[which]);
        lists[which].clear();
        if (unsorted[which]) std::sort(round.begin(), round.end()), unsorted[which] = false;
        for (std::uint32_t at : round) {
            node& left = nodes[at];
            if (left.rank != merged) continue;
            // Merge: the left slot takes the new id, the right one is unlinked.
            node& right = nodes[left.next];
            left.id = static_cast<token_id>(merged);
            left.next = right.next;
            right.rank = NO_RANK;
            // The two pairs the new token is part of.
            left.rank = NO_RANK;
            if (left.next != NONE) {
                nodes[left.next].prev = at;
                left.rank = rank_of(left.id, nodes[left.next].id);
                if (left.rank != NO_RANK) queue(left.rank, at);
            }
            if (left.prev != NONE) {
                node& before = nodes[left.prev];
                before.rank = rank_of(before.id, left.id);
                if (before.rank != NO_RANK) queue(before.rank, left.prev);
            }
        }
    }
    for (std::uint32_t at = 0; at != NONE; at = nodes[at].next) out.push_back(nodes[at].id);
    // Every list is empty again; forget which merged ids had one.
    for (std::uint32_t merged : named) list_of[merged] = NONE;
    named.clear();
}

}  // namespace

void ranked_rounds_ordered(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out) {
    if (ids.empty()) return;
    thread_buffer<ordered_rounds>().run(ids, merged_of, out);
}

// A short piece needs no heap: each round scans the ranks of its adjacent
// pairs for the lowest, then rewrites the array once from the first
// occurrence on, merging every occurrence left to right. Only the pairs
// next to a merge are looked up again; every other pair keeps its rank.
// Rounds cost a scan of the piece each, so this is for short pieces only.
void ranked_rounds_short(std::span<const token_id> input, const pair_map& merged_of,
                         token_sequence& out) {
    constexpr std::uint32_t NONE = pair_map::EMPTY;
    short_scratch& scratch = thread_buffer<short_scratch>();
    token_sequence& ids = scratch.ids;
    std::vector<std::uint32_t>& ranks = scratch.ranks;
    std::vector<std::uint32_t>& merged_at = scratch.merged_at;
    ids.assign(input.begin(), input.end());
    std::size_t n = ids.size();
    ranks.resize(n);
    for (std::size_t i = 0; i + 1 < n; ++i) ranks[i] = merged_of.find(pair_key({ids[i], ids[i + 1]}));
    ranks[n - 1] = NONE;
    auto rank_at = [&](std::size_t i) {
        ranks[i] = i + 1 < n ? merged_of.find(pair_key({ids[i], ids[i + 1]})) : NONE;
    };
    for (;;) {
        // The lowest rank and where it first occurs.
        std::uint32_t low = NONE;
        std::size_t first = 0;
        for (std::size_t i = 0; i + 1 < n; ++i)
            if (ranks[i] < low) low = ranks[i], first = i;
        if (low == NONE) break;
        // Every occurrence, left to right; an occurrence overlapping the one
        // just merged has lost its left token and is not one any more.
        merged_at.clear();
        std::size_t w = first;
        for (std::size_t i = first; i < n; ++w) {
            if (ranks[i] == low) {
                ids[w] = static_cast<token_id>(low);
                merged_at.push_back(static_cast<std::uint32_t>(w));
                i += 2;
            } else {
                ids[w] = ids[i];
                ranks[w] = ranks[i];
                i += 1;
            }
        }
        n = w;
        for (std::uint32_t at : merged_at) {
            if (at > 0) rank_at(at - 1);
            rank_at(at);
        }
    }
    out.insert(out.end(), ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(n));
}

// Round by round: all entries of the lowest (merged id, left, right) are
// taken out of the heap first, then applied in position order, so an
// occurrence that a merge of this round creates (possible when a merged id
// equals a part, or several pairs share one merged id) waits for the next
// round as the definition demands.
void ranked_rounds_any(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out) {
    any_scratch& scratch = thread_buffer<any_scratch>();
    auto& list = scratch.list;
    auto& heap = scratch.heap;
    auto& round = scratch.round;
    list.assign(ids);
    heap.clear();
    const std::greater<any_scratch::entry> above;
    auto candidate = [&](std::size_t at) {
        const std::uint32_t key = list.pair_at(at);
        const std::uint32_t merged = merged_of.find(key);
        if (merged == pair_map::EMPTY) return;
        heap.push_back({(std::uint64_t{merged} << 32) | key, at});
        std::push_heap(heap.begin(), heap.end(), above);
    };
    for (std::size_t at = 0; at + 1 < ids.size(); ++at) candidate(at);
    while (!heap.empty()) {
        const std::uint64_t rank = heap.front().rank;
        round.clear();
        while (!heap.empty() && heap.front().rank == rank) {
            round.push_back(heap.front().at);
            std::pop_heap(heap.begin(), heap.end(), above);
            heap.pop_back();
        }
        // Popped in position order; a position may have been queued twice.
        round.erase(std::unique(round.begin(), round.end()), round.end());
        const auto merged = static_cast<token_id>(rank >> 32);
        const auto pair = static_cast<std::uint32_t>(rank);
        for (std::size_t at : round) {
            if (!list.starts_pair(at) || list.pair_at(at) != pair) continue;
            list.merge(at, merged);
            if (list.nodes[at].prev != list.NONE) candidate(list.nodes[at].prev);
            if (list.nodes[at].next != list.NONE) candidate(at);
        }
    }
    list.append_to(out);
}

void trim_ranked_scratch() {
    constexpr std::size_t KEEP = std::size_t{1} << 20;  // positions worth keeping per thread
    ordered_rounds& ordered = thread_buffer<ordered_rounds>();
    short_scratch& small = thread_buffer<short_scratch>();
    any_scratch& any = thread_buffer<any_scratch>();
    if (ordered.nodes.capacity() > KEEP) ordered = {};
    if (small.ids.capacity() > KEEP) small = {};
    if (any.list.nodes.capacity() > KEEP) any = {};
}

}  // namespace tolvane
