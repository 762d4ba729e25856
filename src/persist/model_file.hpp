// The model file: lookup, merges, unicode_lookup, little-endian, length-prefixed.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "model/data.hpp"

namespace tolvane {

// The complete file content. Entries are written in ascending id order
// (merges by merged id) so the same model always gives the same bytes.
std::string serialize_model(const Data& data);

struct model_read_error {
    // extension: a trainer model's block after the maps is damaged (persist/extras.hpp)
    enum class kind { short_input, short_string, invalid_text, extension } what;
    std::string description;
};

// Parses a whole file content; trailing bytes are ignored. Never trusts a
// count or a length: reservations are capped and every read is bounds-checked.
std::variant<Data, model_read_error> deserialize_model(std::string_view bytes);

}  // namespace tolvane
