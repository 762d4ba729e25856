#include "learning/piece_merges.hpp"

#include <algorithm>
#include <map>

#include "model/failure.hpp"

namespace tolvane {

void weighted_pieces::add(std::span<const token_id> piece, std::uint64_t weight) {
    if (piece.size() < 2 || weight == 0) return;
    // Positions are 32 bits, and the two top values are markers.
    if (tokens.size() + piece.size() >= UINT32_MAX - 1) fail("Too many distinct pieces to learn from");
    tokens.insert(tokens.end(), piece.begin(), piece.end());
    starts.push_back(static_cast<std::uint32_t>(tokens.size()));
    weights.push_back(weight);
}

namespace {

// The choice rule in one place: a higher count first, then the smaller key,
// which is the smaller (left, right); never hash or insertion order. As a
// heap order: x < y when y goes first.
bool after(std::uint64_t x_count, std::uint32_t x_key, std::uint64_t y_count, std::uint32_t y_key) {
    if (x_count != y_count) return x_count < y_count;
    return x_key > y_key;
}

bool within(const merge_limits& limits, std::uint32_t key) {
    if (limits.max_length == 0) return true;
    return std::size_t{limits.lengths[key >> 16]} + limits.lengths[key & 0xFFFF] <= limits.max_length;
}

void add_length(merge_limits& limits, token_pair pair, token_id merged) {
    if (limits.lengths.size() <= merged) limits.lengths.resize(std::size_t{merged} + 1, 0);
    limits.lengths[merged] = limits.lengths[pair.left] + limits.lengths[pair.right];
}

}  // namespace

// --- the incremental counts -------------------------------------------------

piece_merger::piece_merger(const weighted_pieces& pieces, merge_limits limits_in)
    : limits{std::move(limits_in)},
      broken_left(MAX_TOKENS),
      broken_right(MAX_TOKENS),
      made_left(MAX_TOKENS),
      made_right(MAX_TOKENS),
      index{std::min<std::size_t>(pieces.tokens.size(), 1 << 16)} {
    nodes.resize(pieces.tokens.size());
    // The one full count: every later change is a delta.
    for (std::uint32_t p = 0; p < pieces.size(); ++p) {
        const std::uint32_t from = pieces.starts[p], to = pieces.starts[p + 1];
        const std::uint64_t w = pieces.weights[p];
        if (w >> 48) fail("A piece occurs too often to be counted");
        for (std::uint32_t i = from; i < to; ++i) {
            nodes[i] = {i == from ? NONE : i - 1, i + 1 == to ? NONE : i + 1, static_cast<std::uint32_t>(w),
                        pieces.tokens[i], static_cast<std::uint16_t>(w >> 32)};
            if (i + 1 < to) add_at(std::uint32_t{pieces.tokens[i]} << 16 | pieces.tokens[i + 1], w, i);
        }
    }
    touched_keys.clear();
    for (std::uint32_t e = 0; e < entries.size(); ++e) entries[e].touched = 0;
    // Every pair goes in once, and the heap is built in one pass.
    heap.reserve(entries.size());
    for (const pair_entry& entry : entries)
        if (allowed(entry.key)) heap.push_back({entry.count, entry.key});
    std::make_heap(heap.begin(), heap.end(), [](const heap_item& x, const heap_item& y) {
        return after(x.count, x.key, y.count, y.key);
    });
}

bool piece_merger::allowed(std::uint32_t key) const { return within(limits, key); }

std::uint32_t piece_merger::entry_of(std::uint32_t key) {
    bool inserted = false;
    const std::uint32_t e = index.find_or_insert(key, static_cast<std::uint32_t>(entries.size()), inserted);
    if (inserted) entries.emplace_back().key = key;
    return e;
}

void piece_merger::touch(std::uint32_t e, std::uint32_t key) {
    if (entries[e].touched == serial) return;
    entries[e].touched = serial;
    touched_keys.push_back(key);
}

void piece_merger::add_at(std::uint32_t key, std::uint64_t weight, std::uint32_t pos) {
    const std::uint32_t e = entry_of(key);
    entries[e].count += weight;
    entries[e].positions.push_back(pos);
    touch(e, key);
}

void piece_merger::add_to(std::uint32_t e, std::uint32_t key, std::uint64_t weight, std::uint32_t pos) {
    entries[e].count += weight;
    entries[e].positions.push_back(pos);
    touch(e, key);
}

void piece_merger::take_from(std::uint32_t e, std::uint32_t key, std::uint64_t weight) {
    entries[e].count -= weight;
    touch(e, key);
}

std::uint32_t piece_merger::entry_by(std::vector<cached_entry>& cache, token_id neighbour, std::uint32_t key) {
    cached_entry& slot = cache[neighbour];
    if (slot.stamp != serial) slot = {serial, entry_of(key)};
    return slot.e;
}

void piece_merger::push(std::uint32_t key, std::uint64_t count) {
    heap.push_back({count, key});
    std::push_heap(heap.begin(), heap.end(), [](const heap_item& x, const heap_item& y) {
        return after(x.count, x.key, y.count, y.key);
    });
}

std::optional<merge_choice> piece_merger::best() {
    auto order = [](const heap_item& x, const heap_item& y) { return after(x.count, x.key, y.count, y.key); };
    while (!heap.empty()) {
        const heap_item top = heap.front();
        const std::uint32_t e = index.find(top.key);
        if (top.count != 0 && entries[e].count == top.count) return merge_choice{pair_from_key(top.key), top.count};
        std::pop_heap(heap.begin(), heap.end(), order);
        heap.pop_back();
    }
    return std::nullopt;
}

void piece_merger::merge(token_pair pair, token_id merged) {
    const std::uint32_t key = pair_key(pair);
    const std::uint32_t e = index.find(key);
    if (e == pair_map::EMPTY) return;
    add_length(limits, pair, merged);
    ++serial;
    touched_keys.clear();
    // Left to right within each piece, as the literal replacement goes;
    // merges made lists out of order, and a position may be listed twice.
    std::vector<std::uint32_t> at = std::move(entries[e].positions);
    entries[e].positions = {};
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    for (const std::uint32_t p : at) {
        // A listed position that no longer starts the pair is skipped.
        node& left = nodes[p];
        if (left.prev == REMOVED || left.token != pair.left || left.next == NONE) continue;
        const std::uint32_t q = left.next;
        node& right = nodes[q];
        if (right.token != pair.right) continue;
        const std::uint64_t w = left.weight();
        const std::uint32_t l = left.prev, r = right.next;
        // The pairs the merge breaks...
        if (l != NONE) {
            const token_id x = nodes[l].token;
            const std::uint32_t broken = std::uint32_t{x} << 16 | pair.left;
            take_from(entry_by(broken_left, x, broken), broken, w);
        }
        take_from(e, key, w);
        if (r != NONE) {
            const token_id y = nodes[r].token;
            const std::uint32_t broken = std::uint32_t{pair.right} << 16 | y;
            take_from(entry_by(broken_right, y, broken), broken, w);
        }
        // ...the rewrite...
        left.token = merged;
        left.next = r;
        if (r != NONE) nodes[r].prev = p;
        right.prev = REMOVED;
        // ...and the pairs it makes.
        if (l != NONE) {
            const token_id x = nodes[l].token;
            const std::uint32_t made = std::uint32_t{x} << 16 | merged;
            add_to(entry_by(made_left, x, made), made, w, l);
        }
        if (r != NONE) {
            const token_id y = nodes[r].token;
            const std::uint32_t made = std::uint32_t{merged} << 16 | y;
            add_to(entry_by(made_right, y, made), made, w, p);
        }
    }
    for (const std::uint32_t k : touched_keys) {
        const std::uint64_t count = entries[index.find(k)].count;
        if (count != 0 && allowed(k)) push(k, count);
    }
}

std::vector<std::pair<std::uint32_t, std::uint64_t>> piece_merger::counts() const {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> out;
    for (const node& at : nodes) {
        if (at.prev == REMOVED || at.next == NONE) continue;
        const std::uint32_t key = std::uint32_t{at.token} << 16 | nodes[at.next].token;
        out.emplace_back(key, entries[index.find(key)].count);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// --- the runs ----------------------------------------------------------------

learned_merges learn_piece_merges(const weighted_pieces& pieces, token_id first_id, std::size_t wanted,
                                  merge_limits limits, const merge_progress& progress) {
    if (first_id + wanted > MAX_TOKENS) fail("More merges asked for than token ids are left");
    const std::uint64_t min_count = std::max<std::uint64_t>(limits.min_count, 1);
    piece_merger merger{pieces, std::move(limits)};
    learned_merges out;
    out.merges.reserve(wanted);
    constexpr std::size_t REPORT_EVERY = 256;
    while (out.merges.size() < wanted) {
        if (progress && out.merges.size() % REPORT_EVERY == 0) progress(out.merges.size(), wanted);
        const std::optional<merge_choice> choice = merger.best();
        if (!choice) {
            out.stop = merge_stop::none_left;
            break;
        }
        if (choice->count < min_count) {
            out.stop = merge_stop::below_min;
            break;
        }
        merger.merge(choice->pair, static_cast<token_id>(first_id + out.merges.size()));
        out.merges.push_back(*choice);
    }
    if (progress) progress(out.merges.size(), wanted);
    return out;
}

learned_merges learn_piece_merges_literal(const weighted_pieces& pieces, token_id first_id,
                                          std::size_t wanted, merge_limits limits) {
    std::vector<token_sequence> seqs;
    for (std::size_t p = 0; p < pieces.size(); ++p)
        seqs.emplace_back(pieces.tokens.begin() + pieces.starts[p], pieces.tokens.begin() + pieces.starts[p + 1]);
    const std::uint64_t min_count = std::max<std::uint64_t>(limits.min_count, 1);
    learned_merges out;
    while (out.merges.size() < wanted) {
        std::map<std::uint32_t, std::uint64_t> counts;
        for (std::size_t p = 0; p < seqs.size(); ++p)
            for (std::size_t i = 0; i + 1 < seqs[p].size(); ++i)
                counts[std::uint32_t{seqs[p][i]} << 16 | seqs[p][i + 1]] += pieces.weights[p];
        std::optional<std::pair<std::uint32_t, std::uint64_t>> top;
        for (const auto& [key, count] : counts)
            if (within(limits, key) && (!top || after(top->second, top->first, count, key))) top = {key, count};
        if (!top) {
            out.stop = merge_stop::none_left;
            break;
        }
        if (top->second < min_count) {
            out.stop = merge_stop::below_min;
            break;
        }
        const token_pair pair = pair_from_key(top->first);
        const auto merged = static_cast<token_id>(first_id + out.merges.size());
        add_length(limits, pair, merged);
        for (token_sequence& seq : seqs) {
            token_sequence rewritten;
            for (std::size_t i = 0; i < seq.size(); ++i) {
                if (i + 1 < seq.size() && seq[i] == pair.left && seq[i + 1] == pair.right) {
                    rewritten.push_back(merged);
                    ++i;
                } else {
                    rewritten.push_back(seq[i]);
                }
            }
            seq = std::move(rewritten);
        }
        out.merges.push_back({pair, top->second});
    }
    return out;
}

}  // namespace tolvane
