// Encoding many texts at once on a few threads. Each text is encoded whole
// by one thread (splitting a text would change its ids), so the work is
// spread by texts: consecutive blocks of them, handed out in order to
// whichever thread is free. The caller's thread is one of the workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "encoding/tokenizer.hpp"

namespace tolvane {

// The machine's core count, at least 1.
unsigned default_threads();

// encode(texts[i]) for every i, in order, on at most `threads` threads
// (fewer when the work is too small to pay for starting one). A failure of
// any text ends the call with the failure of the first failing text (by
// index), its message prefixed with "texts[i]: ".
// `choice` as for tokenizer::encode.
std::vector<token_sequence> encode_batch(const tokenizer& tok, std::span<const std::string_view> texts,
                                         encode_mode mode, unsigned threads,
                                         const special_choice* choice = nullptr);

// The same ids laid end to end: the ids of texts[i] are
// ids[offsets[i] .. offsets[i + 1]]; offsets has one entry more than texts.
struct flat_encoding {
    std::vector<token_id> ids;
    std::vector<std::uint64_t> offsets;
    // encode_flat_with_spans only: the start and end of each id in its own
    // text, in code points (encoding/offsets.hpp), two entries per id.
    std::vector<std::uint64_t> spans;
};
flat_encoding encode_flat(const tokenizer& tok, std::span<const std::string_view> texts,
                          encode_mode mode, unsigned threads, const special_choice* choice = nullptr);
// The same with the spans, each text's found by the thread that encoded it.
flat_encoding encode_flat_with_spans(const tokenizer& tok, std::span<const std::string_view> texts,
                                     encode_mode mode, unsigned threads,
                                     const special_choice* choice = nullptr);

}  // namespace tolvane
