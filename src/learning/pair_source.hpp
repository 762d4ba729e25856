// A working token sequence that answers "which pair is most frequent?" and
// takes merges. Merge learning and encoding are written once against this
// shape; two sources provide it:
//   literal_pairs - recounts the whole sequence for every question (the reference);
//   pair_engine   - keeps counts incremental (learning/engine.hpp), the shipped path.
// Both are templates' arguments, not a class hierarchy. For the same calls
// they must give the same answers and the same sequence, step by step.
//
// Shape:
//   S(token_sequence tokens, const merge_table& merges);  // merges is read at
//       every choice for the tie order, so it may grow between calls
//   std::optional<std::pair<token_pair, std::uint32_t>> best();  // nothing: fewer than two tokens
//   std::optional<token_pair> best_excluding(const std::vector<token_pair>& excluded);
//       // nothing: no pairs, or every pair excluded; `excluded` only grows between calls
//   void merge(token_pair pair, token_id merged);   // greedy, left to right, non-overlapping
//   std::size_t size() const;
//   token_sequence take();                          // the sequence; the source is spent
#pragma once

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "learning/pair_ops.hpp"

namespace tolvane {

class literal_pairs {
public:
    literal_pairs(token_sequence tokens, const merge_table& merges)
        : seq{std::move(tokens)}, merges{&merges} {}

    std::optional<std::pair<token_pair, std::uint32_t>> best() const {
        pair_counts counts = count_occur(seq);
        if (counts.empty()) return std::nullopt;
        return most_frequent_pair(counts, *merges);
    }

    std::optional<token_pair> best_excluding(const std::vector<token_pair>& excluded) const {
        pair_counts counts = count_occur(seq);
        bool any_left = std::any_of(counts.begin(), counts.end(), [&](const auto& entry) {
            return std::find(excluded.begin(), excluded.end(), entry.first) == excluded.end();
        });
        if (!any_left) return std::nullopt;
        return most_frequent_pair_excluding(counts, *merges, excluded);
    }

    void merge(token_pair pair, token_id merged) { seq = replace_pair(seq, pair, merged); }
    std::size_t size() const { return seq.size(); }
    token_sequence take() { return std::move(seq); }

private:
    token_sequence seq;
    const merge_table* merges;
};

}  // namespace tolvane
