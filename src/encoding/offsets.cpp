#include "encoding/offsets.hpp"

#include <algorithm>

#include "model/grapheme.hpp"

namespace tolvane {

namespace {

std::uint64_t code_points(std::string_view bytes) {
    std::uint64_t n = 0;
    for (char c : bytes) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// The grapheme of the text that holds a byte position, walked forward only:
// bytes [start, end), code points [first, last).
class grapheme_walk {
public:
    explicit grapheme_walk(std::string_view text) : text{text} {
        end = next_end(0);
        last = code_points(text.substr(0, end));
    }

    // Moves on until the grapheme holds byte `pos` (pos < text.size()).
    void reach(std::size_t pos) {
        while (end <= pos) {
            start = end;
            first = last;
            end = next_end(start);
            last = first + code_points(text.substr(start, end - start));
        }
    }

    std::size_t start = 0, end = 0;
    std::uint64_t first = 0, last = 0;

private:
    std::size_t next_end(std::size_t from) const { return from < text.size() ? grapheme_end(text, from) : from; }
    std::string_view text;
};

}  // namespace

void append_token_offsets(const tokenizer& tok, std::string_view text, std::span<const token_id> ids,
                          std::vector<std::uint64_t>& out) {
    out.reserve(out.size() + 2 * ids.size());
    const auto oov = tok.oov_id();
    grapheme_walk walk{text};
    std::size_t cursor = 0;  // bytes of the text the tokens so far stand for
    for (token_id id : ids) {
        if (cursor >= text.size()) {
            // Only a hand-made model gives tokens past the end; they are empty there.
            out.push_back(walk.last);
            out.push_back(walk.last);
            continue;
        }
        walk.reach(cursor);
        // The oov id stands for the whole grapheme at the cursor whatever its
        // text; every other token for as many bytes as its text has.
        std::size_t length = 0;
        if (oov && id == *oov) {
            length = walk.end - cursor;
        } else if (const std::string* t = tok.model().lookup.find(id)) {
            length = t->size();
        }
        const std::uint64_t start = walk.first;  // the grapheme the token starts in
        if (length == 0) {
            out.push_back(start);
            out.push_back(start);
            continue;
        }
        cursor = std::min(cursor + length, text.size());
        walk.reach(cursor - 1);
        out.push_back(start);
        out.push_back(walk.last);
    }
}

}  // namespace tolvane
