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

bool ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }

}  // namespace

// The tokens walk the text from border to border. Nearly every token ends
// where an ASCII character meets another (CR LF aside), which is always a
// grapheme border, so it is not asked of the split; any other end is found
// by splitting from the token's start. Only byte tokens end inside a
// grapheme: the walk then keeps that grapheme until its bytes are used up.
// A special token's ends are borders too, as the encoder split the text
// there before it looked for graphemes.
void write_token_offsets(const tokenizer& tok, std::string_view text, std::span<const token_id> ids,
                         std::uint64_t* spans) {
    // Two entries per id, in turn.
    auto push = [&](std::uint64_t start, std::uint64_t end) {
        *spans++ = start;
        *spans++ = end;
    };
    const auto oov = tok.oov_id();
    std::size_t cursor = 0;  // bytes the tokens so far stand for
    std::uint64_t point = 0;  // code points before the cursor, once it is on a border
    // The grapheme the cursor is inside, while byte tokens spell it out.
    std::size_t inside_end = 0;
    std::uint64_t inside_first = 0, inside_last = 0;
    for (token_id id : ids) {
        const std::string* t = tok.model().lookup.find(id);
        const bool whole_grapheme = oov && id == *oov;  // stands for one grapheme, whatever its text
        const std::size_t length = t && !whole_grapheme ? t->size() : 0;
        if (cursor < inside_end) {
            cursor = std::min(cursor + length, inside_end);
            push(inside_first, inside_last);
            if (cursor == inside_end) point = inside_last;
            continue;
        }
        if (cursor >= text.size() || (length == 0 && !whole_grapheme)) {
            push(point, point);  // a hand-made model's empty token, or past the end
            continue;
        }
        const std::size_t end = whole_grapheme ? grapheme_end(text, cursor)
                                               : std::min(cursor + length, text.size());
        // A special token was matched on its spelling, which cuts the text
        // where it stands, whatever graphemes the text would have there.
        const char before = text[end - 1];
        const bool border = tok.specials().is_special(id) ||
            (ascii(before) &&
             (end == text.size() || (ascii(text[end]) && !(before == '\r' && text[end] == '\n'))));
        if (!whole_grapheme && border) {
            const std::uint64_t start = point;
            point += code_points(text.substr(cursor, end - cursor));
            push(start, point);
            cursor = end;
            continue;
        }
        // Graphemes from the cursor until one reaches the token's end.
        std::size_t at = cursor;
        std::uint64_t at_point = point;
        while (at < end) {
            const std::size_t next = grapheme_end(text, at);
            const std::uint64_t next_point = at_point + code_points(text.substr(at, next - at));
            if (next > end) {  // the token ends inside this grapheme
                inside_end = next;
                inside_first = at_point;
                inside_last = next_point;
            }
            at = next;
            at_point = next_point;
        }
        push(point, at_point);
        cursor = end;
        if (cursor == at) point = at_point;
    }
}

void append_token_offsets(const tokenizer& tok, std::string_view text, std::span<const token_id> ids,
                          std::vector<std::uint64_t>& out) {
    const std::size_t before = out.size();
    out.resize(before + 2 * ids.size());
    write_token_offsets(tok, text, ids, out.data() + before);
}

}  // namespace tolvane
