// Learning merges from a chunk's token sequence, and bringing a later chunk
// up to date with the merges learned before.
#pragma once

#include "model/data.hpp"
#include "learning/engine.hpp"
#include "learning/output.hpp"

namespace tolvane {

constexpr int MERGE_ITERATIONS_PER_CHUNK = 700;
constexpr std::uint32_t MIN_MERGE_COUNT = 10;
constexpr int FAILED_COUNT_LIMIT = 7;

// The learned-merge pass: merges the most frequent non-excluded pair while it
// is a learned merge; ends after FAILED_COUNT_LIMIT misses in a row, or quietly
// when no pair is left to choose.
token_sequence apply_learned_merges(const Data& data, token_sequence tokens, const run_hooks& hooks);

// The learning loop: MERGE_ITERATIONS_PER_CHUNK iterations, each merging the
// most frequent pair if it occurs at least MIN_MERGE_COUNT times, creating a
// new token when the pair is not learned yet. `log_fd` receives the progress
// lines when `print_logs` is true.
void learn_merges(Data& data, token_sequence tokens, bool print_logs, int log_fd,
                  const run_hooks& hooks);

// What training does with one chunk's sequence: the learned-merge pass when
// `later_chunk`, then "Finish converting new read chunk to tokens", then the
// learning loop, all on one pair source.
// `spare` carries the engine's large arrays from one chunk to the next.
void learn_from_chunk(Data& data, token_sequence tokens, bool later_chunk, bool print_logs,
                      int log_fd, const run_hooks& hooks, pair_engine::spare_arrays* spare = nullptr);

}  // namespace tolvane
