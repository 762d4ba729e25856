// UTF-8 validation and lossy decoding, shared by training (chunks), decoding
// (joined token texts) and the model reader (grapheme keys).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// Where a byte string stops being valid UTF-8.
struct utf8_error {
    std::size_t valid_up_to;                // leading bytes that are valid UTF-8
    std::optional<std::size_t> error_len;   // 1..3: length of the invalid sequence; empty: the text ends inside a sequence
};

// Nothing when `bytes` is valid UTF-8.
std::optional<utf8_error> check_utf8(std::string_view bytes);

// Valid sequences pass through; each maximal ill-formed subsequence becomes one
// U+FFFD (the "maximal subparts" substitution of the Unicode Standard).
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace tolvane
