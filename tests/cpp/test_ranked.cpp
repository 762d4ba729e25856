#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "model/failure.hpp"
#include "learning/merge_learning.hpp"
#include "learning/pair_ops.hpp"
#include "model/pretokenize.hpp"
#include "encoding/ranked.hpp"
#include "learned_model.hpp"

using namespace tolvane;
namespace fs = std::filesystem;

namespace {

// Graphemes "a", "b", ... as ids 1.. after "oov" at 0.
Data letters(int n) {
    Data data;
    register_oov(data);
    for (int i = 0; i < n; ++i) register_grapheme(data, std::string(1, static_cast<char>('a' + i)));
    return data;
}

std::string failure_of(const ranked_encoder& enc, std::string_view text) {
    try {
        enc.encode(text);
    } catch (const failure& f) {
        return f.message;
    }
    return "<no failure>";
}

// A hand-made model over ids 0..alphabet-1 with no regard for training's
// rules: gaps in the ids, merged ids below their parts, one merged id for
// several pairs, results equal to a part, runs of (a, a).
merge_table random_merges(std::mt19937& rng, int alphabet, int count) {
    merge_table merges;
    std::uniform_int_distribution<int> part(0, alphabet + count / 2);
    for (int i = 0; i < count; ++i) {
        const token_pair p{static_cast<token_id>(part(rng)), static_cast<token_id>(part(rng))};
        const int kind = rng() % 4;
        token_id merged = kind == 0   ? static_cast<token_id>(rng() % (alphabet + count))
                          : kind == 1 ? p.left
                                      : static_cast<token_id>(alphabet + rng() % (3 * count));
        merges[p] = merged;
        if (rng() % 5 == 0) merges[{p.left, p.left}] = static_cast<token_id>(merged + 1);
    }
    return merges;
}

// A model shaped like a trained one (every merged id above both parts, one
// pair per merged id) but with gaps, and merged ids that are also grapheme
// ids: "e" may be both itself and what (a, b) makes.
merge_table random_ordered_merges(std::mt19937& rng, int alphabet, int count) {
    merge_table merges;
    std::vector<bool> taken(MAX_TOKENS);
    std::vector<token_id> known;
    for (int i = 0; i < alphabet; ++i) known.push_back(static_cast<token_id>(i));
    for (int i = 0; i < count; ++i) {
        const token_pair p{known[rng() % known.size()], known[rng() % known.size()]};
        if (merges.contains(p)) continue;
        token_id merged = static_cast<token_id>(std::max(p.left, p.right) + 1 + rng() % 4);
        while (taken[merged]) ++merged;
        taken[merged] = true;
        merges[p] = merged;
        known.push_back(merged);
    }
    return merges;
}

std::string unicode_text() {
    // Names, scripts and notes in many languages: real multilingual text.
    std::string text;
    for (const char* name : {"NamesList.txt", "UnicodeData.txt", "CaseFolding.txt"}) {
        std::ifstream in{fs::path{"/usr/share/unicode"} / name, std::ios::binary};
        text.append(std::istreambuf_iterator<char>{in}, {});
    }
    return text;
}

}  // namespace

TEST(Ranked, ExactSmallCases) {
    Data data = letters(3);  // a=1 b=2 c=3
    struct row {
        std::vector<std::pair<token_pair, token_id>> merges;
        token_sequence in, want;
    };
    const std::vector<row> rows = {
        // All occurrences of a round's pair go, left to right, without overlap.
        {{{{1, 1}, 4}}, {1, 1, 1}, {4, 1}},
        {{{{1, 1}, 4}}, {1, 1, 1, 1}, {4, 4}},
        {{{{1, 1}, 4}, {{4, 4}, 5}}, {1, 1, 1, 1, 1}, {5, 1}},
        // The lowest merged id goes first, wherever it is.
        {{{{1, 2}, 5}, {{2, 3}, 4}}, {1, 2, 3}, {1, 4}},
        // A tie on the merged id goes to the smaller left id, then right id.
        {{{{2, 3}, 4}, {{1, 2}, 4}}, {1, 2, 3}, {4, 3}},
        {{{{1, 3}, 4}, {{1, 2}, 4}}, {1, 2, 1, 3}, {4, 4}},
        {{{{2, 3}, 4}, {{2, 2}, 4}}, {2, 2, 3}, {4, 3}},
        // A result equal to its left part: one merge per round, never more.
        {{{{1, 2}, 1}}, {1, 2, 2, 2}, {1}},
        // A merged id below its parts outranks merges learned before it.
        {{{{3, 3}, 2}, {{1, 2}, 9}}, {1, 3, 3}, {9}},
        // Nothing to merge.
        {{{{1, 2}, 4}}, {2, 1}, {2, 1}},
        {{}, {}, {}},
        {{{{1, 1}, 4}}, {1}, {1}},
    };
    for (const auto& r : rows) {
        merge_table merges(r.merges.begin(), r.merges.end());
        EXPECT_EQ(apply_ranked_literal(r.in, merges), r.want);
        Data model = data;
        model.merges = merges;
        std::string text;
        for (token_id id : r.in) text += *data.lookup.find(id);
        EXPECT_EQ(ranked_encoder{model}.encode(text), r.want) << text;
    }
}

TEST(Ranked, UnknownGraphemes) {
    Data data = letters(2);
    const token_id b = 2;
    data.merges[{0, b}] = 3;
    ranked_encoder with_oov{data};
    EXPECT_EQ(with_oov.encode("éb"), (token_sequence{3}));
    EXPECT_EQ(with_oov.encode("x\xF0\x9F\x87\xA6"), (token_sequence{0, 0}));
    // Pieces whose edges are all the "oov" id 0, joined by a merge of two
    // of them: the space is unknown too.
    Data unknown_space = letters(2);
    unknown_space.merges = {{{0, 0}, 3}, {{3, 0}, 4}};
    const ranked_encoder oov_joins{unknown_space};
    for (const std::string text : {"x x", "x x x x x", "x  x x", "xx x xx"})
        for (int again = 0; again < 2; ++again)
            EXPECT_EQ(oov_joins.encode(text), encode_ranked_literal(unknown_space, text)) << text;

    data.unicode_lookup.erase("oov");
    ranked_encoder without{data};
    EXPECT_EQ(without.encode("ab"), (token_sequence{1, 2}));
    struct row {
        std::string text, message;
    };
    const std::vector<row> rows = {
        {"a\xC3\xA9", "unknown grapheme \"\xC3\xA9\" (U+00E9) and the model has no \"oov\" token"},
        {"e\xCC\x81", "unknown grapheme \"e\xCC\x81\" (U+0065 U+0301) and the model has no \"oov\" token"},
        {"ab\n", "unknown grapheme \"\\x0A\" (U+000A) and the model has no \"oov\" token"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(failure_of(without, r.text), r.message);
        token_sequence out{7};
        EXPECT_THROW(without.encode_append(r.text, out), failure);
        EXPECT_EQ(out, token_sequence{7}) << "a failed append must leave the output alone";
    }
}

TEST(Ranked, MatchesTheDefinitionOnHandMadeModels) {
    std::mt19937 rng(12);
    const int alphabet = 4;
    Data base = letters(alphabet);  // ids 0..4, "oov" included
    for (int round = 0; round < 400; ++round) {
        Data data = base;
        data.merges = random_merges(rng, alphabet + 1, 2 + rng() % 12);
        const ranked_encoder enc{data};
        for (int t = 0; t < 8; ++t) {
            std::string text;
            const std::size_t n = rng() % 40;
            const int span = 1 + rng() % (alphabet + 1);  // small spans make long runs
            for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + rng() % span);
            if (rng() % 6 == 0) text += "?";
            const token_sequence want = encode_ranked_literal(data, text);
            EXPECT_EQ(enc.encode(text), want) << text;
            EXPECT_EQ(enc.count(text), want.size());
        }
    }
}

TEST(Ranked, MatchesTheDefinitionOnOrderedHandMadeModels) {
    std::mt19937 rng(77);
    // "oov", a..d and the space, after which text is cut on trial.
    const std::string graphemes = "abcd ";
    const int alphabet = static_cast<int>(graphemes.size()) + 1;
    Data base = letters(alphabet - 2);
    register_grapheme(base, " ");
    for (int round = 0; round < 600; ++round) {
        Data data = base;
        data.merges = random_ordered_merges(rng, alphabet, 3 + rng() % 25);
        const ranked_encoder enc{data};
        for (int t = 0; t < 6; ++t) {
            std::string text;
            const std::size_t n = rng() % 200;
            const std::size_t span = 1 + rng() % graphemes.size();
            for (std::size_t i = 0; i < n; ++i) text += graphemes[rng() % span];
            if (t % 2) std::replace(text.begin(), text.end(), 'a', ' ');
            EXPECT_EQ(enc.encode(text), encode_ranked_literal(data, text)) << text;
        }
    }
}

// Text is cut on trial after spaces; these pieces join when encoded together.
TEST(Ranked, PiecesThatJoinAcrossASpace) {
    Data data = letters(2);            // a=1 b=2
    register_grapheme(data, " ");      // 3
    const token_id a_ = 4, a_a_ = 5, _b = 6, a_b = 7;
    data.merges = {{{1, 3}, a_}, {{a_, a_}, a_a_}, {{3, 2}, _b}, {{1, _b}, a_b}};
    const ranked_encoder enc{data};
    struct row {
        std::string text;
        token_sequence want;
    };
    const std::vector<row> rows = {
        // "a " "a " "a ": the first two join, left to right, though the
        // second piece alone would join its own two.
        {"a a a ", {a_a_, a_}},
        {"a a a a ", {a_a_, a_a_}},
        // (a, " ") comes before (" ", b), so "a b" stays a_ b.
        {"a b", {a_, 2}},
        {"b a b", {2, 3, a_, 2}},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(enc.encode(r.text), r.want) << r.text;
        EXPECT_EQ(enc.encode(r.text), encode_ranked_literal(data, r.text)) << r.text;
    }
}

// Long runs of one grapheme or one pair: one piece of the text, far longer
// than any cache or short path, and past 65,535 positions.
TEST(Ranked, LongRuns) {
    Data data = letters(2);  // a=1 b=2
    const token_id aa = 3, aaaa = 4, ab = 5, abab = 6, a8 = 7;
    data.merges = {{{1, 1}, aa}, {{aa, aa}, aaaa}, {{1, 2}, ab}, {{ab, ab}, abab}, {{aaaa, aaaa}, a8}};
    const ranked_encoder enc{data};
    for (std::size_t n : {3u, 17u, 100u, 65534u, 65535u, 65536u, 70001u}) {
        const std::string run(n, 'a');
        std::string pairs;
        for (std::size_t i = 0; i < n / 2; ++i) pairs += "ab";
        for (const std::string& text : {run, pairs, pairs + run + "b" + run}) {
            const token_sequence got = enc.encode(text);
            EXPECT_EQ(got, encode_ranked_literal(data, text)) << n;
            EXPECT_EQ(enc.count(text), got.size());
        }
    }
}

// When every cut joins, the pieces are given up on and the text is encoded
// in one go; the result must not show it.
TEST(Ranked, TextThatJoinsAtEveryCut) {
    Data data = letters(2);        // a=1 b=2
    register_grapheme(data, " ");  // 3
    data.merges = {{{3, 1}, 4}, {{4, 3}, 5}, {{5, 1}, 6}, {{1, 6}, 7}};  // " a", " a ", " a a", "a a a"
    const ranked_encoder enc{data};
    for (std::size_t n : {1u, 2u, 7u, 300u, 5000u}) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += i % 3 ? "a " : "b a ";
        EXPECT_EQ(enc.encode(text), encode_ranked_literal(data, text)) << n;
    }
}

// Results are remembered per thread; two encoders used in turn on one thread
// must never see each other's.
TEST(Ranked, EncodersTakenInTurnKeepTheirOwnResults) {
    Data first = letters(3);
    first.merges = {{{1, 2}, 4}, {{4, 3}, 5}};
    Data second = letters(3);
    second.merges = {{{2, 3}, 4}, {{1, 4}, 6}};
    const ranked_encoder one{first};
    std::optional<ranked_encoder> two{second};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(one.encode("abcabc"), (token_sequence{5, 5}));
        EXPECT_EQ(two->encode("abcabc"), (token_sequence{6, 6}));
    }
    // A copy gives the same results; a new encoder at the same place its own.
    const ranked_encoder copy = one;
    EXPECT_EQ(copy.encode("abcabc"), (token_sequence{5, 5}));
    two.emplace(first);
    EXPECT_EQ(two->encode("abcabc"), (token_sequence{5, 5}));
}

// Pieces are remembered per thread in generations that turn over when
// full: hundreds of thousands of different words, each seen once, again
// much later (from the old generation, or after it was dropped) and often
// (kept young), must give what the definition gives every time.
TEST(Ranked, ResultsRememberedAcrossGenerations) {
    auto word = [](std::size_t i) {
        std::string w;
        do {
            w += static_cast<char>('a' + i % 5);
            i /= 5;
        } while (i > 0);
        return w + " ";
    };
    // Learned from text of the same words, so merges span the spaces and
    // neighbouring pieces often join.
    std::mt19937 rng(9);
    std::string sample;
    for (int i = 0; i < 20000; ++i) sample += word(rng() % 400);
    const Data data = learned_model(sample);
    const ranked_encoder enc{data};
    std::unordered_map<std::string, token_sequence> want;
    auto check = [&](const std::string& text) {
        auto [at, fresh] = want.try_emplace(text);
        if (fresh) at->second = encode_ranked_literal(data, text);
        ASSERT_EQ(enc.encode(text), at->second) << text;
    };
    for (std::size_t i = 0; i < 300000; ++i) {
        check(word(i));
        if (i % 2 == 0) check(word(i / 2));
        if (i % 3 == 0) check(word(i % 1000));
        if (HasFatalFailure()) return;
    }
    // Two words that may join, encoded as a whole: enough edges that the
    // remembered answers outgrow their first tables twice, and again.
    for (int again = 0; again < 2; ++again)
        for (std::size_t i = 0; i < 14000; ++i) check(word(i * 7) + word(i));
}

TEST(Ranked, MatchesTheDefinitionOnLearnedModels) {
    std::mt19937 rng(5);
    const std::vector<std::string> alphabet = {"a", "b", "c", " ", "e\xCC\x81", "\r\n",
                                               "\xF0\x9F\x87\xA6\xF0\x9F\x87\xA7"};
    auto random_text = [&](std::size_t n, std::size_t span) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % span];
        return s;
    };
    for (int round = 0; round < 12; ++round) {
        const Data data = learned_model(random_text(3000, 2 + round % (alphabet.size() - 1)));
        const ranked_encoder enc{data};
        for (int t = 0; t < 20; ++t) {
            const std::string text = random_text(rng() % 300, alphabet.size()) + (t % 5 ? "" : "§");
            const token_sequence got = enc.encode(text);
            EXPECT_EQ(got, encode_ranked_literal(data, text));
            EXPECT_EQ(enc.count(text), got.size());
        }
    }
}

TEST(Ranked, MatchesTheDefinitionOnRealText) {
    const std::string text = unicode_text();
    ASSERT_GT(text.size(), 100000u) << "the Unicode data files are missing";
    const Data data = learned_model(text.substr(0, 400000));
    const ranked_encoder enc{data};
    // Held-out pieces of every length, cut anywhere between lines.
    std::mt19937 rng(3);
    std::size_t at = 400000;
    while (at < text.size()) {
        std::size_t start = text.find('\n', at);
        if (start == std::string::npos) break;
        const std::size_t len = std::min<std::size_t>(text.size() - start, 1 + rng() % 3000);
        const std::string_view piece{text.data() + start, len};
        const token_sequence got = enc.encode(piece);
        ASSERT_EQ(got, encode_ranked_literal(data, piece)) << piece;
        at = start + 1 + rng() % 60000;
    }
    token_sequence all;
    enc.encode_append("xyz", all);
    enc.encode_append(text.substr(400000, 5000), all);
    token_sequence want = enc.encode("xyz");
    const token_sequence second = enc.encode(text.substr(400000, 5000));
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(all, want);
}

TEST(Ranked, ThreadsShareOneEncoder) {
    const std::string text = unicode_text();
    const Data data = learned_model(text.substr(0, 200000));
    const ranked_encoder enc{data};
    std::vector<std::string> pieces;
    for (std::size_t at = 200000; at + 4000 < text.size() && pieces.size() < 64; at += 37000)
        pieces.push_back(text.substr(at, 1000 + at % 3000));
    std::vector<token_sequence> serial;
    for (const auto& p : pieces) serial.push_back(enc.encode(p));
    std::vector<std::vector<token_sequence>> results(4, std::vector<token_sequence>(pieces.size()));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&, t] {
            for (int rep = 0; rep < 3; ++rep)
                for (std::size_t i = 0; i < pieces.size(); ++i)
                    results[t][(i + t * 7) % pieces.size()] = enc.encode(pieces[(i + t * 7) % pieces.size()]);
        });
    for (auto& th : threads) th.join();
    for (const auto& r : results) EXPECT_EQ(r, serial);
}
