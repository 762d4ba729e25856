// Cutting documents into pieces no token may span, and counting the
// distinct pieces of a whole corpus exactly.
//
// The trainer learns merges inside pieces only, so every token it makes lies
// within one piece. The cut rule depends on nothing but the two graphemes on
// either side of a border, so no token can ever span a border in any text:
// the ranked encoder, which cuts a text wherever no token spans the two
// graphemes there, then gives for a whole text exactly what it gives piece by
// piece. The rule, between a grapheme p and the grapheme g after it:
//   - g begins with a space (U+0020) and p does not: a word takes the spaces
//     before it, so " the" and "   return" are tokens, "the cat" is not;
//   - g is a line break (LF, CR, CR LF) and p is not, or p is one and g is
//     not: runs of line breaks are pieces of their own, "\n\n" is a token,
//     "end.\n" and "\nThe" are not.
// Nothing else cuts: punctuation and digits stay with the letters beside
// them ("world," and "(see" can become tokens), and a text written without
// spaces (Chinese, Japanese, Thai) is cut only at its spaces and line breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tolvane {

// Calls f(piece) for each piece of `text` (valid UTF-8) in order; the
// pieces are views into `text` and concatenate back to it.
template <class F>
void for_each_piece(std::string_view text, F&& f);

// The distinct pieces seen and how often each was seen. Memory grows with
// the distinct pieces and their bytes (about 40 bytes each plus the text),
// never with the text counted. (Not "piece_table": the ranked encoder's
// cache has that name in this namespace, and two classes of one name break
// the one-definition rule: the linker may hand one's members to the other.)
class piece_counts {
public:
    piece_counts();
    piece_counts(piece_counts&&) noexcept;
    piece_counts& operator=(piece_counts&&) noexcept;
    ~piece_counts();

    void add(std::string_view piece, std::uint64_t times = 1);
    // Every piece of `other` counted here too.
    void absorb(const piece_counts& other);
    std::size_t distinct() const { return used; }
    std::uint64_t counted() const { return total; }
    std::size_t text_bytes() const { return stored_bytes; }
    // Every piece counted fewer than `below` times is forgotten, and the
    // memory of the forgotten given back. Returns how many were.
    std::size_t drop_below(std::uint64_t below);
    // f(piece, count) for every distinct piece, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for (const slot& s : slots)
            if (s.text) f(std::string_view{s.text, s.size}, s.count);
    }

private:
    struct slot {
        std::uint64_t hash;
        std::uint64_t count;
        const char* text;  // in `blocks`; nullptr: empty slot
        std::size_t size;
    };
    const char* store(std::string_view piece);
    void grow();

    std::vector<slot> slots;
    std::size_t used = 0;
    std::uint64_t total = 0;
    std::size_t stored_bytes = 0;
    // The texts, in blocks that never move once written.
    std::vector<std::unique_ptr<char[]>> blocks;
    std::size_t block_left = 0;
    char* block_at = nullptr;
};

namespace piece_rule {

enum class kind : std::uint8_t { other, space, line_break, none };

inline kind kind_of(char first) {
    if (first == ' ') return kind::space;
    if (first == '\n' || first == '\r') return kind::line_break;
    return kind::other;
}

// Whether a piece begins at g, the grapheme after p.
inline bool begins_piece(kind p, kind g) {
    if (p == kind::none) return false;
    if (g == kind::space) return p != kind::space;
    return (g == kind::line_break) != (p == kind::line_break);
}

}  // namespace piece_rule

}  // namespace tolvane

#include "model/grapheme.hpp"

namespace tolvane {

template <class F>
void for_each_piece(std::string_view text, F&& f) {
    using namespace piece_rule;
    std::size_t start = 0;
    kind previous = kind::none;
    for (std::size_t i = 0; i < text.size();) {
        // A grapheme's kind is its first byte's: a space or a line break
        // never joins the grapheme before it (a prepended mark aside, whose
        // grapheme then begins with the mark), and CR LF is one grapheme.
        const kind k = kind_of(text[i]);
        if (begins_piece(previous, k)) {
            f(text.substr(start, i - start));
            start = i;
        }
        previous = k;
        i = grapheme_end(text, i);
    }
    if (start < text.size()) f(text.substr(start));
}

}  // namespace tolvane
