// Special tokens in text. A model's special tokens are reserved ids whose
// spelling ordinary text may hold too; each encode call says which of them
// it matches in the text (emitted as their ids, never split) and which it
// refuses (the text must not hold them). The rest are read as ordinary text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/types.hpp"
#include "model/extras.hpp"

namespace tolvane {

// What one call does with each special token, by its index in the model's list.
struct special_choice {
    std::vector<bool> match;   // emitted as its id where the text spells it
    std::vector<bool> refuse;  // the text may not spell it
    std::size_t matched = 0;   // how many are set in each
    std::size_t refused = 0;

    bool matches_any() const { return matched > 0; }
    bool refuses_any() const { return refused > 0; }

    // Matches none and refuses all: text that spells a special token is an
    // error unless the caller says otherwise.
    static special_choice refuse_all(std::size_t specials);
    void set_match(std::size_t index);
    void set_refuse(std::size_t index, bool refused);
};

class special_matcher {
public:
    special_matcher() = default;
    explicit special_matcher(std::vector<special_token> specials);

    bool empty() const { return specials.empty(); }
    std::size_t size() const { return specials.size(); }
    const special_token& operator[](std::size_t index) const { return specials[index]; }
    // The index of the special token spelt `text`, or nothing.
    std::optional<std::size_t> index_of(std::string_view text) const;
    bool is_special(token_id id) const { return id < special_id.size() && special_id[id]; }

    struct match {
        std::size_t at;     // byte offset in the text
        std::size_t index;  // of the special token
    };
    // The leftmost spelling at or after `from` of a special token `among`
    // holds, the longest one where several start at that offset.
    std::optional<match> find(std::string_view text, std::size_t from, const std::vector<bool>& among) const;

private:
    std::vector<special_token> specials;
    // By first byte: the special tokens starting with it, longest first.
    std::array<std::vector<std::uint32_t>, 256> starting;
    // Most models' specials all start with one byte ('<'), then memchr skips
    // ahead to it; -1 when there are several first bytes.
    int only_first_byte = -1;
    std::vector<bool> special_id;  // by token id
};

// The message for text that spells a refused special token.
std::string refused_special_message(std::string_view special, std::size_t at);

}  // namespace tolvane
