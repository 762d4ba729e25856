#include "model/small_pairs.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "model/failure.hpp"

namespace tolvane {

small_pairs::small_pairs(token_sequence tokens, const merge_table& merges_in)
    : seq{std::move(tokens)}, merges{&merges_in}, known_merges{merges_in.size()} {
    if (seq.size() > MAX_LENGTH) fail("Token sequence too long for the small pair source");
    // A sentence of n tokens lists fewer than n pairs at first and seldom
    // more than 2n in all (every merge lists at most two new ones): the index
    // starts at most a quarter full and the tree with room for 2n, and both
    // double when they fill. Only the part of the tree above listed pairs
    // is ever computed.
    const std::size_t n = seq.size();
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 4 * n));
    slots.assign(capacity, slot{0, 0});
    mask = static_cast<std::uint32_t>(capacity - 1);
    shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    leaves = std::bit_ceil(std::max<std::size_t>(8, 2 * n));
    tree.assign(2 * leaves, 0);
    keys.reserve(leaves);

    // The first count fills the leaves directly; the tree is built once after.
    for (std::size_t i = 0; i + 1 < n; ++i) tree[leaves + entry_for(pair_key({seq[i], seq[i + 1]}))] += ONE;
    build_tree();
}

// Every node above a listed pair, level by level; the rest of the tree
// covers unused leaves and stays 0.
void small_pairs::build_tree() {
    for (std::size_t first = leaves / 2, last = (leaves + keys.size()) / 2; first >= 1;
         first /= 2, last /= 2) {
        for (std::size_t node = first; node <= last && node < 2 * first; ++node)
            tree[node] = std::max(tree[2 * node], tree[2 * node + 1]);
    }
}

std::uint64_t small_pairs::order_of(std::uint32_t key) const {
    // tie_rank in a form that fits ORDER_BITS: a merged id below 2^16 goes
    // above the key, so learned merges sort by id and then by pair, and
    // every unlearned pair comes after all of them.
    if (const token_id* m = find_merge(*merges, pair_from_key(key)))
        return (std::uint64_t{*m} << 32) | key;
    return (std::uint64_t{1} << 48) | key;
}

// A new entry starts at count zero; the caller sets its count through the tree.
std::uint32_t small_pairs::insert(std::uint32_t key, std::uint32_t at) {
    const auto e = static_cast<std::uint32_t>(keys.size());
    if (e == leaves) grow_tree();
    keys.push_back(key);
    tree[leaves + e] = ORDER_MASK - order_of(key);
    slots[at] = {key, e + 1};
    if (keys.size() * 2 > slots.size()) grow_index();
    return e;
}

void small_pairs::grow_index() {
    const std::size_t capacity = slots.size() * 2;
    slots.assign(capacity, slot{0, 0});
    mask = static_cast<std::uint32_t>(capacity - 1);
    --shift;
    for (std::uint32_t e = 0; e < keys.size(); ++e) {
        std::uint32_t j = slot_of(keys[e]);
        while (slots[j].entry != 0) j = (j + 1) & mask;
        slots[j] = {keys[e], e + 1};
    }
}

void small_pairs::grow_tree() {
    std::vector<std::uint64_t> old = std::move(tree);
    const std::size_t old_leaves = leaves;
    leaves *= 2;
    tree.assign(2 * leaves, 0);
    std::copy(old.begin() + static_cast<std::ptrdiff_t>(old_leaves), old.end(),
              tree.begin() + static_cast<std::ptrdiff_t>(leaves));
    build_tree();
}

void small_pairs::set_priority(std::uint32_t e, std::uint64_t value) {
    std::size_t node = leaves + e;
    tree[node] = value;
    for (node /= 2; node >= 1; node /= 2) {
        const std::uint64_t top = std::max(tree[2 * node], tree[2 * node + 1]);
        if (tree[node] == top) break;  // nothing above changes either
        tree[node] = top;
    }
}

// Orders were taken against the merges of their time; a pair that has since
// become a learned merge must rank as one before anything is chosen.
void small_pairs::sync_orders() {
    if (merges->size() == known_merges) return;
    for (std::size_t e = 0; e < keys.size(); ++e)
        tree[leaves + e] = (tree[leaves + e] & ~ORDER_MASK) | (ORDER_MASK - order_of(keys[e]));
    build_tree();
    known_merges = merges->size();
}

std::optional<std::pair<token_pair, std::uint32_t>> small_pairs::best() {
    if (seq.size() < 2) return std::nullopt;
    sync_orders();
    // The order holds the pair key in its low bits, so the root alone names the pair.
    const std::uint64_t high = tree[1];
    const auto key = static_cast<std::uint32_t>(ORDER_MASK - (high & ORDER_MASK));
    return std::pair{pair_from_key(key), static_cast<std::uint32_t>(high >> ORDER_BITS)};
}

// Only the learned-merge pass of training excludes pairs, and it runs on
// whole chunks; a plain scan keeps this path simple for the tests.
std::optional<token_pair> small_pairs::best_excluding(const std::vector<token_pair>& excluded) {
    if (seq.size() < 2) return std::nullopt;
    sync_orders();
    std::uint64_t high = 0;
    for (std::uint32_t e = 0; e < keys.size(); ++e) {
        if (priority(e) < ONE || priority(e) <= high) continue;
        if (std::find(excluded.begin(), excluded.end(), pair_from_key(keys[e])) != excluded.end())
            continue;
        high = priority(e);
    }
    if (high == 0) return std::nullopt;
    return pair_from_key(static_cast<std::uint32_t>(ORDER_MASK - (high & ORDER_MASK)));
}

// The first occurrence of `pair` at or after `from`, or the length. Both
// tokens are compared at once as one 32-bit word.
std::size_t small_pairs::find(token_pair pair, std::size_t from) const {
    static_assert(sizeof(token_id) == 2);
    const std::uint32_t want = std::endian::native == std::endian::little
                                   ? pair.left | (std::uint32_t{pair.right} << 16)
                                   : (std::uint32_t{pair.left} << 16) | pair.right;
    const token_id* data = seq.data();
    const std::size_t n = seq.size();
    for (std::size_t i = from; i + 1 < n; ++i) {
        std::uint32_t word;
        std::memcpy(&word, data + i, sizeof word);
        if (word == want) return i;
    }
    return seq.size();
}

// replace_pair in place: the write index never passes the read index, and a
// position is read before anything is written over it. Counts change only
// around an occurrence: the pairs it broke (the one on its left unless an
// occurrence just ended there, itself, the one on its right) go, and every
// new adjacent pair that holds a merged token comes, each counted once.
// Between occurrences the tokens move as one block.
void small_pairs::merge(token_pair pair, token_id merged) {
    const std::size_t n = seq.size();
    std::size_t r = find(pair, 0);
    std::size_t w = r;
    std::uint64_t occurrences = 0;
    while (r < n) {
        // seq[r], seq[r + 1] is an occurrence; seq[r - 1] is still as read.
        if (r > 0 && w == r) drop(pair_key({seq[r - 1], pair.left}));
        ++occurrences;
        if (r + 2 < n) drop(pair_key({pair.right, seq[r + 2]}));
        if (w > 0) add(pair_key({seq[w - 1], merged}));
        seq[w++] = merged;
        r += 2;
        const std::size_t next = find(pair, r);
        if (next == r) continue;  // back to back: the pair between them is gone already
        if (r < n) add(pair_key({merged, seq[r]}));
        if (next < n) drop(pair_key({seq[next - 1], pair.left}));
        std::copy(seq.begin() + static_cast<std::ptrdiff_t>(r),
                  seq.begin() + static_cast<std::ptrdiff_t>(next),
                  seq.begin() + static_cast<std::ptrdiff_t>(w));
        w += next - r;
        r = next;
    }
    if (occurrences) drop(pair_key(pair), occurrences);
    seq.resize(w);
}

pair_counts small_pairs::counts() const {
    pair_counts out;
    for (std::uint32_t e = 0; e < keys.size(); ++e)
        if (std::uint64_t c = priority(e) >> ORDER_BITS) out.emplace(pair_from_key(keys[e]), c);
    return out;
}

}  // namespace tolvane
