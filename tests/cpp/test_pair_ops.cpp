#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <string>

#include "model/failure.hpp"
#include "learning/pair_ops.hpp"

using namespace tolvane;

namespace {

std::map<std::pair<int, int>, std::uint32_t> as_map(const pair_counts& counts) {
    std::map<std::pair<int, int>, std::uint32_t> out;
    for (const auto& [p, c] : counts) out[{p.left, p.right}] = c;
    return out;
}

pair_counts make_counts(std::initializer_list<std::pair<token_pair, std::uint32_t>> entries) {
    pair_counts counts;
    for (const auto& [p, c] : entries) counts[p] = c;
    return counts;
}

template <class F>
std::string failure_message(F&& f) {
    try {
        f();
    } catch (const failure& e) {
        return e.message;
    }
    return "<no failure>";
}

}  // namespace

TEST(CountOccur, CountsEveryAdjacentPairIncludingOverlaps) {
    struct row {
        token_sequence seq;
        std::map<std::pair<int, int>, std::uint32_t> want;
    };
    const std::vector<row> rows = {
        {{}, {}},
        {{7}, {}},
        {{5, 5, 5}, {{{5, 5}, 2}}},
        {{1, 2, 1, 2}, {{{1, 2}, 2}, {{2, 1}, 1}}},
        {{0, 0, 65535, 0}, {{{0, 0}, 1}, {{0, 65535}, 1}, {{65535, 0}, 1}}},
    };
    for (const auto& r : rows) EXPECT_EQ(as_map(count_occur(r.seq)), r.want);
}

TEST(MostFrequentPair, HighestCountThenLearnedMergesByMergedIdThenPairOrder) {
    struct row {
        pair_counts counts;
        merge_table merges;
        token_pair want;
    };
    const std::vector<row> rows = {
        // No merges: smallest (left, right).
        {make_counts({{{3, 4}, 3}, {{1, 2}, 3}, {{1, 1}, 2}}), {}, {1, 2}},
        {make_counts({{{2, 1}, 3}, {{1, 9}, 3}}), {}, {1, 9}},
        // A learned merge beats a smaller non-merge pair on a tie.
        {make_counts({{{1, 2}, 3}, {{3, 4}, 3}}), {{{3, 4}, 10}}, {3, 4}},
        // Among learned merges the smaller merged id wins, whatever the pair.
        {make_counts({{{1, 2}, 3}, {{3, 4}, 3}}), {{{1, 2}, 20}, {{3, 4}, 10}}, {3, 4}},
        // A learned merge with a lower count still loses.
        {make_counts({{{1, 2}, 4}, {{3, 4}, 3}}), {{{3, 4}, 10}}, {1, 2}},
        {make_counts({{{1, 2}, 2}, {{2, 1}, 1}}), {}, {1, 2}},
    };
    for (const auto& r : rows) {
        auto [pair, count] = most_frequent_pair(r.counts, r.merges);
        EXPECT_EQ(pair, r.want);
        EXPECT_EQ(count, r.counts.at(r.want));
    }
}

TEST(MostFrequentPair, AgreesWithWalkInTieOrderOnRandomMaps) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        pair_counts counts;
        merge_table merges;
        const int n = 1 + static_cast<int>(rng() % 40);
        std::vector<token_id> merged_ids(50);
        std::iota(merged_ids.begin(), merged_ids.end(), token_id{100});
        std::shuffle(merged_ids.begin(), merged_ids.end(), rng);  // distinct, like a real model
        for (int i = 0; i < n; ++i) {
            token_pair p{static_cast<token_id>(rng() % 6), static_cast<token_id>(rng() % 6)};
            counts[p] = 1 + rng() % 4;  // few distinct counts: many ties
            if (rng() % 3 == 0 && !merges.contains(p)) merges[p] = merged_ids[merges.size()];
        }
        std::vector<std::pair<token_pair, std::uint32_t>> walk(counts.begin(), counts.end());
        std::sort(walk.begin(), walk.end(), [&](const auto& a, const auto& b) {
            return tie_rank(a.first, merges) < tie_rank(b.first, merges);
        });
        auto want = walk.front();
        for (const auto& e : walk)
            if (e.second > want.second) want = e;
        EXPECT_EQ(most_frequent_pair(counts, merges), want);

        std::vector<token_pair> excluded{want.first};
        if (counts.size() > 1) {
            auto second = std::find_if(walk.begin(), walk.end(),
                                       [&](const auto& e) { return !(e.first == want.first); });
            auto w2 = *second;
            for (const auto& e : walk)
                if (!(e.first == want.first) && e.second > w2.second) w2 = e;
            EXPECT_EQ(most_frequent_pair_excluding(counts, merges, excluded), w2.first);
        }
    }
}

TEST(MostFrequentPairExcluding, SkipsExcludedPairs) {
    auto counts = make_counts({{{1, 2}, 5}, {{2, 3}, 4}});
    EXPECT_EQ(most_frequent_pair_excluding(counts, {}, {}), (token_pair{1, 2}));
    EXPECT_EQ(most_frequent_pair_excluding(counts, {}, {{1, 2}}), (token_pair{2, 3}));
    // Excluding a pair that is not in the map changes nothing.
    EXPECT_EQ(most_frequent_pair_excluding(counts, {}, {{9, 9}, {2, 1}}), (token_pair{1, 2}));
}

TEST(PairSelection, FailureMessages) {
    const pair_counts empty;
    const auto counts = make_counts({{{1, 2}, 5}, {{2, 3}, 4}});
    EXPECT_EQ(failure_message([&] { most_frequent_pair(empty, {}); }), "Counter should not be zero");
    EXPECT_EQ(failure_message([&] { most_frequent_pair_excluding(empty, {}, {}); }),
              "Counter should not be zero");
    EXPECT_EQ(failure_message([&] { most_frequent_pair_excluding(empty, {}, {{1, 2}}); }),
              "Counter should not be zero");
    EXPECT_EQ(failure_message([&] { most_frequent_pair_excluding(counts, {}, {{2, 3}, {1, 2}}); }),
              "msg");
}

TEST(ReplacePair, GreedyLeftToRightNonOverlapping) {
    struct row {
        token_sequence seq;
        token_pair pair;
        token_id merged;
        token_sequence want;
    };
    const std::vector<row> rows = {
        {{1, 2, 1, 2, 3}, {1, 2}, 7, {7, 7, 3}},
        {{5, 5, 5}, {5, 5}, 9, {9, 5}},
        {{5, 5, 5, 5}, {5, 5}, 9, {9, 9}},
        {{3, 1}, {1, 2}, 7, {3, 1}},
        {{}, {1, 2}, 7, {}},
        {{1}, {1, 2}, 7, {1}},
        // The produced token is never matched again in the same call.
        {{1, 2, 2}, {1, 2}, 2, {2, 2}},
        {{2, 1, 2}, {2, 1}, 2, {2, 2}},
    };
    for (const auto& r : rows) {
        const token_sequence before = r.seq;
        EXPECT_EQ(replace_pair(r.seq, r.pair, r.merged), r.want);
        EXPECT_EQ(r.seq, before);
    }
}
