// What a trainer model holds beyond the three maps: its special tokens, its
// byte tokens and the options it was trained with. The model file keeps them
// in an extension block after the maps (persist/extras.hpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/types.hpp"

namespace tolvane {

struct special_token {
    std::string text;
    token_id id;
};

struct model_extras {
    std::vector<special_token> specials;  // in the order the trainer was given them
    std::optional<token_id> byte_base;    // byte b is token byte_base + b
    std::string trainer_options;          // a JSON object, or empty

    bool empty() const { return specials.empty() && !byte_base && trainer_options.empty(); }
};

}  // namespace tolvane
