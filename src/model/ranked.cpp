#include "model/ranked.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "model/ascii_ids.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "model/pair_ops.hpp"
#include "model/utf8.hpp"

namespace tolvane {

namespace {

// The round's pair: lowest merged id, then smaller left id, then smaller right id.
struct ranked_choice {
    token_pair pair;
    token_id merged;
};

bool ranks_before(const ranked_choice& a, const ranked_choice& b) {
    if (a.merged != b.merged) return a.merged < b.merged;
    return pair_key(a.pair) < pair_key(b.pair);
}

std::optional<ranked_choice> lowest_merge(const token_sequence& ids, const merge_table& merges) {
    std::optional<ranked_choice> best;
    for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
        const token_pair p{ids[i], ids[i + 1]};
        const token_id* merged = find_merge(merges, p);
        if (!merged) continue;
        const ranked_choice c{p, *merged};
        if (!best || ranks_before(c, *best)) best = c;
    }
    return best;
}

}  // namespace

std::string unknown_grapheme_message(std::string_view grapheme) {
    // The grapheme itself, with controls and any byte that is not UTF-8
    // escaped so the message stays one readable line, then its code points,
    // which tell apart graphemes that look alike.
    std::string shown;
    std::string points;
    char buf[16];
    for (std::size_t i = 0; i < grapheme.size();) {
        const std::string_view rest = grapheme.substr(i);
        const auto bad = check_utf8(rest.substr(0, std::min<std::size_t>(4, rest.size())));
        const auto b0 = static_cast<unsigned char>(rest[0]);
        std::size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
        if (len > rest.size() || (bad && bad->valid_up_to < len)) {
            std::snprintf(buf, sizeof buf, "\\x%02X", b0);
            shown += buf;
            i += 1;
            continue;
        }
        std::uint32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(rest[k]) & 0x3F);
        if (cp < 0x20 || cp == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(cp));
            shown += buf;
        } else {
            shown.append(rest.substr(0, len));
        }
        std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
        if (!points.empty()) points += ' ';
        points += buf;
        i += len;
    }
    return "unknown grapheme \"" + shown + "\" (" + points + ") and the model has no \"oov\" token";
}

token_sequence apply_ranked_literal(token_sequence ids, const merge_table& merges) {
    while (auto choice = lowest_merge(ids, merges))
        ids = replace_pair(ids, choice->pair, choice->merged);
    return ids;
}

token_sequence encode_ranked_literal(const Data& data, std::string_view text) {
    token_sequence ids;
    const token_id* oov = find_grapheme(data.unicode_lookup, "oov");
    for_each_grapheme(text, [&](std::string_view g) {
        if (const token_id* id = find_grapheme(data.unicode_lookup, g)) {
            ids.push_back(*id);
        } else {
            if (!oov) fail_as(failure_kind::missing_key, unknown_grapheme_message(g));
            ids.push_back(*oov);
        }
    });
    return apply_ranked_literal(std::move(ids), data.merges);
}

ranked_encoder::ranked_encoder(const Data& data)
    : graphemes{data.unicode_lookup.begin(), data.unicode_lookup.end()}, merges{data.merges} {
    if (const token_id* id = find_grapheme(data.unicode_lookup, "oov")) {
        has_oov = true;
        oov = *id;
    }
}

token_id ranked_encoder::grapheme_id(std::string_view g) const {
    auto it = graphemes.find(g);
    if (it != graphemes.end()) return it->second;
    if (!has_oov) fail_as(failure_kind::missing_key, unknown_grapheme_message(g));
    return oov;
}

void ranked_encoder::encode_append(std::string_view text, token_sequence& out) const {
    token_sequence ids;
    ids.reserve(text.size());
    ascii_ids known;
    for_each_grapheme(text, [&](std::string_view g) {
        ids.push_back(known.get(g, [&](std::string_view s) { return grapheme_id(s); }));
    });
    ids = apply_ranked_literal(std::move(ids), merges);
    out.insert(out.end(), ids.begin(), ids.end());
}

token_sequence ranked_encoder::encode(std::string_view text) const {
    token_sequence out;
    encode_append(text, out);
    return out;
}

std::size_t ranked_encoder::count(std::string_view text) const {
    return encode(text).size();
}

}  // namespace tolvane
