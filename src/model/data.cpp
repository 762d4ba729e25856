#include "model/data.hpp"

#include <algorithm>
#include <utility>

namespace tolvane {

void token_lookup::insert_or_assign(token_id id, std::string text) {
    if (id >= present.size()) {
        // Grow geometrically but never past the id space.
        std::size_t want = std::max<std::size_t>(std::size_t{id} + 1, present.size() * 2);
        want = std::min(want, MAX_TOKENS);
        texts.resize(want);
        present.resize(want, false);
    }
    if (!present[id]) {
        present[id] = true;
        ++count;
    }
    texts[id] = std::move(text);
}

std::optional<token_id> token_lookup::next_free_id() const {
    while (free_hint < present.size() && present[free_hint]) ++free_hint;
    if (free_hint >= MAX_TOKENS) return std::nullopt;
    return static_cast<token_id>(free_hint);
}

void token_lookup::reserve(std::size_t n) {
    n = std::min(n, MAX_TOKENS);
    texts.reserve(n);
    present.reserve(n);
}

}  // namespace tolvane
