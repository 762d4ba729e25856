// A model learned by the core from `text` as one chunk of training learns
// it, with nothing printed: the model several suites test against.
#pragma once

#include <string>

#include "learning/merge_learning.hpp"
#include "model/data.hpp"
#include "model/pretokenize.hpp"

namespace tolvane {

inline Data learned_model(const std::string& text) {
    Data data;
    register_oov(data);
    run_hooks quiet;
    quiet.console_fd = -1;
    learn_merges(data, tokenize_chunk(data, text), false, -1, quiet);
    return data;
}

}  // namespace tolvane
