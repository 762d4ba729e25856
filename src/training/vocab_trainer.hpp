// Training to a chosen vocabulary size from the counts of a whole corpus.
//
// Documents are cut into pieces no token may span (training/pieces.hpp) and
// only the distinct pieces are kept, with their counts; learning then runs
// once over the distinct pieces, each weighted by its count. Memory grows
// with the distinct pieces, not with the corpus: a corpus repeated ten times
// takes what it takes once. A corpus of ever new pieces (text without
// spaces, say) would grow it without end: past `memory_limit` the rarest
// pieces are forgotten, down to half the limit, after the batch that
// crossed it. Until then every count is exact.
//
// Ids of the model made, in this order:
//   0          "oov", as every model has it;
//   1..k       the special tokens, in the order given: in `lookup` only,
//              never in `unicode_lookup`, never in a merge;
//   byte_base  with byte fallback, 256 tokens whose texts are the single
//              bytes 0..255; an ASCII byte's token is also that character's
//              grapheme token, the other 128 are in no other map;
//   then       the graphemes that get an id, most frequent first (equal
//              counts: smaller UTF-8 first);
//   then       the merges, in the order learned, each id larger than its parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/data.hpp"
#include "training/pieces.hpp"

namespace tolvane {

// With byte fallback, the non-ASCII graphemes that get an id are the most
// frequent ones that together with ASCII cover this share of the corpus's
// graphemes; the rarer rest is left to byte tokens and never merged.
constexpr double DEFAULT_GRAPHEME_COVERAGE = 0.9995;

struct vocab_trainer_options {
    std::vector<std::string> special_tokens;
    bool byte_fallback = false;
    std::size_t max_token_length = 0;  // in graphemes; 0: no limit
    double grapheme_coverage = DEFAULT_GRAPHEME_COVERAGE;  // in (0, 1]; byte fallback only
    unsigned threads = 1;
    // About the most the counts and the learning after them may take, in
    // bytes (see piece_footprint); 0: no limit.
    std::uint64_t memory_limit = 0;
};

// What a table of counts is expected to cost, the table itself and what
// learning builds from it, reckoned from what it holds alone (its distinct
// pieces and their bytes, never how it grew), so that the limit is met at
// the same moments however the counting was cut over threads.
std::uint64_t piece_footprint(std::uint64_t distinct_pieces, std::uint64_t text_bytes);

// What a long learning step tells its host, between steps: the stage
// ("graphemes", "pairs", "merges") and how far it is. should_stop returning
// true ends the run with stop_requested.
struct trainer_progress {
    std::function<void(std::string_view stage, std::uint64_t done, std::uint64_t total)> report;
    std::function<bool()> should_stop;
};

struct trained_vocab {
    Data data;
    std::optional<token_id> byte_base;
    std::vector<token_id> special_ids;
    std::size_t graphemes = 0;           // graphemes with an id of their own beside the byte tokens
    std::size_t graphemes_to_bytes = 0;  // distinct graphemes left to byte fallback
    std::size_t merges = 0;
    bool stopped_early = false;
    std::string reason;  // why learning ended, a sentence
    std::uint64_t pieces = 0, distinct_pieces = 0, distinct_piece_bytes = 0, bytes = 0;
    std::uint64_t counts_memory = 0;  // piece_footprint of the counts learned from
    // The memory limit's work: how often the rarest pieces were forgotten,
    // how many distinct pieces were, and the count the last time fell below.
    std::uint64_t forgettings = 0, forgotten_pieces = 0, forgotten_below = 0;
};

class vocab_trainer {
public:
    // Fails (invalid_value) for an empty or repeated special token, a
    // coverage outside (0, 1], or a thread count of 0.
    explicit vocab_trainer(vocab_trainer_options options);

    // One document, valid UTF-8. Pieces never cross documents, nor the
    // spelling of a special token, which is not counted.
    void add(std::string_view document);
    // Many documents, counted on up to `threads` threads.
    void add_many(std::span<const std::string_view> documents);

    // Fails (invalid_value) for a vocab_size outside what the ids can hold,
    // min_frequency 0, an empty corpus, or, without byte fallback, more
    // graphemes than vocab_size leaves room for. May be called again, with
    // other sizes, and more documents added between calls.
    trained_vocab learn(std::size_t vocab_size, std::uint64_t min_frequency,
                        const trainer_progress& progress = {});

    const vocab_trainer_options& options() const { return opts; }
    std::uint64_t bytes() const { return bytes_added; }

private:
    void count_document(std::string_view document, piece_counts& into) const;
    piece_counts& merged_table();
    void keep_within_limit();

    vocab_trainer_options opts;
    // Special spellings, longest first: at one position the longest wins.
    std::vector<std::string_view> specials_by_length;
    std::vector<piece_counts> tables;  // one per counting thread, merged for learning
    std::uint64_t bytes_added = 0;
    std::uint64_t forgettings = 0, forgotten_pieces = 0, forgotten_below = 0;
};

}  // namespace tolvane
