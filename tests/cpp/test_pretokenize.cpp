#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "model/grapheme.hpp"
#include "model/pretokenize.hpp"

using namespace tolvane;

namespace {

Data fresh_model() {
    Data data;
    register_oov(data);
    return data;
}

// The grapheme texts behind a sequence, read back through lookup.
std::vector<std::string> texts_of(const Data& data, const token_sequence& seq) {
    std::vector<std::string> out;
    for (token_id id : seq) {
        const std::string* t = data.lookup.find(id);
        out.push_back(t ? *t : "<missing>");
    }
    return out;
}

// Every registered grapheme maps back to itself, and lookup never has more
// than one entry per id.
void expect_consistent(const Data& data) {
    for (const auto& [g, id] : data.unicode_lookup) {
        if (g == "oov") continue;
        ASSERT_NE(data.lookup.find(id), nullptr) << g;
        EXPECT_EQ(*data.lookup.find(id), g);
    }
}

}  // namespace

TEST(Pretokenize, WorkedExampleFromEmptyModel) {
    Data data = fresh_model();
    EXPECT_EQ(tokenize_chunk(data, "<|im_start|>abba\r\n"), (token_sequence{1, 2, 3, 3, 2, 4}));
    std::vector<std::pair<int, std::string>> entries;
    data.lookup.for_each([&](token_id id, const std::string& t) { entries.emplace_back(id, t); });
    EXPECT_EQ(entries, (std::vector<std::pair<int, std::string>>{
                           {0, ""}, {1, "^"}, {2, "a"}, {3, "b"}, {4, "\r\n"}}));
    EXPECT_EQ(data.unicode_lookup.size(), 5u);
    EXPECT_EQ(data.unicode_lookup.at("oov"), 0);
}

TEST(Pretokenize, ReplaceMarkers) {
    struct row {
        std::string text, want;
    };
    const std::vector<row> rows = {
        {"", ""},
        {"<|im_start|>", "^"},
        {"<|im_end|>", "^"},
        {"x<|im_start|>y<|im_end|>z", "x^y^z"},
        {"<|im_start|><|im_start|><|im_end|>", "^^^"},
        {"<|im_start", "<|im_start"},
        {"<|im_start|<|im_end|>", "<|im_start|^"},
        // Pieces of an end marker around a start marker do not join up.
        {"<|im_<|im_start|>end|>", "<|im_^end|>"},
        {"<<|im_end|>|>", "<^|>"},
    };
    for (const auto& r : rows) EXPECT_EQ(replace_markers(r.text), r.want) << r.text;
}

TEST(Pretokenize, MarkersShareTheIdOfALiteralCaret) {
    Data data = fresh_model();
    token_sequence seq = tokenize_chunk(data, "^<|im_start|><|im_end|>");
    EXPECT_EQ(seq, (token_sequence{1, 1, 1}));
    // Without its closing "|>" the marker is ordinary text, one grapheme per character.
    seq = tokenize_chunk(data, "<|im_start");
    EXPECT_EQ(texts_of(data, seq),
              (std::vector<std::string>{"<", "|", "i", "m", "_", "s", "t", "a", "r", "t"}));
}

TEST(Pretokenize, DistinctGraphemesGetDistinctIdsInOrderOfFirstAppearance) {
    Data data = fresh_model();
    const std::string acute = "\xCC\x81", fffd = "\xEF\xBF\xBD";
    const std::string ri_a = "\xF0\x9F\x87\xA6", ri_b = "\xF0\x9F\x87\xA7";
    const std::string text =
        "^" + acute + "^\r\n\r^\n" + ri_a + ri_b + ri_a + fffd + "e" + acute + "\xC3\xA9" + fffd;
    token_sequence seq = tokenize_chunk(data, text);
    EXPECT_EQ(texts_of(data, seq),
              (std::vector<std::string>{"^" + acute, "^", "\r\n", "\r", "^", "\n", ri_a + ri_b, ri_a,
                                        fffd, "e" + acute, "\xC3\xA9", fffd}));
    EXPECT_EQ(seq, (token_sequence{1, 2, 3, 4, 2, 5, 6, 7, 8, 9, 10, 8}));
    expect_consistent(data);
}

TEST(Pretokenize, EmptyTextChangesNothing) {
    Data data = fresh_model();
    EXPECT_TRUE(tokenize_chunk(data, "").empty());
    EXPECT_EQ(data.lookup.size(), 1u);
    EXPECT_EQ(data.unicode_lookup.size(), 1u);
}

TEST(Pretokenize, IdsSurviveLaterCallsAndRepeatedOovReservation) {
    Data data = fresh_model();
    EXPECT_EQ(tokenize_chunk(data, "ab"), (token_sequence{1, 2}));
    register_oov(data);
    EXPECT_EQ(tokenize_chunk(data, "bca"), (token_sequence{2, 3, 1}));
    // "oov" in the text is three ordinary graphemes and leaves the reserved key alone.
    EXPECT_EQ(tokenize_chunk(data, "oov"), (token_sequence{4, 4, 5}));
    EXPECT_EQ(data.unicode_lookup.at("oov"), 0);
}

TEST(Pretokenize, OovReservationOverwritesIdZero) {
    Data data;
    data.unicode_lookup.emplace("x", 0);
    data.lookup.insert_or_assign(0, "x");
    register_oov(data);
    EXPECT_EQ(data.unicode_lookup.at("x"), 0);
    EXPECT_EQ(data.unicode_lookup.at("oov"), 0);
    EXPECT_EQ(*data.lookup.find(0), "");
    // On an empty lookup the first new grapheme after the reservation is 1.
    Data empty;
    register_oov(empty);
    EXPECT_EQ(register_grapheme(empty, "z"), token_id{1});
}

TEST(Pretokenize, NewGraphemesFillGapsAndNeverReuseAnIdInUse) {
    Data data = fresh_model();
    data.lookup.insert_or_assign(1, "p");
    data.lookup.insert_or_assign(3, "q");
    EXPECT_EQ(tokenize_chunk(data, "xyx"), (token_sequence{2, 4, 2}));
    EXPECT_EQ(*data.lookup.find(3), "q");
}

TEST(Pretokenize, FullIdSpaceLeavesNewGraphemesUnregistered) {
    Data data = fresh_model();
    for (std::size_t id = 1; id < MAX_TOKENS; ++id) {
        std::string g = "g" + std::to_string(id);
        data.lookup.insert_or_assign(static_cast<token_id>(id), g);
    }
    data.unicode_lookup.emplace("a", 65535);
    EXPECT_EQ(register_grapheme(data, "b"), std::nullopt);
    EXPECT_EQ(tokenize_chunk(data, "aba"), (token_sequence{65535, 0, 65535}));
    EXPECT_FALSE(data.unicode_lookup.contains("b"));
    EXPECT_EQ(data.lookup.size(), MAX_TOKENS);
    EXPECT_EQ(*data.lookup.find(0), "");
}

// The chunk tokenizer takes runs of plain ASCII eight bytes at a time and
// everything else grapheme by grapheme: its texts must be exactly the
// grapheme split of the chunk wherever the runs start and end. Random mixes
// of the bytes each rule treats differently (CR, LF before a combining mark,
// letters before a mark, emoji, tabs and DEL).
TEST(Pretokenize, TextsAreTheGraphemeSplitAroundAsciiRuns) {
    const std::vector<std::string> parts = {"a", "b", " ", "\n", "\r", "\r\n", "\t", "\x7f", "Z", "7",
                                            "\xcc\x81" /* U+0301 */, "\xc3\xa9", "\xe2\x80\x99",
                                            "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "\xe2\x80\x8d"};
    std::uint64_t state = 12345;
    auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::size_t>(state >> 33);
    };
    Data data = fresh_model();
    for (int round = 0; round < 3000; ++round) {
        // The fast path takes only bytes already seen in the same chunk:
        // every ASCII byte used comes once first.
        std::string text = "abcdefghijklmnopqrstuvwxyz Z7\t\x7f\r.\n";
        const std::size_t pieces = next() % 40;
        for (std::size_t k = 0; k < pieces; ++k) {
            // Mostly plain letters, so runs of eight and more do occur.
            text += next() % 3 ? std::string(1, static_cast<char>('a' + next() % 26)) : parts[next() % parts.size()];
        }
        std::vector<std::string> expected;
        for_each_grapheme(text, [&](std::string_view g) { expected.emplace_back(g); });
        ASSERT_EQ(texts_of(data, tokenize_chunk(data, text)), expected) << "round " << round;
    }
    expect_consistent(data);
}
