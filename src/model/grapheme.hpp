// The one grapheme split (extended grapheme clusters, Unicode 15.0, no GB9c),
// shared by training and encoding so both see the same units.
#pragma once

#include <cstddef>
#include <string_view>

namespace tolvane {

// The same boundaries with every code point pair asked of the segmentation
// rules, no shortcut for ASCII; grapheme_end takes it for everything
// but the common ASCII cases, and tests compare the two.
std::size_t grapheme_end_reference(std::string_view text, std::size_t start);

// Offset one past the grapheme that starts at `start`; requires start < text.size()
// and `text` valid UTF-8. Inline, since splitting a training chunk asks it
// once per grapheme, three million times.
inline std::size_t grapheme_end(std::string_view text, std::size_t start) {
    // ASCII fast path. Nothing joins after a control, CR LF aside, and no ASCII
    // character is a mark, a joiner or a prepended character, so an ASCII
    // character ends its grapheme unless the next byte starts a non-ASCII code
    // point, which might be a combining mark; that case takes the full rules.
    const auto b0 = static_cast<unsigned char>(text[start]);
    if (b0 < 0x80) {
        const std::size_t after = start + 1;
        if (after == text.size()) return after;
        const auto b1 = static_cast<unsigned char>(text[after]);
        if (b0 == '\r') return b1 == '\n' ? after + 1 : after;
        if (b0 < 0x20 || b0 == 0x7F || b1 < 0x80) return after;
    }
    return grapheme_end_reference(text, start);
}


// Calls f(grapheme) for each grapheme of `text` in order; the pieces are views
// into `text` and concatenate back to it.
template <class F>
void for_each_grapheme(std::string_view text, F&& f) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = grapheme_end(text, i);
        f(text.substr(i, end - i));
        i = end;
    }
}

}  // namespace tolvane
