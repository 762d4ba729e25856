// Where each token of an encoded text lies in it, as code point indices
// (what a Python str indexes). A token never splits a grapheme, so every
// offset is a grapheme border; the byte tokens that stand for one unknown
// grapheme each span that whole grapheme.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "encoding/tokenizer.hpp"

namespace tolvane {

// Writes start and end of each of `ids`, the encoding of `text` by `tok`
// in either mode, to spans[0 .. 2 * ids.size()): two entries per id.
void write_token_offsets(const tokenizer& tok, std::string_view text, std::span<const token_id> ids,
                         std::uint64_t* spans);
// The same appended to `out`.
void append_token_offsets(const tokenizer& tok, std::string_view text, std::span<const token_id> ids,
                          std::vector<std::uint64_t>& out);

}  // namespace tolvane
