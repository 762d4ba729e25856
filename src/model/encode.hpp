// Text to token ids with a trained model.
#pragma once

#include <string_view>

#include "model/data.hpp"

namespace tolvane {

// Graphemes to ids (unknown ones to the "oov" id), then merge passes until
// the most frequent pair is not a learned merge or fewer than two tokens remain.
token_sequence encode(const Data& data, std::string_view text);

// The same result through the literal recounting operations; the reference.
token_sequence encode_literal(const Data& data, std::string_view text);

// Step one of encoding alone: one id per grapheme. Fails with
// "called `Option::unwrap()` on a `None` value" for an unknown grapheme when
// the model has no "oov".
token_sequence graphemes_to_ids(const Data& data, std::string_view text);

}  // namespace tolvane
