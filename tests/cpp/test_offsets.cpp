#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "encoding/batch.hpp"
#include "model/grapheme.hpp"
#include "learning/merge_learning.hpp"
#include "encoding/offsets.hpp"
#include "model/pretokenize.hpp"
#include "encoding/tokenizer.hpp"
#include "learned_model.hpp"

using namespace tolvane;

namespace {

std::uint64_t code_points(std::string_view s) {
    std::uint64_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// The code point index of every grapheme border of `text`, and the byte
// offset of each code point index.
struct borders {
    std::set<std::uint64_t> at;
    std::vector<std::size_t> byte_of;
};

borders borders_of(std::string_view text) {
    borders b;
    b.at.insert(0);
    std::size_t byte = 0;
    for_each_grapheme(text, [&](std::string_view g) {
        for (std::size_t i = 0; i < g.size(); ++i)
            if ((static_cast<unsigned char>(g[i]) & 0xC0) != 0x80) b.byte_of.push_back(byte + i);
        byte += g.size();
        b.at.insert(b.byte_of.size());
    });
    b.byte_of.push_back(byte);
    return b;
}

}  // namespace

// Both modes on a learned model: the spans are contiguous, cover the text,
// start and end at grapheme borders, and each holds its token's text (the
// oov id's span holds one unknown grapheme).
TEST(TokenOffsets, SpansFollowTheTokensAndGraphemeBorders) {
    const std::vector<std::string> words{"the ", "tokenizer ", "é", "👩‍👩‍👧 ", "merges ", "pairs\r\n",
                                         "aaaa", "ab", "中文 ", "e\u0301", "🇩🇪🇺🇸"};
    std::mt19937 rng{3};
    std::string training;
    while (training.size() < 100'000) training += words[rng() % words.size()];
    const tokenizer tok{learned_model(training)};
    const std::vector<std::string> extra{"ж", "x\u0308", "🇫🇷", "\r", "\n"};  // some unknown
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const std::size_t count = rng() % 30;
        for (std::size_t i = 0; i < count; ++i)
            text += rng() % 5 ? words[rng() % words.size()] : extra[rng() % extra.size()];
        const borders b = borders_of(text);
        for (encode_mode mode : {encode_mode::compatible, encode_mode::ranked}) {
            if (code_points(text) < 2 && mode == encode_mode::compatible) continue;
            const token_sequence ids = tok.encode(text, mode);
            std::vector<std::uint64_t> spans;
            append_token_offsets(tok, text, ids, spans);
            ASSERT_EQ(spans.size(), 2 * ids.size());
            std::uint64_t expected_start = 0;
            for (std::size_t i = 0; i < ids.size(); ++i) {
                const std::uint64_t start = spans[2 * i], end = spans[2 * i + 1];
                ASSERT_EQ(start, expected_start) << text;
                ASSERT_LT(start, end) << text;
                ASSERT_TRUE(b.at.count(start) && b.at.count(end)) << text;
                const std::string piece = text.substr(b.byte_of[start], b.byte_of[end] - b.byte_of[start]);
                if (ids[i] == *tok.oov_id())
                    EXPECT_FALSE(tok.grapheme_id(piece)) << piece;
                else
                    EXPECT_EQ(piece, *tok.model().lookup.find(ids[i]));
                expected_start = end;
            }
            EXPECT_EQ(expected_start, code_points(text)) << text;
        }
    }
}

// Several tokens standing for the bytes of one grapheme each span all of it;
// an empty text has no spans.
TEST(TokenOffsets, ByteTokensOfOneGraphemeSpanIt) {
    Data data;
    data.lookup.insert_or_assign(0, "");
    data.unicode_lookup["oov"] = 0;
    data.lookup.insert_or_assign(1, "a");
    data.unicode_lookup["a"] = 1;
    data.lookup.insert_or_assign(2, "\xC3");
    data.lookup.insert_or_assign(3, "\xA9");
    data.lookup.insert_or_assign(4, "\xCC");
    data.lookup.insert_or_assign(5, "\x81");
    const tokenizer tok{std::move(data)};
    // "aé" then "a" with a combining acute, written as byte tokens after "a".
    const std::string text = "a\u00e9a\u0301a";
    std::vector<std::uint64_t> spans;
    append_token_offsets(tok, text, std::vector<token_id>{1, 2, 3, 1, 4, 5, 1}, spans);
    EXPECT_EQ(spans, (std::vector<std::uint64_t>{0, 1, 1, 2, 1, 2, 2, 4, 2, 4, 2, 4, 4, 5}));
    spans.clear();
    append_token_offsets(tok, "", {}, spans);
    EXPECT_TRUE(spans.empty());
}

// The flat batch finds each text's spans on the thread that encoded it and
// lays them end to end: the same as text by text, for any thread count.
TEST(TokenOffsets, FlatBatchSpansMatchEachText) {
    std::mt19937 rng{5};
    const std::vector<std::string> words{"the ", "é", "👩‍👩‍👧 ", "pairs\r\n", "ab", "中文 ", "e\u0301"};
    std::string training;
    while (training.size() < 50'000) training += words[rng() % words.size()];
    const tokenizer tok{learned_model(training)};
    std::vector<std::string> owned(3000);
    for (auto& text : owned)
        for (std::size_t n = rng() % 12; n-- > 0;) text += words[rng() % words.size()] + (rng() % 9 ? "" : "ж");
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    std::vector<std::uint64_t> expected;
    for (std::string_view text : texts)
        append_token_offsets(tok, text, tok.encode(text, encode_mode::ranked), expected);
    for (unsigned threads : {1u, 2u, 4u}) {
        const flat_encoding flat = encode_flat_with_spans(tok, texts, encode_mode::ranked, threads);
        EXPECT_EQ(flat.ids, encode_flat(tok, texts, encode_mode::ranked, threads).ids);
        EXPECT_EQ(flat.spans, expected) << threads;
    }
}
