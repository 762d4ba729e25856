// The extension block a trainer model carries after the three maps of the
// model file: its special tokens, its byte tokens and the options it was
// trained with. The module's loader stops reading after the third map, so a
// file with the block still loads there as a plain model; the companion reads
// the block back and refuses a damaged one rather than dropping it.
//
// Layout (little-endian), right after the third map, nothing after it:
//   magic "TLVEXTRA" (8 bytes), version u32 (1), body length u64,
//   body: flags u8 (bit 0: byte fallback; others zero), byte base u16,
//         special count u32, then per special its id u16 and its text
//         (u64 length, UTF-8 bytes), then the trainer's options
//         (u64 length, a UTF-8 JSON object, or nothing),
//   CRC-32 u32 (the zlib polynomial) of everything from the magic to the
//   end of the body.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "model/data.hpp"
#include "model/extras.hpp"
#include "persist/model_file.hpp"

namespace tolvane {

constexpr std::string_view EXTRAS_MAGIC = "TLVEXTRA";
constexpr std::uint32_t EXTRAS_VERSION = 1;

struct model_with_extras {
    Data data;
    model_extras extras;
};

// A whole file content: the maps, then the block. A damaged block or one
// that does not fit the maps is an error of kind extension.
std::variant<model_with_extras, model_read_error> deserialize_model_with_extras(std::string_view bytes);

// The complete file content of a model with its extras.
std::string serialize_model_with_extras(const Data& data, const model_extras& extras);

// The block's bytes, or nothing for extras that are empty: a plain model's
// file stays exactly the three maps.
std::string serialize_extras(const model_extras& extras);

// Where the three maps of an already parsed model file end.
std::size_t model_maps_end(std::string_view file);

// The extras in `tail`, the bytes after the three maps: empty extras for no
// bytes or for bytes that are no block (an old file with something appended,
// which the module ignores too). A description for a block that is damaged,
// cut short or from a later version.
std::variant<model_extras, std::string> parse_extras(std::string_view tail);

// Whether the extras fit the model they came with: every special and byte
// token holds its own text, the ASCII byte tokens are those characters'
// graphemes, and no merge uses a special, a high byte token or "oov". The
// first misfit described, or nothing.
std::optional<std::string> check_extras(const Data& data, const model_extras& extras);

// CRC-32 with the polynomial zlib uses, so Python's zlib.crc32 agrees.
std::uint32_t crc32(std::string_view bytes);

}  // namespace tolvane
