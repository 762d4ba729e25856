// The incremental pair engine against the literal recount, step by step:
// on random small-alphabet sequences (runs, ties and (a, a) pairs
// everywhere), and end to end on real text through training, the
// learned-merge pass and encoding.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "encoding/encode.hpp"
#include "learning/engine.hpp"
#include "model/failure.hpp"
#include "learning/merge_learning.hpp"
#include "model/pretokenize.hpp"
#include "training/train.hpp"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

std::map<std::uint32_t, std::uint32_t> ordered(const pair_counts& counts) {
    std::map<std::uint32_t, std::uint32_t> out;
    for (const auto& [pair, count] : counts) out.emplace(pair_key(pair), count);
    return out;
}

// Both sources fed the same calls, plus the sequence rebuilt with the literal
// replace_pair, which the fast source's view and counts must match after
// every step.
template <class Fast>
struct twin {
    twin(const token_sequence& tokens, const merge_table& merges)
        : literal{tokens, merges}, engine{tokens, merges}, shadow{tokens} {
        check();
    }
    void merge(token_pair pair, token_id merged) {
        literal.merge(pair, merged);
        engine.merge(pair, merged);
        shadow = replace_pair(shadow, pair, merged);
        check();
    }
    void check() {
        ASSERT_EQ(engine.sequence(), shadow);
        ASSERT_EQ(engine.size(), shadow.size());
        ASSERT_EQ(ordered(engine.counts()), ordered(count_occur(shadow)));
    }
    void finish() {
        token_sequence from_engine = engine.take();
        EXPECT_EQ(from_engine, shadow);
        EXPECT_EQ(literal.take(), shadow);
    }
    literal_pairs literal;
    Fast engine;
    token_sequence shadow;
};

// Runs of a few tokens from a tiny alphabet: most pairs tie, and (a, a)
// runs of every length are common.
token_sequence random_sequence(std::mt19937& rng) {
    const int alphabet = std::uniform_int_distribution{1, 5}(rng);
    const int length = std::uniform_int_distribution{0, 90}(rng);
    std::uniform_int_distribution<int> token{1, alphabet}, run{1, 4};
    token_sequence out;
    while (static_cast<int>(out.size()) < length) out.insert(out.end(), run(rng), token(rng));
    out.resize(length);
    return out;
}

// Some pairs over ids 0..7 with distinct merged ids, drawn partly from the
// alphabet itself: a hand-made model may merge (a, b) into a or b.
merge_table random_merges(std::mt19937& rng, token_id& fresh) {
    std::vector<token_id> ids(24);
    std::iota(ids.begin(), ids.end(), token_id{1});
    std::shuffle(ids.begin(), ids.end(), rng);
    merge_table merges;
    const int wanted = std::uniform_int_distribution{0, 8}(rng);
    std::uniform_int_distribution<int> side{0, 7};
    for (int i = 0; i < wanted; ++i)
        merges.emplace(token_pair{token_id(side(rng)), token_id(side(rng))}, ids[i]);
    fresh = 100;
    return merges;
}

// Adds a pair that occurs but is no merge yet, as if learned elsewhere: its
// tie rank changes under the engine without a merge of that pair.
void learn_some_other_pair(const token_sequence& seq, merge_table& merges, token_id& fresh,
                           std::mt19937& rng) {
    std::vector<token_pair> candidates;
    for (const auto& [pair, count] : count_occur(seq))
        if (!merges.contains(pair)) candidates.push_back(pair);
    std::sort(candidates.begin(), candidates.end(),
              [](token_pair a, token_pair b) { return pair_key(a) < pair_key(b); });
    if (candidates.empty()) return;
    merges.emplace(candidates[rng() % candidates.size()], fresh++);
}

// Long sequences count their first pairs on two threads; this runs that
// path on the short ones here.
struct first_count_in_halves {
    first_count_in_halves() { pair_engine::split_first_count_from = 0; }
    ~first_count_in_halves() { pair_engine::split_first_count_from = kept; }
    std::size_t kept = pair_engine::split_first_count_from;
};

// By seed, with the first count in one pass or in two halves.
class random_differential : public ::testing::TestWithParam<std::tuple<int, bool>> {
protected:
    int seed() const { return std::get<0>(GetParam()); }
    void SetUp() override {
        if (std::get<1>(GetParam())) halves.emplace();
    }
    std::optional<first_count_in_halves> halves;
};

// The learning loop's calls: best, learn the pair when new, merge; with
// merges also growing by pairs that are not merged.
template <class Fast>
void learning_loop_calls(int seed) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 1500; ++round) {
        token_id fresh;
        merge_table merges = random_merges(rng, fresh);
        twin<Fast> t{random_sequence(rng), merges};
        const std::uint32_t min_count = std::uniform_int_distribution{1u, 3u}(rng);
        for (int step = 0; step < 60; ++step) {
            if (rng() % 8 == 0) learn_some_other_pair(t.shadow, merges, fresh, rng);
            auto want = t.literal.best();
            ASSERT_EQ(t.engine.best(), want) << "round " << round << " step " << step;
            if (!want || want->second < min_count) break;
            auto [pair, count] = *want;
            if (!merges.contains(pair)) merges.emplace(pair, fresh++);
            t.merge(pair, merges.at(pair));
            if (::testing::Test::HasFatalFailure()) return;
        }
        t.finish();
    }
}

TEST_P(random_differential, learning_loop) {
    learning_loop_calls<pair_engine>(seed());
}

// The learned-merge pass's calls: best excluding a growing list; a miss
// excludes the pair, a hit merges it, and `limit` misses in a row end it.
// With `between`, now and then a choice without exclusions comes between
// two of the pass's, and the pass then goes on with its list.
template <class Fast>
void learned_merge_pass(twin<Fast>& t, const merge_table& merges, int limit, int round,
                        std::mt19937* between = nullptr) {
    std::vector<token_pair> excluded;
    for (int failed = 0; failed < limit;) {
        if (between && (*between)() % 6 == 0) ASSERT_EQ(t.engine.best(), t.literal.best()) << "round " << round;
        auto want = t.literal.best_excluding(excluded);
        ASSERT_EQ(t.engine.best_excluding(excluded), want) << "round " << round;
        if (!want) break;
        if (const token_id* merged = find_merge(merges, *want)) {
            failed = 0;
            t.merge(*want, *merged);
            if (::testing::Test::HasFatalFailure()) return;
        } else {
            excluded.push_back(*want);
            ++failed;
        }
    }
}

template <class Fast>
void learned_merge_pass_calls(int seed) {
    std::mt19937 rng(seed + 1000);
    for (int round = 0; round < 1500; ++round) {
        token_id fresh;
        merge_table merges = random_merges(rng, fresh);
        twin<Fast> t{random_sequence(rng), merges};
        learned_merge_pass(t, merges, std::uniform_int_distribution{1, 12}(rng), round);
        if (::testing::Test::HasFatalFailure()) return;
        t.finish();
    }
}

TEST_P(random_differential, learned_merge_pass) {
    learned_merge_pass_calls<pair_engine>(seed());
}

// A later chunk's calls on one source: the learned-merge pass, then the
// learning loop, which must see every pair the pass excluded again.
template <class Fast>
void pass_then_learning_calls(int seed) {
    std::mt19937 rng(seed + 3000);
    for (int round = 0; round < 1500; ++round) {
        token_id fresh;
        merge_table merges = random_merges(rng, fresh);
        twin<Fast> t{random_sequence(rng), merges};
        learned_merge_pass(t, merges, 7, round, &rng);
        if (::testing::Test::HasFatalFailure()) return;
        for (int step = 0; step < 30; ++step) {
            auto want = t.literal.best();
            ASSERT_EQ(t.engine.best(), want) << "round " << round << " step " << step;
            if (!want) break;
            if (!merges.contains(want->first)) merges.emplace(want->first, fresh++);
            t.merge(want->first, merges.at(want->first));
            if (::testing::Test::HasFatalFailure()) return;
        }
        t.finish();
    }
}

TEST_P(random_differential, learned_merge_pass_then_learning) {
    pass_then_learning_calls<pair_engine>(seed());
}

// Encoding's calls: merge the best pair while it is a learned merge.
template <class Fast>
void encoding_pass_calls(int seed) {
    std::mt19937 rng(seed + 2000);
    for (int round = 0; round < 1500; ++round) {
        token_id fresh;
        merge_table merges = random_merges(rng, fresh);
        twin<Fast> t{random_sequence(rng), merges};
        for (;;) {
            auto want = t.literal.best();
            ASSERT_EQ(t.engine.best(), want) << "round " << round;
            if (!want || !merges.contains(want->first)) break;
            t.merge(want->first, merges.at(want->first));
            if (::testing::Test::HasFatalFailure()) return;
        }
        t.finish();
    }
}

TEST_P(random_differential, encoding_passes) {
    encoding_pass_calls<pair_engine>(seed());
}

INSTANTIATE_TEST_SUITE_P(seeds, random_differential,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Bool()));

// Merges the literal replace_pair must agree on, chosen where a careless
// incremental rewrite goes wrong: runs of (a, a), a merged token equal to
// one of its own pair's tokens, a pair absent or at the very ends.
template <class Fast>
void awkward_merges() {
    struct row {
        token_sequence seq;
        token_pair pair;
        token_id merged;
    };
    const std::vector<row> rows = {
        {{5, 5, 5}, {5, 5}, 9},
        {{5, 5, 5, 5}, {5, 5}, 9},
        {{5, 5, 5, 5, 5, 2, 5, 5}, {5, 5}, 9},
        {{5, 5, 5, 5}, {5, 5}, 5},   // the merged token is the run's own
        {{1, 2, 2, 1, 2}, {1, 2}, 2},
        {{1, 2, 1, 2, 1}, {2, 1}, 1},
        {{3, 1}, {1, 2}, 7},
        {{1, 2}, {1, 2}, 7},
        {{7, 1, 2}, {1, 2}, 7},
        {{}, {1, 2}, 7},
        {{65535, 65535, 65535}, {65535, 65535}, 0},
        // ids past 255 and below, whose first pairs are counted apart
        {{300, 7, 300, 7, 2, 300, 65535, 65535, 65535}, {300, 7}, 9},
        {{1, 2, 300, 1, 2, 300, 2, 300}, {2, 300}, 400},
    };
    merge_table merges;
    for (const row& r : rows) {
        twin<Fast> t{r.seq, merges};
        t.merge(r.pair, r.merged);
        t.merge(r.pair, r.merged);  // a second merge of the same pair, possibly still present
        t.finish();
    }
}

TEST(fast_sources, merge_like_replace_pair_on_awkward_cases) {
    awkward_merges<pair_engine>();
    first_count_in_halves halves;
    awkward_merges<pair_engine>();
}

// A hand-made model may give two pairs one merged id: on equal counts the
// smaller pair comes first, wherever the pairs stand.
TEST(fast_sources, two_merges_sharing_an_id_tie_on_the_pair) {
    const merge_table merges{{{3, 4}, 9}, {{1, 2}, 9}, {{5, 6}, 8}};
    for (const token_sequence& seq : {token_sequence{3, 4, 1, 2, 3, 4, 1, 2},
                                      token_sequence{1, 2, 7, 3, 4, 7, 1, 2, 7, 3, 4},
                                      token_sequence{3, 4, 3, 4, 1, 2, 1, 2, 5, 6}}) {
        twin<pair_engine> t{seq, merges};
        for (auto want = t.literal.best(); want && merges.contains(want->first); want = t.literal.best()) {
            ASSERT_EQ(t.engine.best(), want);
            t.merge(want->first, merges.at(want->first));
        }
        t.finish();
    }
}

// Distinct tokens merged pairwise down to one: every merge lists two pairs
// never seen before, so the engine's index and occurrence pool keep growing.
TEST(fast_sources, keep_up_while_every_merge_makes_new_pairs) {
    token_sequence seq(60);
    std::iota(seq.begin(), seq.end(), token_id{1});
    merge_table merges;
    twin<pair_engine> t{seq, merges};
    token_id fresh = 1000;
    while (t.shadow.size() > 1) {
        const token_sequence now = t.shadow;
        for (std::size_t i = 0; i + 1 < now.size(); i += 2) {
            const token_pair pair{now[i], now[i + 1]};
            merges.emplace(pair, fresh);
            ASSERT_EQ(t.engine.best(), t.literal.best());
            t.merge(pair, fresh++);
            if (HasFatalFailure()) return;
        }
    }
    t.finish();
}

// --- end to end on real text ----------------------------------------------

std::string read_file(const fs::path& name) {
    std::ifstream in{name, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

// The license texts (about 250 KB), with a few lines of other scripts and
// emoji so that multi-byte graphemes take part.
std::string training_text() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator{"/usr/share/common-licenses"})
        if (e.is_regular_file() && !e.is_symlink()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const auto& f : files) text += read_file(f);
    for (int i = 0; i < 40; ++i)
        text += "Grüße aus Köln. Ελληνικά κείμενα. Русский текст. 日本語のテキスト。 "
                "नमस्ते दुनिया 👩‍👩‍👧 🇫🇮 e\u0301\n";
    return text;
}

class real_text : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::current_path();
        char name[] = "/tmp/tolvane-engine-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        folder = name;
        fs::create_directories(folder / "corpus");
        std::ofstream{folder / "corpus" / "train.txt", std::ios::binary} << training_text();
    }
    void TearDown() override {
        fs::current_path(home);
        fs::remove_all(folder);
    }

    struct outcome {
        Data data;
        std::string model, console, logs, appended;
    };
    // One training call in its own folder, since "tokenizer" and "log.txt"
    // are written to the working directory.
    outcome train_in(const std::string& sub, bool literal) {
        fs::create_directories(folder / sub);
        fs::current_path(folder / sub);
        std::FILE* console = std::fopen("console.out", "w+");
        run_hooks hooks{.console_fd = ::fileno(console), .should_stop = {}, .literal = literal};
        outcome out;
        train(out.data, {(folder / "corpus" / "train.txt").string(), true, "logs.txt"}, hooks);
        std::fclose(console);
        out.model = read_file("tokenizer");
        out.console = read_file("console.out");
        out.logs = read_file("logs.txt");
        out.appended = read_file("log.txt");
        fs::current_path(home);
        return out;
    }

    fs::path home, folder;
};

TEST_F(real_text, training_then_the_learned_merge_pass_then_encoding_agree) {
    outcome literal = train_in("literal", true);
    outcome engine = train_in("engine", false);
    ASSERT_GT(literal.data.merges.size(), 600u);  // the run really learned
    EXPECT_EQ(engine.console, literal.console);
    EXPECT_TRUE(engine.model == literal.model) << "the model files differ";
    EXPECT_EQ(engine.logs, literal.logs);
    EXPECT_EQ(engine.appended, literal.appended);

    // Held-out text: a Python source, so unknown graphemes become 0.
    const std::string held_out = read_file("/usr/lib/python3.11/argparse.py");
    ASSERT_GT(held_out.size(), 50'000u);

    // The pass that brings a later chunk up to date, on the held-out text.
    Data& data = engine.data;
    Data scratch = data;  // tokenize_chunk registers new graphemes
    const token_sequence tokens = tokenize_chunk(scratch, held_out);
    std::string lines[2];
    token_sequence results[2];
    for (int literal_path = 0; literal_path < 2; ++literal_path) {
        std::FILE* console = std::tmpfile();
        run_hooks hooks{.console_fd = ::fileno(console), .should_stop = {}, .literal = literal_path == 1};
        results[literal_path] = apply_learned_merges(scratch, tokens, hooks);
        std::rewind(console);
        std::ostringstream text;
        for (int c; (c = std::fgetc(console)) != EOF;) text.put(static_cast<char>(c));
        lines[literal_path] = text.str();
        std::fclose(console);
    }
    EXPECT_LT(results[0].size(), tokens.size());
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(lines[0], lines[1]);

    // Encoding, line by line (short inputs) and as a whole (a long one).
    // A failure, should a path report one, must be the same on the other.
    auto attempt = [&](auto encoder, const std::string& text) -> std::pair<token_sequence, std::string> {
        try {
            return {encoder(data, text), ""};
        } catch (const failure& f) {
            return {{}, f.message};
        }
    };
    std::istringstream in{held_out};
    int compared = 0;
    for (std::string line; std::getline(in, line); ++compared)
        EXPECT_EQ(attempt(encode, line), attempt(encode_literal, line)) << line;
    EXPECT_GT(compared, 1000);
    EXPECT_EQ(encode(data, held_out), encode_literal(data, held_out));
}

}  // namespace
}  // namespace tolvane
