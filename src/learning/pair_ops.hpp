// The literal pair operations: count every adjacent pair, pick the most
// frequent, replace a pair. They recount from scratch on every call and stay
// as the reference that the incremental engine is tested against.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/data.hpp"

namespace tolvane {

using pair_counts = std::unordered_map<token_pair, std::uint32_t, pair_hash>;

// Tie order: among pairs with the same count the one with the smaller rank
// wins. Learned merges come first, by ascending merged id, then every other
// pair by ascending (left, right). A fixed order makes every result
// reproducible, and encoding never stops on a tie while a learned merge ties.
inline std::uint64_t tie_rank(token_pair p, const merge_table& merges) {
    if (const token_id* m = find_merge(merges, p)) return *m;
    return (std::uint64_t{1} << 32) | pair_key(p);
}

pair_counts count_occur(const token_sequence& tokens);

// Fails with "Counter should not be zero" on an empty map.
std::pair<token_pair, std::uint32_t> most_frequent_pair(const pair_counts& counts,
                                                        const merge_table& merges);

// Fails with "Counter should not be zero" on an empty map and with "msg" when
// every pair is excluded.
token_pair most_frequent_pair_excluding(const pair_counts& counts, const merge_table& merges,
                                        const std::vector<token_pair>& excluded);

// Greedy, left to right, non-overlapping.
token_sequence replace_pair(const token_sequence& tokens, token_pair pair, token_id merged);

}  // namespace tolvane
