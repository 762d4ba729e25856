// The learned model: token texts by id, learned merges by pair, and grapheme
// tokens by text. It is a plain structure; every operation is a free function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/types.hpp"

namespace tolvane {

// lookup: token id -> token text. Dense by id, since ids are at most 16 bits
// and a trained model uses 0..N-1 without gaps; walking it is ascending by id,
// which makes `vocab` and the model file the same on every run.
class token_lookup {
public:
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }
    bool contains(token_id id) const { return id < present.size() && present[id]; }
    // The text of `id`, or nullptr. The pointer is valid until the next insert.
    const std::string* find(token_id id) const { return contains(id) ? &texts[id] : nullptr; }
    // Adds or overwrites the entry of `id`.
    void insert_or_assign(token_id id, std::string text);
    // The lowest id not in use, or nothing when all 65,536 are taken. For a
    // model built by training this is exactly size().
    std::optional<token_id> next_free_id() const;
    // Calls f(id, text) for every entry in ascending id order.
    template <class F> void for_each(F&& f) const {
        for (std::size_t id = 0; id < present.size(); ++id)
            if (present[id]) f(static_cast<token_id>(id), texts[id]);
    }
    void reserve(std::size_t n);

private:
    std::vector<std::string> texts;
    std::vector<bool> present;
    std::size_t count = 0;
    mutable std::size_t free_hint = 0;  // no id below it is free; entries are never removed
};

using merge_table = std::unordered_map<token_pair, token_id, pair_hash>;

struct text_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        // Almost every key is one grapheme of one to four bytes, and encoding
        // a sentence looks up dozens of them: packing a short key into one
        // word and multiplying is a few instructions where the general string
        // hash is tens. Distinct short keys give distinct words.
        if (s.size() <= 8) {
            std::uint64_t word = s.size();
            for (char c : s) word = (word << 8) | static_cast<unsigned char>(c);
            word *= 0x9E3779B97F4A7C15ull;
            return static_cast<std::size_t>(word ^ (word >> 29));
        }
        return std::hash<std::string_view>{}(s);
    }
};
// unicode_lookup: grapheme text -> token id; looked up by string_view without copying.
using grapheme_table = std::unordered_map<std::string, token_id, text_hash, std::equal_to<>>;

struct Data {
    token_lookup lookup;
    merge_table merges;
    grapheme_table unicode_lookup;
};

inline const token_id* find_merge(const merge_table& merges, token_pair p) {
    auto it = merges.find(p);
    return it == merges.end() ? nullptr : &it->second;
}

inline const token_id* find_grapheme(const grapheme_table& table, std::string_view g) {
    auto it = table.find(g);
    return it == table.end() ? nullptr : &it->second;
}

}  // namespace tolvane
