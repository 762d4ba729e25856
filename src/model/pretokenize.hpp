// Turning a training chunk into grapheme tokens, registering new graphemes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/data.hpp"

namespace tolvane {

// "oov" -> 0 in unicode_lookup, then 0 -> "" in lookup, overwriting both.
void register_oov(Data& data);

// Gives a grapheme that unicode_lookup lacks the next free id. Nothing when
// all 65,536 ids are in use: the grapheme is then not registered.
std::optional<token_id> register_grapheme(Data& data, std::string_view grapheme);

// Both chat markers reduced to "^", start marker first, left to right.
std::string replace_markers(std::string_view text);

// One id per grapheme of the marker-reduced text; unseen graphemes are
// registered, or become 0 when the id space is full.
token_sequence tokenize_chunk(Data& data, std::string_view text);

}  // namespace tolvane
