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

#include "encoding/encode.hpp"
#include "encoding/ranked.hpp"
#include "encoding/special_tokens.hpp"
#include "model/data.hpp"
#include "model/extras.hpp"

namespace tolvane {

enum class encode_mode : std::uint8_t {
    compatible,  // exactly what `encode` gives: merge passes on the most frequent pair
    ranked,      // learned merges in the order they were learned
};

class tokenizer {
public:
    // `extras` must fit `model` (check_extras of persist/extras.hpp).
    explicit tokenizer(Data model, model_extras extras = {});
    // The ranked encoder and the tables below are built from `data`; the
    // whole stays in one place for its lifetime.
    tokenizer(const tokenizer&) = delete;
    tokenizer& operator=(const tokenizer&) = delete;

    const Data& model() const { return data; }
    const model_extras& extras() const { return extra; }
    const special_matcher& specials() const { return special; }
    std::optional<token_id> byte_base() const { return extra.byte_base; }

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
    // With byte fallback they become the byte tokens of their UTF-8 instead.
    // `choice` says which special tokens the text may spell and which of them
    // become their ids; nullptr refuses them all (invalid_value, naming the
    // first). On failure `out` is left as it was.
    token_sequence encode(std::string_view text, encode_mode mode,
                          const special_choice* choice = nullptr) const;
    void encode_append(std::string_view text, encode_mode mode, token_sequence& out,
                       const special_choice* choice = nullptr) const;
    std::size_t count(std::string_view text, encode_mode mode, const special_choice* choice = nullptr) const;

    // Token texts joined and read as lossy UTF-8, as the module decodes; an
    // id the model lacks fails (missing_key) naming the first one.
    std::string decode(std::span<const token_id> ids) const;
    // The same without the special tokens' texts when `skip_specials`.
    std::string decode(std::span<const token_id> ids, bool skip_specials) const;

    // Each grapheme of `text` that the model does not hold, with how often
    // it occurs, in order of first occurrence; the views point into `text`.
    std::vector<std::pair<std::string_view, std::size_t>> unknown_graphemes(std::string_view text) const;

private:
    // The compatible mode into `out`, whatever it held before.
    void encode_compatible(std::string_view text, token_sequence& out) const;
    // The model's maps alone, as for a model without extras.
    void encode_plain_append(std::string_view text, encode_mode mode, token_sequence& out) const;
    std::size_t count_plain(std::string_view text, encode_mode mode) const;
    // Text between special tokens, with byte fallback where the model has it.
    void encode_piece(std::string_view piece, encode_mode mode, token_sequence& out) const;
    void replace_unknown_by_bytes(std::string_view piece, std::size_t start, token_sequence& out) const;

    Data data;
    model_extras extra;
    special_matcher special;
    special_choice refuse_all;  // the choice when a caller gives none
    bool has_extras = false;    // specials or byte fallback: the plain path is not enough
    encode_index index;  // of data, for the compatible mode
    ranked_encoder ranked;
    // By merged id: pair_key(pair) + 1 of the pair joined into it, 0 for none.
    std::vector<std::uint64_t> merged_from;
    std::optional<token_id> oov;
};

}  // namespace tolvane
