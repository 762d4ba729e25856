// The incremental pair engine (see learning/pair_source.hpp for the shape it follows).
//
// It gives the same answers as literal_pairs, call for call, but counts the
// sequence once: a merge changes only the counts of the pairs around the
// positions it rewrites, so it updates exactly those.
//
// Structures, all flat arrays over the positions of the original sequence:
//   - the sequence as a linked list with the pair starting at each position
//     (removed slots are marked, not erased; take() compacts once), so a
//     merge rewrites in place;
//   - for every pair, the positions where it may start: the ones of the first
//     count in one block, ascending, plus a list of the positions where a
//     merge made it, in blocks of seven from one shared pool (a separate
//     allocation per pair cost a tenth of a chunk in the allocator), which
//     also takes back the first-count blocks of merged pairs. An
//     entry whose position has since changed is left in place and skipped
//     when read: the pair's count, kept exactly, is what the choices use.
//     Walking linked occurrence lists instead cost a cache miss per step and
//     was the larger part of a chunk's learning time;
//   - an indexed max-heap over the pairs that occur at least a few times
//     (heap_floor), ordered by count and then by tie rank, so the best pair
//     is always at the top.
// Memory is 12 bytes per position (8 sequence node, 4 block) plus
// up to two list entries per merged occurrence and 48 bytes per distinct pair:
// about 13.0 bytes per position after the first count and 17.7 at the peak of
// a 3 MB chunk of English (make bench).
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "learning/page_allocator.hpp"
#include "model/pair_map.hpp"
#include "learning/pair_source.hpp"

namespace tolvane {

class pair_engine {
public:
    class spare_arrays;

    // `merges` must outlive the engine; it is read at every choice, for the
    // tie order, and may grow between calls. With `spare`, the engine takes
    // its large arrays from there and leaves them there when it ends.
    pair_engine(token_sequence tokens, const merge_table& merges, spare_arrays* spare = nullptr);
    ~pair_engine();
    pair_engine(const pair_engine&) = delete;
    pair_engine& operator=(const pair_engine&) = delete;

    // The most frequent pair and its count; nothing with fewer than two tokens.
    std::optional<std::pair<token_pair, std::uint32_t>> best();
    // The most frequent pair not in `excluded`; nothing when none is left.
    // `excluded` may only grow by appending between calls.
    std::optional<token_pair> best_excluding(const std::vector<token_pair>& excluded);
    // Every non-overlapping occurrence of `pair`, left to right, becomes `merged`.
    void merge(token_pair pair, token_id merged);
    std::size_t size() const { return live; }
    // The current sequence; the engine is spent afterwards.
    token_sequence take();

    // From this many positions on, the first count runs on two threads.
    // Tests lower it to run that path on short sequences.
    static inline std::size_t split_first_count_from = std::size_t{1} << 20;

    // For checks, without spending the engine: the current sequence, and the
    // count of every pair in it as the engine holds it. counts() fails when
    // an occurrence list disagrees with its count or holds a position where
    // the pair does not start.
    token_sequence sequence() const;
    pair_counts counts() const;

private:
    // A position: its link and the entry of the pair that starts there, side
    // by side, since a merge reads both. With the pair at hand a merge takes
    // the pairs it breaks off their counts without a lookup, and reads the
    // neighbours' tokens from those pairs' keys: a live position's token is
    // the left half of its pair, so only the last one keeps its token
    // elsewhere (last_token). There is no backward link either: the left
    // neighbour of a live position is the slot before it, or, when that one
    // was merged away, the start of the span it ended (its link). Eight bytes
    // a position, against twelve for two links and a token, and each fewer
    // byte is one less to fetch and one less page to clear for every chunk.
    struct node {
        std::uint32_t link;  // live: the next live position or NONE; the last slot
                             // of a merged span: the span's start
        std::uint32_t pair;  // live: the pair's entry, NONE at the end; REMOVED once
                             // merged into its left neighbour
    };
    struct pair_entry {
        std::uint64_t rank;     // tie_rank as of known_merges; current while in the heap
        std::uint32_t key;      // pair_key of the pair
        std::uint32_t count;    // occurrences in the sequence, overlapping ones included
        std::uint32_t block_at;    // its positions from the first count: block[block_at..]
        std::uint32_t block_size;  // how many; zero once the pair has been merged
        std::uint32_t heap_at;  // index in `heap`, or NONE when out of it
        std::uint32_t touched;  // serial of the last merge that changed the count
        // The positions merges made it at: `added` of them, in the pool's
        // blocks from added_head on; the next one goes to pool[added_end].
        // Blocks start at multiples of BLOCK_SIZE, so added_end at such a
        // multiple means the last block is full, and its link word is
        // added_end - BLOCK_SIZE: no division by the positions a block holds.
        std::uint32_t added;
        std::uint32_t added_head;
        std::uint32_t added_end;
    };
    // A pool block: the next block's index, then BLOCK_POSITIONS positions.
    static constexpr std::uint32_t BLOCK_SIZE = 8;
    static constexpr std::uint32_t BLOCK_POSITIONS = BLOCK_SIZE - 1;
    // Keeping the pool's size in step with its use cost every new block a
    // resize; it grows by up to this many blocks at a time instead.
    static constexpr std::size_t POOL_GROWTH = 1 << 12;
    std::uint32_t added_tail(const pair_entry& entry) const { return (entry.added_end - 1) & ~(BLOCK_SIZE - 1); }

    static constexpr std::uint32_t NONE = UINT32_MAX;
    static constexpr std::uint32_t REMOVED = UINT32_MAX - 1;
    // heap_at of an excluded pair, kept out of the heap (see absorb_exclusions).
    static constexpr std::uint32_t PARKED = UINT32_MAX - 1;
    static bool in_heap(const pair_entry& entry) { return entry.heap_at < PARKED; }

    // A heap slot carries what its pair is ordered by, so that sifting
    // compares slots next to each other instead of reading two entries from
    // anywhere in memory at every step.
    struct heap_slot {
        std::uint64_t tie;    // tie_of: smaller first
        // The count the heap is ordered by, higher first. A merge changes
        // many counts at once; the heap takes them one pair at a time, and
        // every sift is only sound while all other pairs sit where their
        // slot's count says.
        std::uint32_t count;
        std::uint32_t e;
    };
    // The tie rule, in one place: a higher count first; on equal counts the
    // smaller tie rank. Equal ranks only arise from two merges with the same
    // merged id (a hand-made model); the smaller pair key then decides, so
    // the order stays total and repeatable. Learned ranks are below 2^16 and
    // the others 2^32 and up, so (rank, key) packs into 64 bits in order.
    static std::uint64_t tie_of(const pair_entry& entry) {
        return entry.rank < (std::uint64_t{1} << 32) ? entry.rank << 32 | entry.key
                                                      : std::uint64_t{1} << 48 | entry.key;
    }
    static bool before(const heap_slot& x, const heap_slot& y) {
        if (x.count != y.count) return x.count > y.count;
        return x.tie < y.tie;
    }
    heap_slot slot_of(std::uint32_t e) const { return {tie_of(entries[e]), entries[e].count, e}; }

public:
    // The large arrays one engine leaves to the next of a training run, each
    // chunk's engine being as large as the last. Their pages stay mapped
    // from chunk to chunk: mapping and clearing them afresh was most of the
    // sixth of a corpus's training spent in the kernel. The pool keeps only
    // the part the next first count overwrites, so the memory held between
    // two chunks stays under an engine's own peak.
    class spare_arrays {
        friend class pair_engine;
        std::vector<node, page_allocator<node>> seq;
        std::vector<std::uint32_t, page_allocator<std::uint32_t>> pool;
        std::vector<pair_entry, page_allocator<pair_entry>> entries;
    };

private:
    std::uint32_t entry_for(std::uint32_t key);
    std::uint32_t add_entry(std::uint32_t key);
    std::uint64_t rank_of(std::uint32_t key) const;
    void load_merge_ids();
    void count_first_pairs(const token_sequence& tokens);
    void first_count_in_halves(const token_sequence& tokens);
    void size_pool();
    void place_blocks();
    template <class First, class Second>
    static void in_two_halves(First&& first, Second&& second);
    std::uint32_t add_occurrence(std::uint32_t pos, std::uint32_t e);
    std::uint32_t new_block();
    void recycle(std::uint32_t from, std::uint32_t to);
    [[gnu::noinline]] void grow_pool();
    std::uint32_t new_pair(std::vector<std::uint32_t>& by_other, std::vector<token_id>& filled,
                           token_id other, std::uint32_t key);
    void drop_occurrence(std::uint32_t e);
    template <class Out>
    void read_added(const pair_entry& entry, Out&& out) const;
    token_id token_at(std::uint32_t pos) const {
        const std::uint32_t e = seq[pos].pair;
        return e == NONE ? last_token : static_cast<token_id>(entries[e].key >> 16);
    }
    std::uint32_t left_of(std::uint32_t pos) const {
        if (pos == 0) return NONE;
        return seq[pos - 1].pair == REMOVED ? seq[pos - 1].link : pos - 1;
    }
    void touch(std::uint32_t e);
    void merge_at(std::uint32_t pos, std::uint32_t merging, token_id merged);
    void settle_touched();
    void sync_ranks(const token_pair* just_merged);
    void absorb_exclusions(const std::vector<token_pair>& excluded);
    void lift_exclusions();

    std::optional<token_pair> best_allowed_in_heap();
    void fill_heap();
    bool lower_floor();

    void heap_push(std::uint32_t e);
    void heap_remove(std::uint32_t e);
    void sift_up(std::size_t at);
    void sift_down(std::size_t at);
    void place(std::size_t at, const heap_slot& slot) {
        heap[at] = slot;
        entries[slot.e].heap_at = static_cast<std::uint32_t>(at);
    }

    spare_arrays* spare;
    const merge_table* merges;
    std::size_t known_merges;  // merges->size() the cached ranks agree with
    // Above this many positions the engine ranks pairs from its own copy of
    // the merged ids (rank_of); copying them would cost a short text more
    // than it saves.
    static constexpr std::size_t OWN_MERGE_IDS_FROM = 1 << 16;
    bool own_merge_ids = false;
    pair_map merge_ids;  // pair key -> merged id, as of known_merges

    std::vector<node, page_allocator<node>> seq;
    std::size_t live;
    token_id last_token = 0;  // the token of the last live position
    // The first count's positions grouped by pair (pool[0, n - 1)), then
    // the added lists' blocks.
    std::vector<std::uint32_t, page_allocator<std::uint32_t>> pool;
    std::uint32_t pool_used = 0;  // pool[pool_used..] is not given out yet
    std::uint32_t free_blocks = NONE;  // chain of blocks given back, through their first word

    std::vector<pair_entry, page_allocator<pair_entry>> entries;
    pair_map index;  // pair key -> entries index
    std::vector<heap_slot> heap;
    // The heap holds the pairs that occur at least this often; the rest
    // wait outside it. Most pairs of a long sequence occur once or twice,
    // and most of the pairs a merge makes or breaks are among them: keeping
    // those out of the heap spares it most of its sifts, and a choice never
    // needs them while some pair in the heap is left. When none is, the
    // floor drops to one for good (lower_floor).
    std::uint32_t heap_floor = PARKED_BELOW;
    static constexpr std::uint32_t PARKED_BELOW = 4;

    // The entries of the pairs the running merge makes, (x, merged) by x and
    // (merged, y) by y, each found in the index once per merge: a merge
    // makes many occurrences of few distinct pairs, and the index is far too
    // large to stay in cache. NONE where not found yet; indexed by token id,
    // as far as any id seen so far.
    std::vector<std::uint32_t> made_after;   // (x, merged) by x
    std::vector<std::uint32_t> made_before;  // (merged, y) by y
    std::vector<token_id> filled_after, filled_before;
    std::vector<std::uint8_t> appeared;  // by token id: ever in the sequence
    bool fresh_merge = false;            // the running merge's token had not appeared
    std::vector<std::uint32_t> unindexed;  // entries the running merge made, not in the index yet

    std::uint32_t serial = 0;
    std::vector<std::uint32_t> touched;  // entries changed by the running merge
    std::vector<std::uint32_t> snapshot; // occurrences of the pair being merged

    pair_map excluded_keys;  // the caller's exclusion list as a set
    std::size_t absorbed = 0;
    std::vector<std::uint32_t> parked;  // entries of excluded pairs, out of the heap
    std::vector<std::uint32_t> frontier;  // heap indices still to look at in best_excluding
};

}  // namespace tolvane
