// Shared vocabulary of the core: token ids, pairs and sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tolvane {

using token_id = std::uint16_t;
using token_sequence = std::vector<token_id>;

// Ids are 16 bits wide, so a model never holds more tokens than this.
constexpr std::size_t MAX_TOKENS = 65536;

struct token_pair {
    token_id left;
    token_id right;
    friend bool operator==(token_pair, token_pair) = default;
};

// A pair packed into one integer: the hot loops key their maps with it, and
// ascending keys are ascending (left, right), the order ties fall back to.
constexpr std::uint32_t pair_key(token_pair p) {
    return (std::uint32_t{p.left} << 16) | p.right;
}
constexpr token_pair pair_from_key(std::uint32_t key) {
    return {static_cast<token_id>(key >> 16), static_cast<token_id>(key & 0xFFFF)};
}

struct pair_hash {
    std::size_t operator()(token_pair p) const noexcept {
        // Fibonacci multiply spreads the two 16-bit halves over the word.
        return static_cast<std::size_t>(pair_key(p) * 0x9E3779B97F4A7C15ull >> 17);
    }
};

}  // namespace tolvane
