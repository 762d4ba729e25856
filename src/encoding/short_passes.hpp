// The merge passes of encoding for short sequences: a sentence of a hundred
// graphemes, where setting anything up costs more than the passes.
//
// A pass merges the most frequent pair if it is a learned merge and
// otherwise ends encoding, and on an equal count a learned merge always
// ranks before any other pair. So which unlearned pair is most frequent
// never matters, only its count: learned pairs keep one packed priority
// each (count, then merged id, then pair, see pair_ops.hpp), unlearned pairs
// only a count in a histogram. The pass takes the best learned pair and
// stops if some unlearned pair has a higher count. A merge changes only the
// counts around the positions it rewrites.
#pragma once

#include <cstddef>

#include "model/data.hpp"
#include "encoding/merge_lookup.hpp"

namespace tolvane {

// Longer sequences go to pair_engine: every pass here scans the sequence
// and the learned pairs, which grows with the square of the length.
constexpr std::size_t SHORT_PASSES_LIMIT = 256;

// The passes read whole blocks of ids up to this far past the sequence's
// end; a caller that leaves this much spare capacity spares them a copy.
constexpr std::size_t SHORT_PASSES_SLACK = 8;

// Runs the merge passes on `tokens` in place (tokens.size() at most
// SHORT_PASSES_LIMIT). Learned merges are looked up in `merged_of` when
// given, which must then be made from exactly `merges`; otherwise in `merges`. Scratch is per thread, so any number of
// threads may call it at once.
void short_merge_passes(token_sequence& tokens, const merge_table& merges, const merge_lookup* merged_of);

}  // namespace tolvane
