#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "encoding/ranked.hpp"
#include "learning/piece_merges.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "persist/model_file.hpp"
#include "training/pieces.hpp"
#include "training/vocab_trainer.hpp"

using namespace tolvane;
namespace fs = std::filesystem;

namespace {

std::string unicode_text(std::size_t limit) {
    // Names, scripts and notes in many languages: real multilingual text.
    std::string text;
    for (const char* name : {"NamesList.txt", "UnicodeData.txt"}) {
        std::ifstream in{fs::path{"/usr/share/unicode"} / name, std::ios::binary};
        text.append(std::istreambuf_iterator<char>{in}, {});
    }
    return text.substr(0, limit);
}

std::vector<std::string> pieces_of(std::string_view text) {
    std::vector<std::string> out;
    for_each_piece(text, [&](std::string_view p) { out.emplace_back(p); });
    return out;
}

// Random pieces over a few ids with random weights; small alphabets make
// runs (overlapping pairs) and ties common.
weighted_pieces random_pieces(std::mt19937& rng, int alphabet, int count, int longest) {
    weighted_pieces pieces;
    std::uniform_int_distribution<int> id(1, alphabet), length(1, longest), weight(1, 5);
    for (int i = 0; i < count; ++i) {
        token_sequence piece(length(rng));
        for (token_id& t : piece) t = static_cast<token_id>(id(rng));
        pieces.add(piece, weight(rng));
    }
    return pieces;
}

// Real text as pieces of grapheme ids, counted as the trainer counts them.
weighted_pieces real_pieces(std::string_view text, token_id& next_id) {
    piece_counts table;
    for_each_piece(text, [&](std::string_view p) { table.add(p); });
    std::unordered_map<std::string, token_id> ids;
    weighted_pieces pieces;
    table.for_each([&](std::string_view piece, std::uint64_t count) {
        token_sequence seq;
        for_each_grapheme(piece, [&](std::string_view g) {
            auto [it, fresh] = ids.emplace(std::string{g}, next_id);
            if (fresh) ++next_id;
            seq.push_back(it->second);
        });
        pieces.add(seq, count);
    });
    return pieces;
}

merge_limits limits_for(token_id ids, std::uint64_t min_count, std::size_t max_length) {
    merge_limits limits;
    limits.min_count = min_count;
    limits.max_length = max_length;
    limits.lengths.assign(ids, 1);
    return limits;
}

std::string failure_of(auto&& body) {
    try {
        body();
    } catch (const failure& f) {
        return f.message;
    }
    return "<no failure>";
}

vocab_trainer trainer_of(const std::vector<std::string>& docs, vocab_trainer_options options = {}) {
    vocab_trainer trainer{std::move(options)};
    std::vector<std::string_view> views(docs.begin(), docs.end());
    trainer.add_many(views);
    return trainer;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t at = text.find('\n', from);
        if (at == std::string::npos) at = text.size();
        lines.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    return lines;
}

}  // namespace

TEST(Pieces, CutRule) {
    using list = std::vector<std::string>;
    EXPECT_EQ(pieces_of(""), list{});
    EXPECT_EQ(pieces_of("the cat sat."), (list{"the", " cat", " sat."}));
    EXPECT_EQ(pieces_of("  x  y "), (list{"  x", "  y", " "}));
    EXPECT_EQ(pieces_of("a\n\nb\r\n c\n"), (list{"a", "\n\n", "b", "\r\n", " c", "\n"}));
    EXPECT_EQ(pieces_of("end. \nNext"), (list{"end.", " ", "\n", "Next"}));
    // A space with a combining mark is still a space grapheme; one taken into
    // a prepended mark's grapheme is not.
    EXPECT_EQ(pieces_of("a \xCC\x81" "b"), (list{"a", " \xCC\x81" "b"}));
    EXPECT_EQ(pieces_of("a\xD8\x80 b"), (list{"a\xD8\x80 b"}));
    EXPECT_EQ(pieces_of("中文没有空格 但是"), (list{"中文没有空格", " 但是"}));
}

TEST(Pieces, TableCountsExactly) {
    piece_counts a, b;
    for (int i = 0; i < 20000; ++i) a.add(std::to_string(i % 7000));  // past several doublings
    b.add("3", 5);
    b.add("new");
    a.absorb(b);
    std::unordered_map<std::string, std::uint64_t> seen;
    a.for_each([&](std::string_view p, std::uint64_t n) { seen[std::string{p}] += n; });
    EXPECT_EQ(a.distinct(), 7001u);
    EXPECT_EQ(seen.size(), 7001u);
    EXPECT_EQ(seen["0"], 3u);
    EXPECT_EQ(seen["6999"], 2u);
    EXPECT_EQ(seen["3"], 3u + 5u);
    EXPECT_EQ(seen["new"], 1u);
    EXPECT_EQ(a.counted(), 20006u);
}

TEST(PieceMerges, SmallCasesExactly) {
    weighted_pieces pieces;
    pieces.add(token_sequence{5, 5, 5}, 3);  // (5,5) twice per piece, overlapping
    pieces.add(token_sequence{1, 2, 1, 2}, 2);
    pieces.add(token_sequence{7}, 100);      // no pair: not kept
    EXPECT_EQ(pieces.size(), 2u);
    const learned_merges got = learn_piece_merges(pieces, 10, 5, limits_for(10, 1, 0));
    // (5,5): 6 > (1,2): 4; then 10 5 holds (10,5) 3 times; then (1,2).
    const std::vector<merge_choice> want = {{{5, 5}, 6}, {{1, 2}, 4}, {{10, 5}, 3}, {{11, 11}, 2}};
    EXPECT_EQ(got.merges, want);
    EXPECT_EQ(got.stop, merge_stop::none_left);
    EXPECT_EQ(learn_piece_merges_literal(pieces, 10, 5, limits_for(10, 1, 0)).merges, want);
}

TEST(PieceMerges, IncrementalEqualsLiteralOnRandomPieces) {
    std::mt19937 rng{22};
    for (int round = 0; round < 60; ++round) {
        const int alphabet = 2 + round % 6;
        const weighted_pieces pieces = random_pieces(rng, alphabet, 40 + round * 3, 2 + round % 12);
        const std::uint64_t min_count = 1 + round % 3;
        const std::size_t max_length = round % 4 == 0 ? 3 : 0;
        const auto first = static_cast<token_id>(alphabet + 1);
        const learned_merges fast = learn_piece_merges(pieces, first, 200, limits_for(first, min_count, max_length));
        const learned_merges slow =
            learn_piece_merges_literal(pieces, first, 200, limits_for(first, min_count, max_length));
        ASSERT_EQ(fast.merges, slow.merges) << "round " << round;
        ASSERT_EQ(fast.stop, slow.stop) << "round " << round;
    }
}

TEST(PieceMerges, CountsStayARecountAfterEveryMerge) {
    std::mt19937 rng{7};
    const weighted_pieces pieces = random_pieces(rng, 3, 80, 10);
    std::vector<token_sequence> seqs;
    for (std::size_t p = 0; p < pieces.size(); ++p)
        seqs.emplace_back(pieces.tokens.begin() + pieces.starts[p], pieces.tokens.begin() + pieces.starts[p + 1]);
    piece_merger merger{pieces, limits_for(4, 1, 0)};
    for (token_id merged = 4; merged < 40; ++merged) {
        const auto choice = merger.best();
        if (!choice) break;
        merger.merge(choice->pair, merged);
        // The recount: every piece rewritten left to right, then counted.
        std::map<std::uint32_t, std::uint64_t> recount;
        for (std::size_t p = 0; p < seqs.size(); ++p) {
            token_sequence out;
            for (std::size_t i = 0; i < seqs[p].size(); ++i) {
                const bool hit = i + 1 < seqs[p].size() && seqs[p][i] == choice->pair.left &&
                                 seqs[p][i + 1] == choice->pair.right;
                out.push_back(hit ? merged : seqs[p][i]);
                i += hit;
            }
            seqs[p] = out;
            for (std::size_t i = 0; i + 1 < out.size(); ++i)
                recount[std::uint32_t{out[i]} << 16 | out[i + 1]] += pieces.weights[p];
        }
        const auto counts = merger.counts();
        const std::map<std::uint32_t, std::uint64_t> held(counts.begin(), counts.end());
        ASSERT_EQ(held, recount) << merged;
    }
}

TEST(PieceMerges, IncrementalEqualsLiteralOnRealText) {
    token_id next = 1;
    const weighted_pieces pieces = real_pieces(unicode_text(150'000), next);
    for (std::size_t max_length : {std::size_t{0}, std::size_t{4}}) {
        const learned_merges fast = learn_piece_merges(pieces, next, 250, limits_for(next, 2, max_length));
        const learned_merges slow = learn_piece_merges_literal(pieces, next, 250, limits_for(next, 2, max_length));
        EXPECT_EQ(fast.merges.size(), 250u);
        EXPECT_EQ(fast.merges, slow.merges);
    }
}

TEST(VocabTrainer, ExactSizeAndIdLayout) {
    const std::vector<std::string> docs = lines_of(unicode_text(400'000));
    vocab_trainer_options options;
    options.special_tokens = {"<|endoftext|>", "<pad>"};
    options.byte_fallback = true;
    vocab_trainer trainer = trainer_of(docs, options);
    for (std::size_t size : {std::size_t{259}, std::size_t{600}, std::size_t{3000}}) {
        const trained_vocab v = trainer.learn(size, 2);
        EXPECT_EQ(v.data.lookup.size(), size);
        EXPECT_FALSE(v.stopped_early);
        EXPECT_EQ(v.byte_base, token_id{3});
        EXPECT_EQ(v.special_ids, (std::vector<token_id>{1, 2}));
        EXPECT_EQ(*v.data.lookup.find(1), "<|endoftext|>");
        EXPECT_FALSE(v.data.unicode_lookup.contains("<pad>"));
        EXPECT_EQ(v.data.unicode_lookup.at("a"), 3 + 'a');
        EXPECT_FALSE(v.data.unicode_lookup.contains("\xC3"));
        EXPECT_EQ(*v.data.lookup.find(3 + 0xC3), "\xC3");
        // Every id below the size is used, and every merge exceeds its parts.
        for (std::size_t id = 0; id < size; ++id) EXPECT_TRUE(v.data.lookup.contains(static_cast<token_id>(id)));
        for (const auto& [pair, merged] : v.data.merges) EXPECT_TRUE(pair.left < merged && pair.right < merged);
        EXPECT_EQ(1 + 2 + 256 + v.graphemes + v.merges, size);
    }
}

TEST(VocabTrainer, SameModelBytesForEveryThreadCount) {
    std::vector<std::string> docs = lines_of(unicode_text(2'000'000));  // past the threaded size
    std::string first;
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        vocab_trainer_options options;
        options.byte_fallback = true;
        options.threads = threads;
        options.special_tokens = {"<s>"};
        vocab_trainer trainer = trainer_of(docs, options);
        const std::string bytes = serialize_model(trainer.learn(2000, 2).data);
        if (first.empty()) first = bytes;
        EXPECT_EQ(bytes, first) << threads << " threads";
    }
}

TEST(Pieces, DropBelowForgetsOnlyTheRare) {
    piece_counts table;
    for (int i = 0; i < 9000; ++i) table.add("p" + std::to_string(i % 3000), i < 3000 ? 1 : 2);  // 1 + 2 + 2 times
    table.add("rare");
    table.add("twice", 2);
    const std::size_t bytes = table.text_bytes();
    EXPECT_EQ(table.drop_below(3), 2u);
    EXPECT_EQ(table.distinct(), 3000u);
    EXPECT_EQ(table.text_bytes(), bytes - 4 - 5);
    EXPECT_EQ(table.counted(), 3000u + 12000u + 3u);  // what was counted stays counted
    std::uint64_t sum = 0;
    table.for_each([&](std::string_view, std::uint64_t n) { sum += n; });
    EXPECT_EQ(sum, 15000u);
    table.add("rare");  // forgotten pieces count afresh
    EXPECT_EQ(table.distinct(), 3001u);
}

TEST(VocabTrainer, MemoryLimitForgetsAtTheSameMomentsForEveryThreadCount) {
    const std::vector<std::string> docs = lines_of(unicode_text(4'000'000));
    auto trained = [&](unsigned threads, std::uint64_t limit) {
        vocab_trainer_options options;
        options.byte_fallback = true;
        options.threads = threads;
        options.memory_limit = limit;
        vocab_trainer trainer{options};
        // Eight calls, each an eighth of the text three times over: past
        // the threaded size, and with the same pieces in every thread's
        // table, so that the tables together hold far more than merged.
        for (std::size_t part = 0; part < 8; ++part) {
            std::vector<std::string_view> views;
            for (int copy = 0; copy < 3; ++copy)
                views.insert(views.end(), docs.begin() + docs.size() * part / 8,
                             docs.begin() + docs.size() * (part + 1) / 8);
            trainer.add_many(views);
        }
        return trainer.learn(3000, 2);
    };
    const trained_vocab exact = trained(1, 0);
    EXPECT_EQ(exact.forgettings, 0u);
    // A limit the counts never reach changes nothing.
    EXPECT_EQ(serialize_model(trained(2, std::uint64_t{1} << 40).data), serialize_model(exact.data));
    EXPECT_EQ(exact.counts_memory, piece_footprint(exact.distinct_pieces, exact.distinct_piece_bytes));
    const std::uint64_t tight = exact.counts_memory / 3;
    const trained_vocab first = trained(1, tight);
    EXPECT_GT(first.forgettings, 0u);
    EXPECT_GT(first.forgotten_pieces, 0u);
    EXPECT_LT(first.distinct_pieces, exact.distinct_pieces);
    EXPECT_EQ(first.pieces, exact.pieces);
    EXPECT_EQ(first.data.lookup.size(), 3000u);
    for (unsigned threads : {2u, 3u}) {
        const trained_vocab other = trained(threads, tight);
        EXPECT_EQ(serialize_model(other.data), serialize_model(first.data)) << threads << " threads";
        EXPECT_EQ(other.forgotten_pieces, first.forgotten_pieces) << threads << " threads";
    }
    EXPECT_NE(failure_of([&] { trained(1, 1); }).find("memory_limit 1 is too small"), std::string::npos);
}

TEST(VocabTrainer, RankedEncodingGoesPieceByPiece) {
    const std::string text = unicode_text(600'000);
    vocab_trainer_options options;
    options.byte_fallback = true;
    vocab_trainer trainer = trainer_of(lines_of(text), options);
    const ranked_encoder encoder{trainer.learn(4000, 2).data};
    // Whole texts that span lines, runs of spaces and line breaks, and the
    // literal reading on a short one.
    for (const std::string& sample : {text.substr(1000, 20'000), std::string{"a  b\n\n  c\r\nd  \n"},
                                      text.substr(300'000, 50'000)}) {
        token_sequence by_piece;
        for_each_piece(sample, [&](std::string_view p) { encoder.encode_append(p, by_piece); });
        EXPECT_EQ(encoder.encode(sample), by_piece);
    }
    const trained_vocab v = trainer.learn(4000, 2);
    const std::string sample = text.substr(5000, 3000);
    EXPECT_EQ(encoder.encode(sample), encode_ranked_literal(v.data, sample));
}

TEST(VocabTrainer, RareGraphemesAreLeftToBytes) {
    // 'é' in every line, a rare CJK character once: with byte fallback only
    // the common one gets an id, and the rare one is a barrier, never merged.
    std::vector<std::string> docs(2000, "caf\xC3\xA9 au lait");
    docs.push_back("x\xE9\xBE\x98y");
    vocab_trainer_options options;
    options.byte_fallback = true;
    vocab_trainer trainer = trainer_of(docs, options);
    const trained_vocab v = trainer.learn(300, 1);
    EXPECT_TRUE(v.data.unicode_lookup.contains("\xC3\xA9"));
    EXPECT_FALSE(v.data.unicode_lookup.contains("\xE9\xBE\x98"));
    EXPECT_EQ(v.graphemes_to_bytes, 1u);
    options.byte_fallback = false;
    vocab_trainer without = trainer_of(docs, options);
    EXPECT_TRUE(without.learn(300, 1).data.unicode_lookup.contains("\xE9\xBE\x98"));
}

TEST(VocabTrainer, StopsEarlyWithAReason) {
    vocab_trainer trainer = trainer_of({"abab abab", "xy"});
    const trained_vocab v = trainer.learn(500, 2);
    EXPECT_TRUE(v.stopped_early);
    EXPECT_LT(v.data.lookup.size(), 500u);
    EXPECT_NE(v.reason.find("at least 2 times (min_frequency)"), std::string::npos) << v.reason;
    const trained_vocab all = trainer.learn(500, 1);
    EXPECT_NE(all.reason.find("no pair of adjacent tokens is left to merge"), std::string::npos) << all.reason;
}

TEST(VocabTrainer, SpecialSpellingsCutAndAreNotCounted) {
    vocab_trainer_options options;
    options.special_tokens = {"<s>", "<s><s>"};
    vocab_trainer trainer = trainer_of({"ab<s>ab<s><s>ab", "<s>"}, options);
    const trained_vocab v = trainer.learn(100, 1);
    EXPECT_EQ(v.pieces, 3u);
    EXPECT_FALSE(v.data.unicode_lookup.contains("<"));
}

TEST(VocabTrainer, BadInputGetsOneClearLine) {
    vocab_trainer_options specials;
    specials.special_tokens = {"<s>", ""};
    EXPECT_EQ(failure_of([&] { vocab_trainer{specials}; }), "special token 1 is empty");
    specials.special_tokens = {"<s>", "<s>"};
    EXPECT_EQ(failure_of([&] { vocab_trainer{specials}; }), "special token '<s>' is given twice");
    vocab_trainer trainer = trainer_of({"some text"});
    EXPECT_EQ(failure_of([&] { trainer.learn(0, 2); }), "vocab_size 0 is too small: oov takes 1 id");
    EXPECT_EQ(failure_of([&] { trainer.learn(70'000, 2); }),
              "vocab_size must be at most 65,536 (token ids are 16 bits), not 70,000");
    EXPECT_EQ(failure_of([&] { trainer.learn(100, 0); }), "min_frequency must be at least 1");
    EXPECT_EQ(failure_of([&] { trainer.learn(5, 2); }),
              "vocab_size 5 is too small for the 7 distinct graphemes of the corpus (8 ids with oov and "
              "the special tokens): raise it, or use byte fallback");
    vocab_trainer empty{vocab_trainer_options{}};
    EXPECT_EQ(failure_of([&] { empty.learn(100, 2); }), "the corpus is empty: there is no text to train on");
}
