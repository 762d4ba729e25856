// One training run over a file: the chunk loop, the logs, the save after each chunk.
#pragma once

#include <cstddef>
#include <string>

#include "model/data.hpp"
#include "learning/output.hpp"

namespace tolvane {

constexpr std::size_t TRAIN_CHUNK_SIZE = 3'067'833;

struct train_options {
    std::string train_file;
    bool print_logs = false;
    std::string logs_file;
};

// Fails with the messages of the run ("To Work: ...", "Train File Not
// Existed: ...", "Should work: ..."); throws stop_requested when the host's
// should_stop says so. Changes made to `data` before either stay.
void train(Data& data, const train_options& options, const run_hooks& hooks);

// Writes the whole model to "tokenizer" in the working directory, atomically,
// then prints the saved banner. Fails with "Should work: ...".
void save_model(const Data& data, const run_hooks& hooks);

}  // namespace tolvane
