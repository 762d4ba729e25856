#include "model/grapheme.hpp"

#include <cstdint>

#include <utf8proc.h>

namespace tolvane {

namespace {

// Decodes the code point at `i` and moves `i` past it. Callers pass valid
// UTF-8 (Python strings, lossily decoded chunks, checked model keys); should a
// sequence ever run past the end anyway, its lead byte is taken alone as
// U+FFFD so the split never reads outside the text.
inline std::int32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
    const std::uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        i += 1;
        return b0;
    }
    const std::size_t len = b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
    if (len > text.size() - i) {
        i += 1;
        return 0xFFFD;
    }
    std::int32_t cp = b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
    i += len;
    return cp;
}

}  // namespace

std::size_t grapheme_end_reference(std::string_view text, std::size_t start) {
    std::size_t i = start;
    std::int32_t prev = next_code_point(text, i);
    // The break state carries what the rules for emoji sequences and regional
    // indicator pairs need to know about the cluster so far; it starts fresh at
    // every grapheme start, which the segmentation rules allow after a break.
    std::int32_t state = 0;
    while (i < text.size()) {
        std::size_t here = i;
        std::int32_t cp = next_code_point(text, i);
        if (utf8proc_grapheme_break_stateful(prev, cp, &state)) return here;
        prev = cp;
    }
    return text.size();
}

}  // namespace tolvane
