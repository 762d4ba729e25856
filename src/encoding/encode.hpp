// Text to token ids with a trained model.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "model/data.hpp"
#include "encoding/merge_lookup.hpp"

namespace tolvane {

// Graphemes to ids (unknown ones to the "oov" id), then merge passes until
// the most frequent pair is not a learned merge or fewer than two tokens remain.
token_sequence encode(const Data& data, std::string_view text);

// What encoding looks up, prepared once from a model that no longer changes:
// the ids of single-byte graphemes by byte, the learned merges (merge_lookup),
// and the "oov" id. A sentence looks each of these up dozens of times, and
// the model's own maps cost several times as much per lookup.
class encode_index {
public:
    explicit encode_index(const Data& data);

    // The same result as encode(data, text); `data` must be the model the
    // index was made from, unchanged since.
    token_sequence encode(const Data& data, std::string_view text) const;
    // The same into `out`, whatever it held before. Its room is used as it
    // is, so a caller that keeps one vector for many short texts allocates
    // nothing per text.
    void encode_into(const Data& data, std::string_view text, token_sequence& out) const;

private:
    // graphemes_to_ids into `ids`, the single bytes read from `ascii`.
    void grapheme_ids(const Data& data, std::string_view text, token_sequence& ids) const;

    std::int32_t oov = -1;                // -1: the model has no "oov"
    std::array<std::int32_t, 128> ascii;  // by byte: the grapheme's id, else oov
    merge_lookup merged_of;
};

// The same result through the literal recounting operations; the reference.
token_sequence encode_literal(const Data& data, std::string_view text);

// Step one of encoding alone: one id per grapheme. Fails with
// "called `Option::unwrap()` on a `None` value" for an unknown grapheme when
// the model has no "oov".
token_sequence graphemes_to_ids(const Data& data, std::string_view text);

}  // namespace tolvane
