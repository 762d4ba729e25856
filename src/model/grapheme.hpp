// The one grapheme split (extended grapheme clusters, Unicode 15.0, no GB9c),
// shared by training and encoding so both see the same units.
#pragma once

#include <cstddef>
#include <string_view>

namespace tolvane {

// Offset one past the grapheme that starts at `start`; requires start < text.size()
// and `text` valid UTF-8.
std::size_t grapheme_end(std::string_view text, std::size_t start);

// The same boundaries with every code point pair asked of the segmentation
// rules, no shortcut for ASCII; kept so tests can compare the two.
std::size_t grapheme_end_reference(std::string_view text, std::size_t start);

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
