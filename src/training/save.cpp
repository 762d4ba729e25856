#include <string>
#include <string_view>

#include "persist/atomic_file.hpp"
#include "persist/model_file.hpp"
#include "training/train.hpp"

namespace tolvane {
namespace {

constexpr const char* MODEL_FILE = "tokenizer";

constexpr std::string_view SAVED_BANNER =
    "--------------------------------------------- \n Saved Successfully \n"
    "---------------------------------------------\n";

}  // namespace

// Replacing "tokenizer" atomically means a failure or a kill in the middle
// of a save leaves the model of the previous chunk loadable.
void save_model(const Data& data, const run_hooks& hooks) {
    replace_file_atomically(MODEL_FILE, serialize_model(data));
    console_line(hooks.console_fd, SAVED_BANNER);
}

}  // namespace tolvane
