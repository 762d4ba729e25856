#include <gtest/gtest.h>

#include <string>
#include <vector>

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
