// Merge learning over the distinct pieces of a corpus, each weighted by how
// often the corpus holds it: the counts are those of the whole corpus, while
// the work grows with the distinct pieces only.
//
// A pair's count is the sum, over the pieces, of the piece's weight times
// the pair's occurrences in it, overlapping ones included (5 5 5 holds
// (5, 5) twice); a merge replaces the non-overlapping occurrences of a
// piece left to right. These are the counts and the merge of the designed
// sequence operations, summed over pieces, so a corpus cut into pieces and
// counted piece by piece learns what the literal reading below learns.
//
// It is not the pair engine with weights: that engine is built for one long
// sequence of a chunk (positions grouped by a counting sort, 32-bit counts,
// the designed tie order by merged id, spare arrays kept from chunk to
// chunk), and the designed run must keep its speed. Here every position
// carries its piece's weight, counts are 64 bits, and a piece's ends are
// list ends, so nothing joins two pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "model/pair_map.hpp"
#include "model/types.hpp"

namespace tolvane {

// Pieces as token sequences, one after the other, with their weights.
struct weighted_pieces {
    std::vector<token_id> tokens;
    std::vector<std::uint32_t> starts{0};  // piece i: tokens[starts[i] .. starts[i + 1])
    std::vector<std::uint64_t> weights;

    // A piece of fewer than two tokens holds no pair and is not kept.
    void add(std::span<const token_id> piece, std::uint64_t weight);
    std::size_t size() const { return weights.size(); }
};

struct merge_choice {
    token_pair pair;
    std::uint64_t count;
    friend bool operator==(const merge_choice&, const merge_choice&) = default;
};

// What a learning run may merge. A pair is only merged when its token would
// be at most max_length graphemes long (0: no limit) and it occurs at least
// min_count times. lengths[id] is the length in graphemes of every id the
// pieces hold; merged ids are appended to it.
struct merge_limits {
    std::uint64_t min_count = 2;
    std::size_t max_length = 0;
    std::vector<std::uint32_t> lengths;
};

enum class merge_stop {
    done,        // all the merges asked for were made
    below_min,   // the most frequent pair left occurs fewer than min_count times
    none_left,   // no pair is left to merge (within max_length)
};

struct learned_merges {
    std::vector<merge_choice> merges;  // merge i made the id first_id + i
    merge_stop stop = merge_stop::done;
};

// Asked every few merges with (merges done, merges asked for); throwing
// ends the run.
using merge_progress = std::function<void(std::size_t, std::size_t)>;

// The choice rule: the highest count, then the smallest (left, right).
// Ids are handed out as first_id, first_id + 1, ...
learned_merges learn_piece_merges(const weighted_pieces& pieces, token_id first_id, std::size_t wanted,
                                  merge_limits limits, const merge_progress& progress = {});

// The same taken literally: every pair of every piece counted afresh for
// every merge. The reference the incremental run is tested against.
learned_merges learn_piece_merges_literal(const weighted_pieces& pieces, token_id first_id,
                                          std::size_t wanted, merge_limits limits);

// The incremental counts. Every piece is counted once; a merge then
// changes only the counts of the pairs around the positions it rewrites.
class piece_merger {
public:
    piece_merger(const weighted_pieces& pieces, merge_limits limits);

    // The pair the choice rule takes, among those within max_length; nothing
    // when none is left. Its count may be below min_count: the caller decides.
    std::optional<merge_choice> best();
    void merge(token_pair pair, token_id merged);

    // For checks: the count of every pair with a non-zero count.
    std::vector<std::pair<std::uint32_t, std::uint64_t>> counts() const;

private:
    struct pair_entry {
        std::uint64_t count = 0;
        std::vector<std::uint32_t> positions;  // where it may start; stale ones are skipped
        std::uint32_t touched = 0;             // serial of the last merge that changed it
        std::uint32_t key = 0;
    };
    struct heap_item {
        std::uint64_t count;
        std::uint32_t key;
    };
    std::uint32_t entry_of(std::uint32_t key);
    void add_at(std::uint32_t key, std::uint64_t weight, std::uint32_t pos);
    void add_to(std::uint32_t e, std::uint32_t key, std::uint64_t weight, std::uint32_t pos);
    void take_from(std::uint32_t e, std::uint32_t key, std::uint64_t weight);
    void touch(std::uint32_t e, std::uint32_t key);
    bool allowed(std::uint32_t key) const;
    void push(std::uint32_t key, std::uint64_t count);

    static constexpr std::uint32_t NONE = UINT32_MAX;
    static constexpr std::uint32_t REMOVED = UINT32_MAX - 1;

    merge_limits limits;
    // Positions: all pieces one after the other, as linked lists whose ends
    // are NONE; a position merged into its left neighbour has prev REMOVED.
    // What a merge reads of a position sits in one node, so a position costs
    // one cache miss, not one per array (four arrays took twice as long).
    // The piece's weight is in the node too (48 bits, far beyond any corpus):
    // a separate array by piece cost a miss for every rare piece.
    struct node {
        std::uint32_t prev;
        std::uint32_t next;
        std::uint32_t weight_low;
        token_id token;
        std::uint16_t weight_high;
        std::uint64_t weight() const { return std::uint64_t{weight_high} << 32 | weight_low; }
    };
    std::vector<node> nodes;

    // The entries of the pairs a running merge of (a, b) into m breaks and
    // makes, by the neighbour's token: (x, a) and (x, m) by x, (b, y) and
    // (m, y) by y. A merge meets few distinct neighbours many times, and the
    // index is far too large to stay in cache. A slot counts only when its
    // stamp is the running merge's serial.
    struct cached_entry {
        std::uint32_t stamp = 0;
        std::uint32_t e = 0;
    };
    std::vector<cached_entry> broken_left, broken_right, made_left, made_right;
    std::uint32_t entry_by(std::vector<cached_entry>& cache, token_id neighbour, std::uint32_t key);

    pair_map index;  // pair key -> entries index
    std::vector<pair_entry> entries;
    // A max-heap by (count, then smaller key), with stale items left in it:
    // an item whose count is no longer its pair's is dropped when it comes
    // to the top, and every change of a count pushes the new one.
    std::vector<heap_item> heap;
    std::uint32_t serial = 0;
    std::vector<std::uint32_t> touched_keys;
};

}  // namespace tolvane
