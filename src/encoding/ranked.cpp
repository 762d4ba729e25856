#include "encoding/ranked.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <cstdio>
#include <limits>
#include <optional>

#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "learning/pair_ops.hpp"
#include "encoding/ranked_rounds.hpp"
#include "encoding/piece_cache.hpp"
#include "encoding/segment_cache.hpp"
#include "encoding/thread_buffer.hpp"
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
    // which tell apart graphemes that look alike. A grapheme can be as long
    // as a text (a letter with a million combining marks): past its first
    // code points only their number and the bytes are given.
    constexpr std::size_t SHOWN_POINTS = 16;
    std::string shown;
    std::string points;
    std::size_t count = 0;
    char buf[16];
    for (std::size_t i = 0; i < grapheme.size(); ++count) {
        if (count == SHOWN_POINTS) {
            std::size_t total = count;
            for (std::size_t k = i; k < grapheme.size(); ++k)
                total += (static_cast<unsigned char>(grapheme[k]) & 0xC0) != 0x80;
            return "unknown grapheme \"" + shown + "...\" (" + points + " ..., " +
                   std::to_string(total) + " code points in " + std::to_string(grapheme.size()) +
                   " bytes) and the model has no \"oov\" token";
        }
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
    list_partners();
}

// Counting sort of the merges by left part: each left id's partners end up
// side by side, in the order of their merged ids, since parts_of is walked
// by merged id.
void ranked_encoder::list_partners() {
    std::size_t ids = 0;
    for (std::uint32_t key : parts_of)
        if (key != pair_map::EMPTY) ids = std::max<std::size_t>(ids, pair_from_key(key).left + std::size_t{1});
    // Counts at x + 2, summed into starts at x + 1, which placing moves on
    // to the ends: partners_from[x] is then the start of x, with no second array.
    partners_from.assign(ids + 2, 0);
    for (std::uint32_t key : parts_of)
        if (key != pair_map::EMPTY) ++partners_from[pair_from_key(key).left + 2];
    for (std::size_t i = 2; i < partners_from.size(); ++i) partners_from[i] += partners_from[i - 1];
    partners.resize(partners_from.back());
    for (std::size_t merged = 0; merged < parts_of.size(); ++merged) {
        if (parts_of[merged] == pair_map::EMPTY) continue;
        const token_pair pair = pair_from_key(parts_of[merged]);
        partners[partners_from[pair.left + 1]++] = {pair.right, static_cast<token_id>(merged)};
    }
    partners_from.pop_back();
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

void ranked_encoder::merge_segment(std::span<const token_id> ids, token_sequence& out) const {
    constexpr std::size_t ORDERED_LIMIT = std::size_t{UINT32_MAX} - 1;
    constexpr std::size_t SHORT = 16;
    if (ids.size() < 2) {
        out.insert(out.end(), ids.begin(), ids.end());
    } else if (ids.size() == 2 && ordered) {
        // One pair: it merges or it does not.
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

void ranked_encoder::append_piece(std::span<const token_id> ids, token_sequence& out,
                                  segment_cache& cache) const {
    const std::size_t n = ids.size();
    if (n < 3 || n > segment_cache::LONGEST) return merge_segment(ids, out);
    const std::uint64_t h = segment_cache::hash(ids.data(), n);
    std::size_t len = 0;
    if (const token_id* known = cache.find(ids.data(), n, h, len)) {
        out.insert(out.end(), known, known + len);
    } else {
        const std::size_t at = out.size();
        merge_segment(ids, out);
        cache.insert(ids.data(), n, h, out.data() + at, out.size() - at);
    }
}

// Two pieces encoded apart give what they give together unless, at some
// round, a merge joins the left piece's last token to the right piece's
// first: until then each evolves on its own. The left piece's last token over
// time is the right spine of its final last token (each spine token was last
// from its own round until the round of the token above it), the right
// piece's first token the left spine of its final first token. A merge m
// joins a and b when both are at the edge at the start of round m and a is
// not taken by an occurrence of the same pair on its left in that round (the
// round goes left to right, so a b taken by its right neighbour in round m is
// still joined first). Spines deeper than a hand-made chain needs are taken
// as joining, which is always safe: joined pieces are encoded together.
bool ranked_encoder::pieces_join(token_id last, token_id last_grapheme, token_id first,
                                 token_id first_grapheme) const {
    constexpr std::size_t DEEPEST = 48;
    constexpr std::uint32_t FOREVER = UINT32_MAX;
    struct step {
        token_id id;
        std::uint32_t until;  // the round it left the edge, or FOREVER
    };
    std::array<step, DEEPEST> rights, lefts;
    auto spine = [&](token_id top, token_id bottom, bool right, std::array<step, DEEPEST>& s) {
        std::size_t n = 0;
        std::uint32_t until = FOREVER;
        for (token_id id = top;;) {
            if (n == DEEPEST) return std::size_t{0};
            s[n++] = {id, until};
            if (id == bottom || parts_of[id] == pair_map::EMPTY) return n;
            const token_pair parts = pair_from_key(parts_of[id]);
            until = id;
            id = right ? parts.right : parts.left;
        }
    };
    const std::size_t nr = spine(last, last_grapheme, true, rights);
    const std::size_t nl = spine(first, first_grapheme, false, lefts);
    if (nr == 0 || nl == 0) return true;
    // Every merge whose left part is on the right spine, against the left
    // spine: a token is the left part of a few merges at most (of 5,007
    // merges of an English model, one id has 85, most none), and of those
    // only merges learned before the spine token above it count. Asking the
    // map for every spine pair instead cost a cache miss each.
    for (std::size_t i = 0; i < nr; ++i) {
        const token_id x = rights[i].id;
        if (x + std::size_t{1} >= partners_from.size()) continue;
        for (std::uint32_t k = partners_from[x]; k < partners_from[x + 1]; ++k) {
            const auto [y, m] = partners[k];
            if (m >= rights[i].until) break;  // and so are the rest
            for (std::size_t j = 0; j < nl; ++j)
                if (lefts[j].id == y && m <= lefts[j].until) return true;
        }
    }
    return false;
}

namespace {

// Per-thread buffers, each found once per call (encoding/thread_buffer.hpp).
struct segment_buffers {
    token_sequence segment;
    segment_cache cache;
};

// A run of pieces encoded together (see encode_words). A text that is one
// long line keeps a group open for about every word, so a group is 16 bytes:
// 32-bit places, which a text under 4 GiB never outgrows (its ids are no more
// than its bytes). With 64-bit places (32 bytes a group) `tolvane encode`
// peaked at 373 MB on a 57 MB line of English, against 261 MB.
struct group {
    std::uint32_t from, to;  // bytes of the text
    std::uint32_t result;    // where its result starts in `out`, after the ids before the text
    token_id first, last;    // ids of its first and last graphemes
};
static_assert(sizeof(group) == 16);

struct word_buffers {
    std::vector<group> open;
    piece_cache pieces;
};

struct count_buffer {
    token_sequence ids;
};

// The first offset after `from` where text is cut on trial: after a run of
// spaces, before an ASCII character. An ASCII character after a space always
// starts a grapheme, so the pieces split into exactly the graphemes of the
// whole text.
std::size_t next_cut(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i < text.size();) {
        const void* space = std::memchr(text.data() + i, ' ', text.size() - i);
        if (!space) break;
        std::size_t after = static_cast<std::size_t>(static_cast<const char*>(space) - text.data()) + 1;
        while (after < text.size() && text[after] == ' ') ++after;
        if (after < text.size() && static_cast<unsigned char>(text[after]) < 0x80) return after;
        i = after;
    }
    return text.size();
}

}  // namespace

void ranked_encoder::encode_segments(std::string_view text, token_sequence& out, token_id& first,
                                     token_id& last) const {
    segment_buffers& buffers = thread_buffer<segment_buffers>();
    token_sequence& segment = buffers.segment;
    segment_cache& cache = buffers.cache;
    cache.serve(serial);
    segment.clear();
    bool started = false;
    for_each_grapheme(text, [&](std::string_view g) {
        const token_id id = grapheme_id(g);
        if (!started) first = id, started = true;
        last = id;
        if (cut && !segment.empty() && spanned.find(pair_key({segment.back(), id})) == pair_map::EMPTY) {
            append_piece(segment, out, cache);
            segment.clear();
        }
        segment.push_back(id);
    });
    append_piece(segment, out, cache);
    if (segment.capacity() > (std::size_t{1} << 20)) segment = {};
}

// Pieces are encoded one by one, mostly from the cache, and kept as a stack
// of open groups over `out`; whenever the newest group joins the one before,
// the two are encoded again as one, which may in turn join the one before
// that. At the end no two neighbouring groups join, so their results side by
// side are the result of the whole. Text that joins at cut after cut would
// make that quadratic, so once the bytes encoded again pass twice the text,
// the whole text is encoded in one go instead.
void ranked_encoder::encode_words(std::string_view text, token_sequence& out) const {
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        token_id first = 0, last = 0;
        return encode_segments(text, out, first, last);  // the same ids, in one go
    }
    word_buffers& buffers = thread_buffer<word_buffers>();
    std::vector<group>& open = buffers.open;
    piece_cache& pieces = buffers.pieces;
    pieces.serve(serial);
    open.clear();
    const std::size_t base = out.size();
    std::size_t budget = 2 * text.size() + 4096;
    auto at = [&](std::size_t position) { return static_cast<std::uint32_t>(position - base); };
    auto encode_piece = [&](group& g) {
        const std::string_view piece = text.substr(g.from, g.to - g.from);
        if (piece.size() > piece_cache::LONGEST) return encode_segments(piece, out, g.first, g.last);
        const std::uint64_t h = piece_cache::hash(piece);
        if (piece_cache::known known; pieces.find(piece, h, known)) {
            out.insert(out.end(), known.ids, known.ids + known.len);
            g.first = known.first;
            g.last = known.last;
            return;
        }
        encode_segments(piece, out, g.first, g.last);
        pieces.insert(piece, h, {out.data() + base + g.result, out.size() - base - g.result, g.first, g.last});
    };
    for (std::size_t from = 0; from < text.size();) {
        group g{static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(next_cut(text, from)),
                at(out.size()), 0, 0};
        encode_piece(g);
        open.push_back(g);
        while (open.size() >= 2) {
            const group left = open[open.size() - 2];
            const group right = open.back();
            const token_id last = out[base + right.result - 1], first = out[base + right.result];
            const std::uint64_t edges = (std::uint64_t{last} << 48) | (std::uint64_t{left.last} << 32) |
                                        (std::uint64_t{first} << 16) | right.first;
            if (!pieces.joins(edges, [&] { return pieces_join(last, left.last, first, right.first); })) break;
            open.pop_back();
            out.resize(base + left.result);
            if (right.to - left.from > budget) {
                out.resize(base);
                token_id first = 0, last = 0;
                return encode_segments(text, out, first, last);
            }
            budget -= right.to - left.from;
            group joined{left.from, right.to, left.result, 0, 0};
            encode_piece(joined);
            open.back() = joined;
        }
        from = g.to;
    }
    if (open.capacity() > (std::size_t{1} << 16)) open = {};
}

void ranked_encoder::encode_append(std::string_view text, token_sequence& out) const {
    const std::size_t before = out.size();
    try {
        if (ordered) {
            encode_words(text, out);
        } else {
            token_id first = 0, last = 0;
            encode_segments(text, out, first, last);
        }
    } catch (...) {
        out.resize(before);
        throw;
    }
    trim_ranked_scratch();
}

token_sequence ranked_encoder::encode(std::string_view text) const {
    token_sequence out;
    encode_append(text, out);
    return out;
}

std::size_t ranked_encoder::count(std::string_view text) const {
    token_sequence& ids = thread_buffer<count_buffer>().ids;
    ids.clear();
    encode_append(text, ids);
    const std::size_t n = ids.size();
    if (ids.capacity() > (std::size_t{1} << 20)) ids = {};
    return n;
}

}  // namespace tolvane
