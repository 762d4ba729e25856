// A model fixed for encoding: the companion's Tokenizer. It never changes
// after it is made, so any number of threads may call its const members at
// once; every member is read-only on the model and keeps its scratch per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/data.hpp"
#include "encoding/encode.hpp"
#include "encoding/ranked.hpp"

namespace tolvane {

enum class encode_mode : std::uint8_t {
    compatible,  // exactly what `encode` gives: merge passes on the most frequent pair
    ranked,      // learned merges in the order they were learned
};

class tokenizer {
public:
    explicit tokenizer(Data model);
    // The ranked encoder and the tables below are built from `data`; the
    // whole stays in one place for its lifetime.
    tokenizer(const tokenizer&) = delete;
    tokenizer& operator=(const tokenizer&) = delete;

    const Data& model() const { return data; }

    // The id unknown graphemes become; nothing when the model has no "oov".
    std::optional<token_id> oov_id() const { return oov; }
    // The id of one grapheme. The "oov" entry is no grapheme (the text "oov"
    // is three of them), so it is not found here.
    std::optional<token_id> grapheme_id(std::string_view grapheme) const;
    // The pair a learned merge joined into `id`. A hand-made model may join
    // two pairs into one id; the smaller (left, right) is given then.
    std::optional<token_pair> merge_of(token_id id) const;

    // Unknown graphemes become the "oov" id; on a model without it every
    // mode fails (missing_key) with a message naming the first such grapheme.
    token_sequence encode(std::string_view text, encode_mode mode) const;
    void encode_append(std::string_view text, encode_mode mode, token_sequence& out) const;
    std::size_t count(std::string_view text, encode_mode mode) const;

    // Token texts joined and read as lossy UTF-8, as the module decodes; an
    // id the model lacks fails (missing_key) naming the first one.
    std::string decode(std::span<const token_id> ids) const;

    // Each grapheme of `text` that the model does not hold, with how often
    // it occurs, in order of first occurrence; the views point into `text`.
    std::vector<std::pair<std::string_view, std::size_t>> unknown_graphemes(std::string_view text) const;

private:
    // The compatible mode into `out`, whatever it held before.
    void encode_compatible(std::string_view text, token_sequence& out) const;

    Data data;
    encode_index index;  // of data, for the compatible mode
    ranked_encoder ranked;
    // By merged id: pair_key(pair) + 1 of the pair joined into it, 0 for none.
    std::vector<std::uint64_t> merged_from;
    std::optional<token_id> oov;
};

}  // namespace tolvane
