#include "learning/pair_ops.hpp"

#include <algorithm>

#include "model/failure.hpp"

namespace tolvane {

pair_counts count_occur(const token_sequence& tokens) {
    pair_counts counts;
    if (tokens.size() < 2) return counts;
    // Distinct pairs are usually far fewer than positions; this only avoids
    // the first few rehashes.
    counts.reserve(std::min<std::size_t>(tokens.size(), 1024));
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) ++counts[{tokens[i], tokens[i + 1]}];
    return counts;
}

namespace {

// The selection rule, once: a higher count wins; on an equal count the smaller
// tie rank wins. That is the same as walking the pairs by ascending tie rank
// and keeping the first of the highest counts, without sorting the map.
struct best_pair {
    token_pair pair{};
    std::uint32_t count = 0;
    std::uint64_t rank = 0;
    bool found = false;

    void offer(token_pair p, std::uint32_t c, const merge_table& merges) {
        if (found && c < count) return;
        std::uint64_t r = tie_rank(p, merges);
        // Two learned merges share a rank only in a hand-made model (one
        // merged id for two pairs); the smaller pair then wins, so the choice
        // never depends on the map's iteration order.
        if (found && c == count && (r > rank || (r == rank && pair_key(p) >= pair_key(pair)))) return;
        pair = p;
        count = c;
        rank = r;
        found = true;
    }
};

}  // namespace

std::pair<token_pair, std::uint32_t> most_frequent_pair(const pair_counts& counts,
                                                        const merge_table& merges) {
    if (counts.empty()) fail("Counter should not be zero");
    best_pair best;
    for (const auto& [pair, count] : counts) best.offer(pair, count, merges);
    return {best.pair, best.count};
}

token_pair most_frequent_pair_excluding(const pair_counts& counts, const merge_table& merges,
                                        const std::vector<token_pair>& excluded) {
    if (counts.empty()) fail("Counter should not be zero");
    best_pair best;
    for (const auto& [pair, count] : counts) {
        // The list grows by one pair per miss of the learned-merge pass, so it
        // stays short and a linear search is the cheapest test.
        if (std::find(excluded.begin(), excluded.end(), pair) != excluded.end()) continue;
        best.offer(pair, count, merges);
    }
    if (!best.found) fail("msg");
    return best.pair;
}

token_sequence replace_pair(const token_sequence& tokens, token_pair pair, token_id merged) {
    token_sequence out;
    out.reserve(tokens.size());
    const std::size_t n = tokens.size();
    for (std::size_t i = 0; i < n;) {
        if (i + 1 < n && tokens[i] == pair.left && tokens[i + 1] == pair.right) {
            out.push_back(merged);
            i += 2;
        } else {
            out.push_back(tokens[i]);
            i += 1;
        }
    }
    return out;
}

}  // namespace tolvane
