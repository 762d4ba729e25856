// Ranked encoding: graphemes to ids as `encode` maps them, then the learned
// merges applied in the order they were learned. Each round takes, among the
// adjacent pairs that are learned merges, the one with the lowest merged id
// (ties, which only hand-made models allow: smaller left id, then smaller
// right id) and replaces all its non-overlapping occurrences left to right;
// encoding stops when no adjacent pair is a learned merge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/data.hpp"

namespace tolvane {

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

    std::unordered_map<std::string, token_id, text_hash, std::equal_to<>> graphemes;
    merge_table merges;
    bool has_oov = false;
    token_id oov = 0;
};

// The message for a grapheme that is neither in the model nor replaceable by "oov".
std::string unknown_grapheme_message(std::string_view grapheme);

}  // namespace tolvane
