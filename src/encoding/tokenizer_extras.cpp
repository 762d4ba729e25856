// The tokenizer's special tokens and byte fallback, around the plain
// encoding of tokenizer.cpp. A model without them takes the plain path
// unchanged; one with them encodes the text between matched special tokens
// piece by piece, and with byte fallback turns each unknown grapheme, which
// the plain encoding leaves as the "oov" id (a trainer model merges no pair
// with it), into the byte tokens of its UTF-8.
#include <algorithm>

#include "encoding/tokenizer.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"

namespace tolvane {

void tokenizer::encode_append(std::string_view text, encode_mode mode, token_sequence& out,
                              const special_choice* choice) const {
    if (!has_extras) return encode_plain_append(text, mode, out);
    const special_choice& c = choice ? *choice : refuse_all;
    if (c.refuses_any())
        if (auto m = special.find(text, 0, c.refuse))
            fail_as(failure_kind::invalid_value, refused_special_message(special[m->index].text, m->at));
    const std::size_t start = out.size();
    try {
        std::size_t from = 0;
        if (c.matches_any()) {
            while (auto m = special.find(text, from, c.match)) {
                encode_piece(text.substr(from, m->at - from), mode, out);
                out.push_back(special[m->index].id);
                from = m->at + special[m->index].text.size();
            }
        }
        encode_piece(text.substr(from), mode, out);
    } catch (...) {
        out.resize(start);
        throw;
    }
}

void tokenizer::encode_piece(std::string_view piece, encode_mode mode, token_sequence& out) const {
    if (piece.empty()) return;
    const std::size_t start = out.size();
    encode_plain_append(piece, mode, out);
    if (extra.byte_base && oov) replace_unknown_by_bytes(piece, start, out);
}

void tokenizer::replace_unknown_by_bytes(std::string_view piece, std::size_t start, token_sequence& out) const {
    const auto first = std::find(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), *oov);
    if (first == out.end()) return;
    // "oov" takes part in no merge, so each of its ids stands for exactly one
    // unknown grapheme, in text order.
    std::vector<std::string_view> unknown;
    for_each_grapheme(piece, [&](std::string_view g) {
        if (g.size() == 1 && static_cast<unsigned char>(g[0]) < 0x80) return;  // a byte token's grapheme
        if (!find_grapheme(data.unicode_lookup, g)) unknown.push_back(g);
    });
    const token_sequence tail(first, out.end());
    out.erase(first, out.end());
    std::size_t next = 0;
    for (token_id id : tail) {
        if (id != *oov) {
            out.push_back(id);
            continue;
        }
        if (next == unknown.size()) fail("more \"oov\" ids than unknown graphemes in a piece");
        for (char byte : unknown[next++])
            out.push_back(static_cast<token_id>(*extra.byte_base + static_cast<unsigned char>(byte)));
    }
    if (next != unknown.size()) fail("fewer \"oov\" ids than unknown graphemes in a piece");
}

std::size_t tokenizer::count(std::string_view text, encode_mode mode, const special_choice* choice) const {
    if (!has_extras) return count_plain(text, mode);
    token_sequence ids;
    encode_append(text, mode, ids, choice);
    return ids.size();
}

std::string tokenizer::decode(std::span<const token_id> ids, bool skip_specials) const {
    if (!skip_specials || special.empty()) return decode(ids);
    token_sequence kept;
    kept.reserve(ids.size());
    for (token_id id : ids)
        if (!special.is_special(id)) kept.push_back(id);
    return decode(kept);
}

}  // namespace tolvane
