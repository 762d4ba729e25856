#include "model/pretokenize.hpp"

#include "model/ascii_ids.hpp"
#include "model/grapheme.hpp"

namespace tolvane {

namespace {

constexpr std::string_view START_MARKER = "<|im_start|>";
constexpr std::string_view END_MARKER = "<|im_end|>";
constexpr std::string_view MARKER_REPLACEMENT = "^";

// Left to right over non-overlapping occurrences.
std::string replace_all(std::string_view text, std::string_view marker) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(marker, from)) != std::string_view::npos;
         from = at + marker.size()) {
        out.append(text.substr(from, at - from));
        out.append(MARKER_REPLACEMENT);
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace

void register_oov(Data& data) {
    data.unicode_lookup.insert_or_assign("oov", token_id{0});
    data.lookup.insert_or_assign(0, std::string{});
}

std::optional<token_id> register_grapheme(Data& data, std::string_view grapheme) {
    if (const token_id* known = find_grapheme(data.unicode_lookup, grapheme)) return *known;
    // An id that lookup already uses is never handed out again: when every id
    // is taken the grapheme stays unregistered.
    std::optional<token_id> id = data.lookup.next_free_id();
    if (!id) return std::nullopt;
    data.unicode_lookup.emplace(std::string{grapheme}, *id);
    data.lookup.insert_or_assign(*id, std::string{grapheme});
    return id;
}

std::string replace_markers(std::string_view text) {
    // The end marker is replaced in the text the start marker pass left behind.
    return replace_all(replace_all(text, START_MARKER), END_MARKER);
}

token_sequence tokenize_chunk(Data& data, std::string_view text) {
    // Most chunks hold no marker; scanning for one is far cheaper than copying
    // the whole chunk twice.
    std::string replaced;
    std::string_view source = text;
    if (text.find(START_MARKER) != std::string_view::npos ||
        text.find(END_MARKER) != std::string_view::npos) {
        replaced = replace_markers(text);
        source = replaced;
    }

    auto resolve = [&](std::string_view g) {
        // One lookup by view for a known grapheme: no copy, no allocation.
        if (const token_id* id = find_grapheme(data.unicode_lookup, g)) return *id;
        return register_grapheme(data, g).value_or(0);
    };
    // At most one grapheme per byte: the ids are written in place and the
    // vector cut to length once, with no capacity check per grapheme.
    token_sequence tokens(source.size());
    token_id* out = tokens.data();
    ascii_ids known;
    const std::size_t n = source.size();
    for (std::size_t i = 0; i < n;) {
        const std::size_t end = grapheme_end(source, i);
        *out++ = known.get(source.substr(i, end - i), resolve);
        i = end;
    }
    tokens.resize(static_cast<std::size_t>(out - tokens.data()));
    return tokens;
}

}  // namespace tolvane
