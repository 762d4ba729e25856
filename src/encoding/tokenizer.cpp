#include "encoding/tokenizer.hpp"

#include <array>
#include <unordered_map>

#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"

namespace tolvane {

namespace {

constexpr std::string_view OOV_KEY = "oov";

}  // namespace

tokenizer::tokenizer(Data model, model_extras extras)
    : data{std::move(model)},
      extra{std::move(extras)},
      special{extra.specials},
      refuse_all{special_choice::refuse_all(extra.specials.size())},
      has_extras{!extra.specials.empty() || extra.byte_base.has_value()},
      index{data},
      ranked{data} {
    if (const token_id* id = find_grapheme(data.unicode_lookup, OOV_KEY)) oov = *id;
    for (const auto& [pair, merged] : data.merges) {
        if (merged >= merged_from.size()) merged_from.resize(std::size_t{merged} + 1, 0);
        const std::uint64_t key = std::uint64_t{pair_key(pair)} + 1;
        std::uint64_t& slot = merged_from[merged];
        if (slot == 0 || key < slot) slot = key;
    }
}

std::optional<token_id> tokenizer::grapheme_id(std::string_view grapheme) const {
    if (grapheme == OOV_KEY) return std::nullopt;
    if (const token_id* id = find_grapheme(data.unicode_lookup, grapheme)) return *id;
    return std::nullopt;
}

std::optional<token_pair> tokenizer::merge_of(token_id id) const {
    if (id >= merged_from.size() || merged_from[id] == 0) return std::nullopt;
    return pair_from_key(static_cast<std::uint32_t>(merged_from[id] - 1));
}

void tokenizer::encode_compatible(std::string_view text, token_sequence& out) const {
    try {
        index.encode_into(data, text, out);
    } catch (const failure& f) {
        // The module's message names nothing; the companion names the grapheme.
        if (f.kind != failure_kind::missing_key) throw;
        auto unknown = unknown_graphemes(text);
        if (unknown.empty()) throw;
        fail_as(failure_kind::missing_key, unknown_grapheme_message(unknown.front().first));
    }
}

token_sequence tokenizer::encode(std::string_view text, encode_mode mode, const special_choice* choice) const {
    if (has_extras) {
        token_sequence ids;
        encode_append(text, mode, ids, choice);
        return ids;
    }
    if (mode == encode_mode::ranked) return ranked.encode(text);
    token_sequence ids;
    encode_compatible(text, ids);
    return ids;
}

void tokenizer::encode_plain_append(std::string_view text, encode_mode mode, token_sequence& out) const {
    if (mode == encode_mode::ranked) return ranked.encode_append(text, out);
    if (out.empty()) {
        // Straight into `out`, which a failure leaves as it found it.
        try {
            encode_compatible(text, out);
        } catch (...) {
            out.clear();
            throw;
        }
        return;
    }
    token_sequence ids;
    encode_compatible(text, ids);
    out.insert(out.end(), ids.begin(), ids.end());
}

std::size_t tokenizer::count_plain(std::string_view text, encode_mode mode) const {
    if (mode == encode_mode::ranked) return ranked.count(text);
    return encode(text, mode).size();
}

std::string tokenizer::decode(std::span<const token_id> ids) const {
    for (token_id id : ids)
        if (!data.lookup.contains(id))
            fail_as(failure_kind::missing_key, "token id " + std::to_string(id) + " is not in the model");
    return decode_tokens(data, ids);
}

std::vector<std::pair<std::string_view, std::size_t>> tokenizer::unknown_graphemes(
        std::string_view text) const {
    std::vector<std::pair<std::string_view, std::size_t>> found;
    std::unordered_map<std::string_view, std::size_t> slot_of;  // grapheme -> index in found
    // Most graphemes are single ASCII bytes: whether those are known is
    // asked of the table once per byte value.
    enum : std::uint8_t { UNASKED, KNOWN, UNKNOWN };
    std::array<std::uint8_t, 128> ascii{};
    for_each_grapheme(text, [&](std::string_view g) {
        const bool single = g.size() == 1 && static_cast<unsigned char>(g[0]) < 0x80;
        if (single) {
            std::uint8_t& state = ascii[static_cast<unsigned char>(g[0])];
            if (state == UNASKED) state = find_grapheme(data.unicode_lookup, g) ? KNOWN : UNKNOWN;
            if (state == KNOWN) return;
        } else if (find_grapheme(data.unicode_lookup, g)) {
            return;
        }
        auto [at, inserted] = slot_of.try_emplace(g, found.size());
        if (inserted) found.emplace_back(g, 0);
        ++found[at->second].second;
    });
    return found;
}

}  // namespace tolvane
