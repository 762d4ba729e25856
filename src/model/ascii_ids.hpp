// Single-byte graphemes are most of most texts. Remembering their ids for the
// length of one call saves hashing a text key per grapheme (about 40% of
// encoding long text went to those lookups).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "model/types.hpp"

namespace tolvane {

// Valid only while no id of a remembered grapheme can change: within one
// encode call (the model is read only) or one chunk of training (ids, once
// given, stay).
class ascii_ids {
public:
    ascii_ids() { ids.fill(-1); }

    // The id of grapheme `g`, asking resolve(g) only for what is not remembered.
    template <class Resolve>
    token_id get(std::string_view g, Resolve&& resolve) {
        if (g.size() != 1 || static_cast<unsigned char>(g[0]) >= 0x80) return resolve(g);
        std::int32_t& slot = ids[static_cast<unsigned char>(g[0])];
        if (slot < 0) slot = resolve(g);
        return static_cast<token_id>(slot);
    }

    // The remembered id of the one-byte grapheme `b` (below 0x80), or -1.
    std::int32_t find(unsigned char b) const { return ids[b]; }

private:
    std::array<std::int32_t, 128> ids;
};

}  // namespace tolvane
