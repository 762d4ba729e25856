#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "encoding/batch.hpp"
#include "encoding/encode.hpp"
#include "model/failure.hpp"
#include "learning/merge_learning.hpp"
#include "model/pretokenize.hpp"
#include "encoding/tokenizer.hpp"
#include "persist/atomic_file.hpp"
#include "learned_model.hpp"

using namespace tolvane;
namespace fs = std::filesystem;

namespace {

std::string sample_text() {
    std::string text;
    std::mt19937 rng{7};
    const std::vector<std::string> words{"the ", "tokenizer ", "é", "👩‍👩‍👧 ", "merges ", "pairs\n",
                                         "aaaa", "ab", "中文 ", "e\u0301"};
    while (text.size() < 300'000) text += words[rng() % words.size()];
    return text;
}

std::vector<std::string_view> cut(const std::string& text, std::size_t count) {
    std::vector<std::string_view> pieces;
    std::mt19937 rng{11};
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t len = rng() % 400;
        // Cut on ASCII bytes only, so every piece stays valid UTF-8.
        while (at + len < text.size() && static_cast<unsigned char>(text[at + len]) >= 0x80) ++len;
        len = std::min(len, text.size() - at);
        pieces.push_back(std::string_view{text}.substr(at, len));
        at = (at + len) % (text.size() / 2);
    }
    return pieces;
}

std::string failure_of(auto&& call) {
    try {
        call();
    } catch (const failure& f) {
        return f.message;
    }
    return "<no failure>";
}

}  // namespace

TEST(Tokenizer, CompatibleIsEncodeAndBatchesAreOneCallPerText) {
    const std::string text = sample_text();
    Data model = learned_model(text);
    const Data copy = model;
    const tokenizer tok{std::move(model)};
    const auto texts = cut(text, 3000);
    for (encode_mode mode : {encode_mode::compatible, encode_mode::ranked}) {
        std::vector<token_sequence> one_by_one;
        for (std::string_view t : texts) {
            one_by_one.push_back(tok.encode(t, mode));
            if (mode == encode_mode::compatible) {
                ASSERT_EQ(one_by_one.back(), encode(copy, t));
            }
            ASSERT_EQ(tok.count(t, mode), one_by_one.back().size());
        }
        for (unsigned threads : {1u, 2u, 3u, 8u, 64u}) {
            EXPECT_EQ(encode_batch(tok, texts, mode, threads), one_by_one) << threads;
            flat_encoding flat = encode_flat(tok, texts, mode, threads);
            ASSERT_EQ(flat.offsets.size(), texts.size() + 1);
            for (std::size_t i = 0; i < texts.size(); ++i)
                ASSERT_EQ(token_sequence(flat.ids.begin() + flat.offsets[i], flat.ids.begin() + flat.offsets[i + 1]),
                          one_by_one[i]);
            EXPECT_EQ(flat.offsets.back(), flat.ids.size());
        }
        EXPECT_TRUE(encode_batch(tok, {}, mode, 4).empty());
        EXPECT_EQ(encode_flat(tok, {}, mode, 4).offsets, std::vector<std::uint64_t>{0});
    }
}

TEST(Tokenizer, BatchFailureIsThatOfTheLowestFailingText) {
    Data model = learned_model(sample_text());
    model.unicode_lookup.erase("oov");
    const tokenizer tok{std::move(model)};
    EXPECT_EQ(tok.oov_id(), std::nullopt);
    std::vector<std::string> owned(20'000, std::string(40, 'a'));
    owned[777] = "ab#";
    owned[5000] = "q";
    owned[19'999] = "x";
    const std::vector<std::string_view> texts(owned.begin(), owned.end());
    for (encode_mode mode : {encode_mode::compatible, encode_mode::ranked}) {
        EXPECT_EQ(failure_of([&] { tok.encode("ab#", mode); }),
                  "unknown grapheme \"#\" (U+0023) and the model has no \"oov\" token");
        for (unsigned threads : {1u, 2u, 8u}) {
            std::string expected = "texts[777]: unknown grapheme \"#\" (U+0023) and the model has no \"oov\" token";
            EXPECT_EQ(failure_of([&] { encode_batch(tok, texts, mode, threads); }), expected);
            EXPECT_EQ(failure_of([&] { encode_flat(tok, texts, mode, threads); }), expected);
        }
    }
}

TEST(Tokenizer, ModelQueries) {
    Data model;
    register_oov(model);
    const token_id a = *register_grapheme(model, "a");
    const token_id b = *register_grapheme(model, "b");
    const token_id ab = 7;  // a gap before it
    model.lookup.insert_or_assign(ab, "ab");
    model.merges[{b, b}] = ab;  // two pairs joined into the same id
    model.merges[{a, b}] = ab;
    const tokenizer tok{std::move(model)};
    EXPECT_EQ(tok.oov_id(), token_id{0});
    EXPECT_EQ(tok.grapheme_id("a"), a);
    EXPECT_EQ(tok.grapheme_id("oov"), std::nullopt);
    EXPECT_EQ(tok.merge_of(ab), (token_pair{a, b}));  // the smaller of the two pairs
    EXPECT_EQ(tok.merge_of(a), std::nullopt);
    EXPECT_EQ(tok.merge_of(65535), std::nullopt);
    const auto unknown = tok.unknown_graphemes("azbzé\u00e9y");
    ASSERT_EQ(unknown.size(), 3u);
    EXPECT_EQ(unknown[0], (std::pair<std::string_view, std::size_t>{"z", 2}));
    EXPECT_EQ(unknown[1], (std::pair<std::string_view, std::size_t>{"é", 2}));
    EXPECT_EQ(tok.decode(tok.encode("abba", encode_mode::ranked)), "abba");
    EXPECT_EQ(failure_of([&] { tok.decode(std::vector<token_id>{a, 999}); }), "token id 999 is not in the model");
}

TEST(AtomicFile, ReplacesInItsOwnFolderAndLeavesNothingOnFailure) {
    const fs::path folder = fs::temp_directory_path() / ("atomic-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "sub");
    const std::string target = (folder / "sub" / "model").string();
    replace_file_atomically(target, "first");
    replace_file_atomically(target, "second");
    std::ifstream in{target, std::ios::binary};
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>{in}, {}), "second");
    EXPECT_EQ(std::distance(fs::directory_iterator{folder / "sub"}, {}), 1);

    try {
        replace_file_atomically((folder / "missing" / "model").string(), "x");
        ADD_FAILURE() << "saved into a missing folder";
    } catch (const failure& f) {
        EXPECT_EQ(f.kind, failure_kind::os_error);
        EXPECT_EQ(f.os_errno, ENOENT);
    }
    fs::create_directories(folder / "sub" / "dir" / "inside");  // rename cannot replace it
    EXPECT_THROW(replace_file_atomically((folder / "sub" / "dir").string(), "x"), failure);
    EXPECT_EQ(std::distance(fs::directory_iterator{folder / "sub"}, {}), 2);
    fs::remove_all(folder);
}
