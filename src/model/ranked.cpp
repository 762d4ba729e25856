#include "model/ranked.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>

#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "model/pair_ops.hpp"
#include "model/ranked_rounds.hpp"
#include "model/segment_cache.hpp"
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

namespace {
std::atomic<std::uint64_t> encoders_made{0};
}

ranked_encoder::ranked_encoder(const Data& data)
    : serial{++encoders_made},
      graphemes{data.unicode_lookup.begin(), data.unicode_lookup.end()},
      merged_of{data.merges.size()} {
    ascii_graphemes.fill(-1);
    for (const auto& [g, id] : data.unicode_lookup)
        if (g.size() == 1 && static_cast<unsigned char>(g[0]) < 0x80)
            ascii_graphemes[static_cast<unsigned char>(g[0])] = id;
    if (const token_id* id = find_grapheme(data.unicode_lookup, "oov")) oov = *id;

    ordered = true;
    parts_of.assign(MAX_TOKENS, pair_map::EMPTY);
    for (const auto& [pair, merged] : data.merges) {
        bool inserted = false;
        merged_of.find_or_insert(pair_key(pair), merged, inserted);
        if (merged <= pair.left || merged <= pair.right || parts_of[merged] != pair_map::EMPTY)
            ordered = false;
        parts_of[merged] = pair_key(pair);
    }
    if (!ordered) {
        parts_of = {};
        return;
    }
    find_spanned_pairs();
}

// A merge (l, r) joins the last grapheme of l to the first grapheme of r.
// Which grapheme that is depends on how far the pieces were merged, but it
// is always on l's right spine (l, its right part, that one's right part,
// ...) and on r's left spine, since in an ordered model every token is made
// from its one pair. So every spine pair of every merge is a boundary a
// token may span, and no other boundary ever is. Deep hand-made chains can
// make the spines long; past a budget the text is simply not cut.
void ranked_encoder::find_spanned_pairs() {
    constexpr std::size_t BUDGET = std::size_t{1} << 24;  // spine pairs looked at
    std::size_t spent = 0;
    std::vector<token_id> rights, lefts;
    for (std::size_t merged = 0; merged < parts_of.size(); ++merged) {
        if (parts_of[merged] == pair_map::EMPTY) continue;
        const token_pair pair = pair_from_key(parts_of[merged]);
        rights.assign(1, pair.left);
        while (parts_of[rights.back()] != pair_map::EMPTY)
            rights.push_back(pair_from_key(parts_of[rights.back()]).right);
        lefts.assign(1, pair.right);
        while (parts_of[lefts.back()] != pair_map::EMPTY)
            lefts.push_back(pair_from_key(parts_of[lefts.back()]).left);
        spent += rights.size() * lefts.size();
        if (spent > BUDGET) {
            spanned = pair_map{};
            cut = false;
            return;
        }
        bool inserted = false;
        for (token_id x : rights)
            for (token_id y : lefts) spanned.find_or_insert(pair_key({x, y}), 1, inserted);
    }
    cut = true;
}

token_id ranked_encoder::grapheme_id(std::string_view g) const {
    if (g.size() == 1 && static_cast<unsigned char>(g[0]) < 0x80) {
        const std::int32_t id = ascii_graphemes[static_cast<unsigned char>(g[0])];
        if (id >= 0) return static_cast<token_id>(id);
    } else if (auto it = graphemes.find(g); it != graphemes.end()) {
        return it->second;
    }
    if (!oov) fail_as(failure_kind::missing_key, unknown_grapheme_message(g));
    return *oov;
}

void ranked_encoder::merge_segment(const token_sequence& ids, token_sequence& out) const {
    constexpr std::size_t ORDERED_LIMIT = std::size_t{UINT32_MAX} - 1;
    constexpr std::size_t SHORT = 16;
    if (ids.size() < 2) {
        out.insert(out.end(), ids.begin(), ids.end());
    } else if (ids.size() == 2 && ordered) {
        // One pair: it merges or it does not, no heap needed.
        const std::uint32_t merged = merged_of.find(pair_key({ids[0], ids[1]}));
        if (merged == pair_map::EMPTY) out.insert(out.end(), ids.begin(), ids.end());
        else out.push_back(static_cast<token_id>(merged));
    } else if (ordered && ids.size() <= SHORT) {
        ranked_rounds_short(ids, merged_of, out);
    } else if (ordered && ids.size() < ORDERED_LIMIT) {
        ranked_rounds_ordered(ids, merged_of, out);
    } else {
        ranked_rounds_any(ids, merged_of, out);
    }
}

void ranked_encoder::encode_append(std::string_view text, token_sequence& out) const {
    thread_local token_sequence segment;
    thread_local segment_cache cache;
    cache.serve(serial);
    const std::size_t before = out.size();
    segment.clear();
    // Appends the result of the segment gathered so far.
    auto flush = [&] {
        const std::size_t n = segment.size();
        if (n < 3 || n > segment_cache::LONGEST) {
            merge_segment(segment, out);
        } else {
            const std::uint64_t h = segment_cache::hash(segment.data(), n);
            std::size_t len = 0;
            if (const token_id* known = cache.find(segment.data(), n, h, len)) {
                out.insert(out.end(), known, known + len);
            } else {
                const std::size_t at = out.size();
                merge_segment(segment, out);
                cache.insert(segment.data(), n, h, out.data() + at, out.size() - at);
            }
        }
        segment.clear();
    };
    try {
        for_each_grapheme(text, [&](std::string_view g) {
            const token_id id = grapheme_id(g);
            if (cut && !segment.empty() &&
                spanned.find(pair_key({segment.back(), id})) == pair_map::EMPTY)
                flush();
            segment.push_back(id);
        });
        flush();
    } catch (...) {
        out.resize(before);
        throw;
    }
    if (segment.capacity() > (std::size_t{1} << 20)) segment = {};
    trim_ranked_scratch();
}

token_sequence ranked_encoder::encode(std::string_view text) const {
    token_sequence out;
    encode_append(text, out);
    return out;
}

std::size_t ranked_encoder::count(std::string_view text) const {
    thread_local token_sequence ids;
    ids.clear();
    encode_append(text, ids);
    const std::size_t n = ids.size();
    if (ids.capacity() > (std::size_t{1} << 20)) ids = {};
    return n;
}

}  // namespace tolvane
