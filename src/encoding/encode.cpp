#include "encoding/encode.hpp"

#include <cstring>

#include "model/ascii_ids.hpp"
#include "learning/engine.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "learning/pair_source.hpp"
#include "encoding/short_passes.hpp"

namespace tolvane {

namespace {

constexpr std::string_view OOV_KEY = "oov";

// Whether any byte of `word` is CR or has its high bit set: the test for a
// zero byte, applied to the word and to the word xor CR in every byte.
bool has_cr_or_high_bit(std::uint64_t word) {
    constexpr std::uint64_t ONES = 0x0101010101010101ull;
    constexpr std::uint64_t HIGHS = 0x8080808080808080ull;
    const std::uint64_t cr = word ^ (ONES * '\r');
    return ((word | ((cr - ONES) & ~cr)) & HIGHS) != 0;
}

[[noreturn]] void fail_unknown_grapheme() {
    fail_as(failure_kind::missing_key, "called `Option::unwrap()` on a `None` value");
}

// The merge passes, written once for any pair source: take the most frequent
// pair (ties in the fixed order, so a learned merge wins a tie); merge it if it
// is a learned merge, otherwise stop. No other pair is looked at, even if a
// less frequent one is a learned merge.
//
// Fewer than two tokens, from the start or after a merge, leave nothing to
// choose: the sequence is the result (an empty text encodes to no ids, one
// grapheme to its id) rather than a failure.
template <class Source>
token_sequence merge_passes(token_sequence tokens, const merge_table& merges) {
    if (tokens.size() < 2 || merges.empty()) return tokens;
    Source source{std::move(tokens), merges};
    while (auto best = source.best()) {
        const token_id* merged = find_merge(merges, best->first);
        if (!merged) break;
        source.merge(best->first, *merged);
    }
    return source.take();
}

}  // namespace

token_sequence graphemes_to_ids(const Data& data, std::string_view text) {
    token_sequence ids;
    ids.reserve(text.size() + SHORT_PASSES_SLACK);  // at most one grapheme per byte
    const token_id* oov = nullptr;
    auto resolve = [&](std::string_view g) {
        if (const token_id* id = find_grapheme(data.unicode_lookup, g)) return *id;
        if (!oov) {
            oov = find_grapheme(data.unicode_lookup, OOV_KEY);
            if (!oov) fail_unknown_grapheme();
        }
        return *oov;
    };
    ascii_ids known;
    for_each_grapheme(text, [&](std::string_view g) { ids.push_back(known.get(g, resolve)); });
    return ids;
}

token_sequence encode(const Data& data, std::string_view text) {
    token_sequence ids = graphemes_to_ids(data, text);
    if (ids.size() > SHORT_PASSES_LIMIT) return merge_passes<pair_engine>(std::move(ids), data.merges);
    short_merge_passes(ids, data.merges, nullptr);
    return ids;
}

merge_lookup::merge_lookup(const merge_table& merges) : small(SMALL * SMALL, NO_MERGE), others{merges.size()} {
    std::vector<bool> taken(MAX_TOKENS, false);  // by merged id
    bool small_usable = true;
    bool inserted = false;
    for (const auto& [pair, merged] : merges) {
        const std::uint32_t key = pair_key(pair);
        others.find_or_insert(key, merged, inserted);
        if ((key & SMALL_MASK) == 0) {
            small[pair.left * SMALL + pair.right] = merged;
            if (merged == NO_MERGE) small_usable = false;
        }
        if (taken[merged]) unique = false;
        taken[merged] = true;
    }
    if (!small_usable) small.clear();
}

encode_index::encode_index(const Data& data) : merged_of{data.merges} {
    if (const token_id* id = find_grapheme(data.unicode_lookup, OOV_KEY)) oov = *id;
    for (unsigned b = 0; b < ascii.size(); ++b) {
        const char c = static_cast<char>(b);
        const token_id* id = find_grapheme(data.unicode_lookup, std::string_view{&c, 1});
        ascii[b] = id ? *id : oov;
    }
}

void encode_index::grapheme_ids(const Data& data, std::string_view text, token_sequence& ids) const {
    ids.resize(text.size() + SHORT_PASSES_SLACK);  // at most one grapheme per byte
    token_id* out = ids.data();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        // An ASCII byte before another is a grapheme of its own, CR LF
        // aside (grapheme_end's shortcut): eight such bytes at once give
        // seven graphemes. Any id below zero is an unknown byte without "oov".
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, sizeof word);
            if (!has_cr_or_high_bit(word)) {
                std::int32_t seen = 0;
                for (int k = 0; k < 7; ++k) {
                    const std::int32_t id = ascii[bytes[i + k]];
                    seen |= id;
                    out[k] = static_cast<token_id>(id);
                }
                if (seen < 0) fail_unknown_grapheme();
                out += 7;
                i += 7;
                continue;
            }
        }
        const std::size_t end = grapheme_end(text, i);
        std::int32_t id;
        if (end == i + 1 && bytes[i] < 0x80)
            id = ascii[bytes[i]];
        else if (const token_id* found = find_grapheme(data.unicode_lookup, text.substr(i, end - i)))
            id = *found;
        else
            id = oov;
        if (id < 0) fail_unknown_grapheme();
        *out++ = static_cast<token_id>(id);
        i = end;
    }
    ids.resize(static_cast<std::size_t>(out - ids.data()));
}

token_sequence encode_index::encode(const Data& data, std::string_view text) const {
    token_sequence ids;
    encode_into(data, text, ids);
    return ids;
}

void encode_index::encode_into(const Data& data, std::string_view text, token_sequence& out) const {
    grapheme_ids(data, text, out);
    if (out.size() > SHORT_PASSES_LIMIT)
        out = merge_passes<pair_engine>(std::move(out), data.merges);
    else
        short_merge_passes(out, data.merges, &merged_of);
}

token_sequence encode_literal(const Data& data, std::string_view text) {
    return merge_passes<literal_pairs>(graphemes_to_ids(data, text), data.merges);
}

}  // namespace tolvane
