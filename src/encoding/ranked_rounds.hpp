// The merge rounds of ranked encoding over one sequence of ids, the fast way.
// Both functions append the result to `out` and leave `ids` unspecified.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/pair_map.hpp"
#include "model/types.hpp"

namespace tolvane {

// For models whose every merged id has one pair and exceeds both parts.
// Needs fewer than 2^32 - 1 ids.
void ranked_rounds_ordered(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out);

// The same for short sequences (it rescans the sequence every round), on
// the same models; needs at least one id.
void ranked_rounds_short(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out);

// For any model, hand-made ones included; the same results on ordered ones.
void ranked_rounds_any(std::span<const token_id> ids, const pair_map& merged_of, token_sequence& out);

// Gives scratch memory grown by one very long text back to the system, so a
// thread does not keep it for the rest of its life.
void trim_ranked_scratch();

}  // namespace tolvane
