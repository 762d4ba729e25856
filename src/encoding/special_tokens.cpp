#include "encoding/special_tokens.hpp"

#include <algorithm>
#include <cstring>

namespace tolvane {

special_choice special_choice::refuse_all(std::size_t specials) {
    special_choice choice;
    choice.match.assign(specials, false);
    choice.refuse.assign(specials, true);
    choice.refused = specials;
    return choice;
}

void special_choice::set_match(std::size_t index) {
    if (!match[index]) ++matched;
    match[index] = true;
    // A special the call matches is never refused as well.
    set_refuse(index, false);
}

void special_choice::set_refuse(std::size_t index, bool refuse_it) {
    refuse_it = refuse_it && !match[index];
    if (refuse[index] != refuse_it) refuse_it ? ++refused : --refused;
    refuse[index] = refuse_it;
}

special_matcher::special_matcher(std::vector<special_token> list) : specials{std::move(list)} {
    std::vector<bool> firsts(256, false);
    int distinct = 0;
    for (std::uint32_t k = 0; k < specials.size(); ++k) {
        const std::string& text = specials[k].text;
        if (text.empty()) continue;  // the model file's reader refuses these
        const auto first = static_cast<unsigned char>(text[0]);
        starting[first].push_back(k);
        if (!firsts[first]) {
            firsts[first] = true;
            ++distinct;
            only_first_byte = first;
        }
        if (specials[k].id >= special_id.size()) special_id.resize(std::size_t{specials[k].id} + 1, false);
        special_id[specials[k].id] = true;
    }
    if (distinct != 1) only_first_byte = -1;
    for (auto& list_of : starting)
        std::stable_sort(list_of.begin(), list_of.end(), [&](std::uint32_t a, std::uint32_t b) {
            return specials[a].text.size() > specials[b].text.size();
        });
}

std::optional<std::size_t> special_matcher::index_of(std::string_view text) const {
    for (std::size_t k = 0; k < specials.size(); ++k)
        if (specials[k].text == text) return k;
    return std::nullopt;
}

std::optional<special_matcher::match> special_matcher::find(std::string_view text, std::size_t from,
                                                            const std::vector<bool>& among) const {
    const char* base = text.data();
    const std::size_t n = text.size();
    for (std::size_t at = from; at < n; ++at) {
        if (only_first_byte >= 0) {
            const void* hit = std::memchr(base + at, only_first_byte, n - at);
            if (!hit) return std::nullopt;
            at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
        }
        for (std::uint32_t k : starting[static_cast<unsigned char>(base[at])]) {
            const std::string& spelling = specials[k].text;
            if (among[k] && text.substr(at, spelling.size()) == spelling) return match{at, k};
        }
    }
    return std::nullopt;
}

std::string refused_special_message(std::string_view special, std::size_t at) {
    return "the text holds the special token \"" + std::string(special) + "\" at byte " + std::to_string(at) +
           ": pass allowed_special to encode it as its id, or disallowed_special=() to encode it as "
           "ordinary text";
}

}  // namespace tolvane
