// The learned merges as encoding looks them up, prepared once from a model
// that no longer changes. A short text asks for the merge of every pair it
// lists, and most of those pairs are of two graphemes with small ids: a
// direct table answers those with one read from a few cache lines, where a
// hash map touches a line of its own for each pair.
#pragma once

#include <cstdint>
#include <vector>

#include "model/data.hpp"
#include "model/pair_map.hpp"

namespace tolvane {

class merge_lookup {
public:
    explicit merge_lookup(const merge_table& merges);

    // The merged id of the pair `key` (model/types.hpp pair_key), or pair_map::EMPTY.
    std::uint32_t find(std::uint32_t key) const {
        // Both ids below SMALL: no bit of either at or above it.
        if ((key & SMALL_MASK) == 0 && !small.empty()) {
            const std::uint16_t merged = small[(key >> 16) * SMALL + (key & 0xFFFF)];
            return merged == NO_MERGE ? pair_map::EMPTY : merged;
        }
        return others.find(key);
    }

    // Whether no two learned pairs share a merged id (training never makes
    // two; a hand-made model may). Then no two pairs tie on count and merged id.
    bool merged_ids_unique() const { return unique; }

private:
    static constexpr std::uint32_t SMALL = 128;
    static constexpr std::uint32_t SMALL_MASK = ~((SMALL - 1) << 16 | (SMALL - 1));
    static constexpr std::uint16_t NO_MERGE = 0xFFFF;

    // By left * SMALL + right: the merged id, or NO_MERGE. Left empty when
    // a pair of small ids merges into the id NO_MERGE itself.
    std::vector<std::uint16_t> small;
    pair_map others;  // every learned pair; asked for those the table does not hold
    bool unique = true;
};

}  // namespace tolvane
