#include "model/encode.hpp"

#include "model/ascii_ids.hpp"
#include "model/engine.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "model/pair_source.hpp"
#include "model/small_pairs.hpp"

namespace tolvane {

namespace {

// Up to this many graphemes the flat small source is faster than setting up
// the engine; past it the engine's logarithmic choice wins.
constexpr std::size_t SMALL_INPUT_TOKENS = 256;

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
    ids.reserve(text.size());  // at most one grapheme per byte
    const token_id* oov = nullptr;
    auto resolve = [&](std::string_view g) {
        if (const token_id* id = find_grapheme(data.unicode_lookup, g)) return *id;
        if (!oov) {
            oov = find_grapheme(data.unicode_lookup, "oov");
            if (!oov) fail_as(failure_kind::missing_key, "called `Option::unwrap()` on a `None` value");
        }
        return *oov;
    };
    ascii_ids known;
    for_each_grapheme(text, [&](std::string_view g) { ids.push_back(known.get(g, resolve)); });
    return ids;
}

token_sequence encode(const Data& data, std::string_view text) {
    token_sequence ids = graphemes_to_ids(data, text);
    if (ids.size() <= SMALL_INPUT_TOKENS) return merge_passes<small_pairs>(std::move(ids), data.merges);
    return merge_passes<pair_engine>(std::move(ids), data.merges);
}

token_sequence encode_literal(const Data& data, std::string_view text) {
    return merge_passes<literal_pairs>(graphemes_to_ids(data, text), data.merges);
}

}  // namespace tolvane
