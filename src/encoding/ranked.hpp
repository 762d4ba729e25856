// Ranked encoding: graphemes to ids as `encode` maps them, then the learned
// merges applied in the order they were learned. Each round takes, among the
// adjacent pairs that are learned merges, the one with the lowest merged id
// (ties, which only hand-made models allow: smaller left id, then smaller
// right id) and replaces all its non-overlapping occurrences left to right;
// encoding stops when no adjacent pair is a learned merge.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/data.hpp"
#include "model/pair_map.hpp"

namespace tolvane {

class segment_cache;

// The definition taken literally, rescanning the whole sequence every round.
// Slow on long texts; kept as the reference the encoder is tested against.
token_sequence encode_ranked_literal(const Data& data, std::string_view text);
token_sequence apply_ranked_literal(token_sequence ids, const merge_table& merges);

// The shipped path. Built once from a model and immutable afterwards, so any
// number of threads may call its const members at once: per-call scratch lives
// on the stack or in thread_local buffers. It keeps its own copies of what it
// needs and holds no reference to the model it was built from.
//
// An unknown grapheme becomes the "oov" id; without "oov" in the model the
// call fails with a message naming the grapheme.
class ranked_encoder {
public:
    explicit ranked_encoder(const Data& data);

    token_sequence encode(std::string_view text) const;
    // Appends the ids of `text` to `out`; on failure `out` is left as it was.
    void encode_append(std::string_view text, token_sequence& out) const;
    // The number of ids encode(text) returns, without building the result.
    std::size_t count(std::string_view text) const;

private:
    token_id grapheme_id(std::string_view g) const;
    // Each appends the ranked result of `ids` to `out`.
    void merge_segment(std::span<const token_id> ids, token_sequence& out) const;
    void append_piece(std::span<const token_id> ids, token_sequence& out, segment_cache& cache) const;
    // Cuts only where no token can span; `first` and `last` receive the ids
    // of the first and last graphemes (left alone for an empty text).
    void encode_segments(std::string_view text, token_sequence& out, token_id& first,
                         token_id& last) const;
    // Ordered models: also cuts on trial after spaces.
    void encode_words(std::string_view text, token_sequence& out) const;
    bool pieces_join(token_id last, token_id last_grapheme, token_id first,
                     token_id first_grapheme) const;
    void find_spanned_pairs();
    void list_partners();

    // Tells this encoder's results apart in the per-thread cache of merged
    // segments; copies share it, since they give the same results.
    std::uint64_t serial;

    // Graphemes: single bytes through a table (-1: not in the model), the rest hashed.
    std::array<std::int32_t, 128> ascii_graphemes;
    std::unordered_map<std::string, token_id, text_hash, std::equal_to<>> graphemes;
    std::optional<token_id> oov;

    // Packed pair -> merged id, the hot loop's only view of the merges.
    pair_map merged_of;
    // True when every merged id has one pair and exceeds both its parts, as
    // training makes them. Then a round can never create a pair of its own
    // rank, so one heap keyed by (merged id, position) runs the rounds
    // exactly, and the text splits where no token can span the boundary.
    bool ordered = false;
    // Ordered models only: merged id -> its packed pair (pair_map::EMPTY for
    // ids that are not merges).
    std::vector<std::uint32_t> parts_of;
    // Ordered models only: the adjacent grapheme pairs that some token spans.
    // Between any other two graphemes no merge can ever join, so the text is
    // cut there and each piece merged on its own with a small heap.
    pair_map spanned;
    bool cut = false;  // spanned is complete; false when too large to build
    // Ordered models only: the learned merges by left part. Those of left
    // id x are partners[partners_from[x] .. partners_from[x + 1]), each its
    // right part and merged id, by merged id; ids past the end have none.
    struct partner {
        token_id right;
        token_id merged;
    };
    std::vector<std::uint32_t> partners_from;
    std::vector<partner> partners;
};

// The message for a grapheme that is neither in the model nor replaceable by "oov".
std::string unknown_grapheme_message(std::string_view grapheme);

}  // namespace tolvane
