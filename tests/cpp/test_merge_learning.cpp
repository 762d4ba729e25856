#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "model/failure.hpp"
#include "learning/merge_learning.hpp"

namespace tolvane {
namespace {

// An in-memory file standing in for standard output or a log.
class captured_fd {
public:
    captured_fd() : fd{::memfd_create("captured", MFD_CLOEXEC)} {}
    ~captured_fd() { ::close(fd); }
    int get() const { return fd; }
    std::string text() const {
        std::string out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
        EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
        return out;
    }
private:
    int fd;
};

// oov at 0, then one token per letter of `letters` from id 1 (a -> 1, b -> 2, ...).
Data letters_model(std::string_view letters) {
    Data data;
    data.lookup.insert_or_assign(0, "");
    token_id id = 1;
    for (char c : letters) data.lookup.insert_or_assign(id++, std::string(1, c));
    return data;
}

// `count` tokens: 0 -> "", every other id -> "t<id>".
Data sized_model(std::size_t count) {
    Data data;
    for (std::size_t id = 0; id < count; ++id)
        data.lookup.insert_or_assign(static_cast<token_id>(id), id ? "t" + std::to_string(id) : "");
    return data;
}

token_sequence repeat(const token_sequence& unit, int times) {
    token_sequence out;
    for (int i = 0; i < times; ++i) out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

std::map<token_id, std::string> lookup_of(const Data& data) {
    std::map<token_id, std::string> out;
    data.lookup.for_each([&](token_id id, const std::string& text) { out.emplace(id, text); });
    return out;
}

std::map<std::pair<token_id, token_id>, token_id> merges_of(const Data& data) {
    std::map<std::pair<token_id, token_id>, token_id> out;
    for (const auto& [pair, id] : data.merges) out.emplace(std::pair{pair.left, pair.right}, id);
    return out;
}

// Every test runs on both pair sources: they must agree line for line.
class merge_learning : public ::testing::TestWithParam<bool> {
protected:
    captured_fd console;
    captured_fd log;
    run_hooks hooks() const { return {.console_fd = console.get(), .should_stop = {}, .literal = GetParam()}; }
};

INSTANTIATE_TEST_SUITE_P(sources, merge_learning, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "literal" : "engine"; });

TEST_P(merge_learning, learns_new_tokens_and_logs_them_only_with_print_logs) {
    for (bool print_logs : {false, true}) {
        captured_fd out, log_file;
        Data data = letters_model("abc");
        run_hooks h = hooks();
        h.console_fd = out.get();
        learn_merges(data, repeat({1, 2, 3}, 10), print_logs, log_file.get(), h);

        // (1,2) and (2,3) both occur 10 times: the smaller pair wins the tie.
        const std::string lines = "Token 4 | Merge (1, 2) | 10 Times | Loop 0\n"
                                  "Token 5 | Merge (4, 3) | 10 Times | Loop 1\n";
        EXPECT_EQ(out.text(), lines);
        EXPECT_EQ(log_file.text(), print_logs ? lines : "");
        EXPECT_EQ(lookup_of(data).at(4), "ab");
        EXPECT_EQ(lookup_of(data).at(5), "abc");
        EXPECT_EQ(merges_of(data), (std::map<std::pair<token_id, token_id>, token_id>{
                                       {{1, 2}, 4}, {{4, 3}, 5}}));
    }
}

TEST_P(merge_learning, merges_only_pairs_seen_at_least_min_merge_count_times) {
    for (auto [times, expected_tokens] : {std::pair{9, 4u}, std::pair{10, 6u}}) {
        Data data = letters_model("abc");
        learn_merges(data, repeat({1, 2, 3}, times), true, log.get(), hooks());
        EXPECT_EQ(data.lookup.size(), expected_tokens) << times;
    }
    // Nine occurrences print nothing at all, at any iteration.
    EXPECT_EQ(console.text(), "Token 4 | Merge (1, 2) | 10 Times | Loop 0\n"
                              "Token 5 | Merge (4, 3) | 10 Times | Loop 1\n");
}

TEST_P(merge_learning, reuses_a_known_merge_without_logging_it) {
    Data data = letters_model("abc");
    data.lookup.insert_or_assign(4, "ab");
    data.merges.emplace(token_pair{1, 2}, 4);
    learn_merges(data, repeat({1, 2, 3}, 10), true, log.get(), hooks());
    // The learned merge wins the tie against (2,3).
    EXPECT_EQ(console.text(), "No News Loop count is 4\n"
                              "Token 5 | Merge (4, 3) | 10 Times | Loop 1\n");
    EXPECT_EQ(log.text(), "Token 5 | Merge (4, 3) | 10 Times | Loop 1\n");
    EXPECT_EQ(data.lookup.size(), 6u);
}

TEST_P(merge_learning, new_ids_follow_the_lookup_and_skip_ids_in_use) {
    Data data = sized_model(300);
    learn_merges(data, repeat({1, 2, 3}, 10), false, log.get(), hooks());
    EXPECT_EQ(merges_of(data).at({1, 2}), 300);
    EXPECT_EQ(merges_of(data).at({300, 3}), 301);
    EXPECT_EQ(lookup_of(data).at(301), "t1t2t3");

    // A loaded model with a gap at 10: the gap is filled, then 11 is skipped.
    Data gapped = sized_model(12);
    Data copy;
    gapped.lookup.for_each([&](token_id id, const std::string& t) {
        if (id != 10) copy.lookup.insert_or_assign(id, t);
    });
    learn_merges(copy, repeat({1, 2, 3}, 10), false, log.get(), hooks());
    EXPECT_EQ(merges_of(copy).at({1, 2}), 10);
    EXPECT_EQ(merges_of(copy).at({10, 3}), 12);
    EXPECT_EQ(lookup_of(copy).at(11), "t11");
}

TEST_P(merge_learning, sequences_without_pairs_learn_nothing) {
    for (const token_sequence& tokens : {token_sequence{}, token_sequence{1}}) {
        Data data = letters_model("a");
        learn_merges(data, tokens, true, log.get(), hooks());
        EXPECT_EQ(data.lookup.size(), 2u);
        EXPECT_EQ(apply_learned_merges(data, tokens, hooks()), tokens);
    }
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(log.text(), "");
}

TEST_P(merge_learning, a_missing_token_text_fails_with_the_merge_recorded) {
    for (std::string_view known : {"", "x"}) {  // left missing, then right missing
        Data data;
        data.lookup.insert_or_assign(0, "");
        if (!known.empty()) data.lookup.insert_or_assign(7, std::string{known});
        try {
            learn_merges(data, repeat({7, 8}, 10), false, log.get(), hooks());
            ADD_FAILURE() << "no failure";
        } catch (const failure& f) {
            EXPECT_EQ(f.message, "This should not happen");
        }
        EXPECT_EQ(merges_of(data).at({7, 8}), 1);
        EXPECT_FALSE(data.lookup.contains(1));
    }
}

TEST_P(merge_learning, a_log_that_refuses_the_line_fails_after_the_token_is_complete) {
    Data data = letters_model("abc");
    int read_only = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    try {
        learn_merges(data, repeat({1, 2, 3}, 10), true, read_only, hooks());
        ADD_FAILURE() << "no failure";
    } catch (const failure& f) {
        EXPECT_EQ(f.message.rfind("To Work: ", 0), 0u) << f.message;
        EXPECT_NE(f.message.find("os error 9"), std::string::npos) << f.message;
    }
    ::close(read_only);
    EXPECT_EQ(lookup_of(data).at(4), "ab");
    EXPECT_EQ(merges_of(data).at({1, 2}), 4);
    EXPECT_EQ(console.text(), "");  // the console line follows the log line
}

TEST_P(merge_learning, a_full_vocabulary_creates_no_token_but_still_applies_known_merges) {
    const std::string full = "Vocabulary is full (65536 tokens): no new token is learned from this chunk\n";
    struct row {
        std::size_t size;
        bool known_merge;
        std::string lines;
    };
    for (const row& r : {row{65536, false, full},
                         row{65535, false, "Token 65535 | Merge (1, 2) | 10 Times | Loop 0\n" + full},
                         row{65536, true, "No News Loop count is 65535\n" + full}}) {
        captured_fd out;
        Data data = sized_model(r.size);
        if (r.known_merge) data.merges.emplace(token_pair{1, 2}, 65535);
        run_hooks h = hooks();
        h.console_fd = out.get();
        learn_merges(data, repeat({1, 2, 3}, 10), false, log.get(), h);
        EXPECT_EQ(out.text(), r.lines);
        EXPECT_EQ(data.lookup.size(), 65536u);
        EXPECT_EQ(data.merges.size(), 1u - (r.size == 65536 && !r.known_merge));
        EXPECT_EQ(lookup_of(data).at(65535), r.size == 65535 ? "t1t2" : "t65535");
    }
}

TEST_P(merge_learning, a_stop_request_ends_learning_between_iterations) {
    Data data = letters_model("abc");
    int asked = 0;
    run_hooks h = hooks();
    h.should_stop = [&] { return ++asked > 1; };
    EXPECT_THROW(learn_merges(data, repeat({1, 2, 3}, 10), false, log.get(), h), stop_requested);
    EXPECT_EQ(data.lookup.size(), 5u);  // the first iteration's token stays
    asked = 0;
    EXPECT_THROW(apply_learned_merges(data, repeat({1, 2, 3}, 10), h), stop_requested);
}

TEST_P(merge_learning, learned_merge_pass_counts_misses_in_a_row) {
    Data data;
    data.merges.emplace(token_pair{1, 2}, 20);
    // (3,3) five times and (4,4) four times are misses; (1,2) three times is a
    // hit; the pairs left then occur once each and miss in ascending order.
    token_sequence tokens{3, 3, 3, 3, 3, 3, 9, 4, 4, 4, 4, 4, 10, 1, 2, 11, 1, 2, 12, 1, 2};
    token_sequence result = apply_learned_merges(data, tokens, hooks());

    const std::string miss = "Failed to find a match between the max occur with already learned | Failed Count ";
    std::string expected = miss + "1\n" + miss + "2\n" +
                           "Found a match between the max occur with already learned | Pair is (1, 2)\n";
    for (int n = 1; n <= 7; ++n) expected += miss + std::to_string(n) + "\n";
    EXPECT_EQ(console.text(), expected);
    EXPECT_EQ(result, (token_sequence{3, 3, 3, 3, 3, 3, 9, 4, 4, 4, 4, 4, 10, 20, 11, 20, 12, 20}));
}

TEST_P(merge_learning, learned_merge_pass_ends_quietly_when_no_pair_is_left) {
    struct row {
        token_sequence tokens;
        bool learned;
        token_sequence result;
        std::string lines;
    };
    const std::string miss = "Failed to find a match between the max occur with already learned | Failed Count ";
    for (const row& r : {
             // A hit with a single occurrence, down to one token.
             row{{1, 2}, true, {3}, "Found a match between the max occur with already learned | Pair is (1, 2)\n"},
             // Every pair excluded before seven misses.
             row{{1, 2}, false, {1, 2}, miss + "1\n"},
             row{{1, 2, 4}, false, {1, 2, 4}, miss + "1\n" + miss + "2\n"},
         }) {
        captured_fd out;
        Data data;
        if (r.learned) data.merges.emplace(token_pair{1, 2}, 3);
        run_hooks h = hooks();
        h.console_fd = out.get();
        EXPECT_EQ(apply_learned_merges(data, r.tokens, h), r.result);
        EXPECT_EQ(out.text(), r.lines);
    }
}

// The shipped source must learn exactly what the reference learns, on text
// with many ties and merges built on merges.
TEST(merge_learning_sources, agree_on_structured_random_sequences) {
    std::mt19937 random{12345};
    for (int round = 0; round < 4; ++round) {
        token_sequence tokens;
        std::uniform_int_distribution<int> word_length{1, 6}, letter{1, 5 + round * 3};
        std::vector<token_sequence> words(40);
        for (auto& w : words)
            for (int i = word_length(random); i > 0; --i) w.push_back(static_cast<token_id>(letter(random)));
        std::uniform_int_distribution<std::size_t> pick{0, words.size() - 1};
        for (int i = 0; i < 3000; ++i) {
            const auto& w = words[pick(random)];
            tokens.insert(tokens.end(), w.begin(), w.end());
        }
        Data first = sized_model(30), second = sized_model(30);
        captured_fd out_a, out_b, log_a, log_b;
        learn_merges(first, tokens, true, log_a.get(), {.console_fd = out_a.get(), .literal = true});
        learn_merges(second, tokens, true, log_b.get(), {.console_fd = out_b.get(), .literal = false});
        EXPECT_EQ(out_a.text(), out_b.text());
        EXPECT_EQ(lookup_of(first), lookup_of(second));
        EXPECT_EQ(merges_of(first), merges_of(second));

        captured_fd pass_a, pass_b;
        EXPECT_EQ(apply_learned_merges(first, tokens, {.console_fd = pass_a.get(), .literal = true}),
                  apply_learned_merges(first, tokens, {.console_fd = pass_b.get(), .literal = false}));
        EXPECT_EQ(pass_a.text(), pass_b.text());
    }
}

// Training keeps one source for both stages of a later chunk: the learning loop
// must continue from the state the learned-merge pass left, exactly as the
// reference, which recounts everything, does.
TEST(merge_learning_sources, agree_when_one_source_serves_a_whole_later_chunk) {
    std::mt19937 random{777};
    auto chunk = [&](int alphabet) {
        std::uniform_int_distribution<int> word_length{1, 5}, letter{1, alphabet};
        std::vector<token_sequence> words(30);
        for (auto& w : words)
            for (int i = word_length(random); i > 0; --i) w.push_back(static_cast<token_id>(letter(random)));
        std::uniform_int_distribution<std::size_t> pick{0, words.size() - 1};
        token_sequence tokens;
        for (int i = 0; i < 2500; ++i) {
            const auto& w = words[pick(random)];
            tokens.insert(tokens.end(), w.begin(), w.end());
        }
        return tokens;
    };
    for (int round = 0; round < 6; ++round) {
        std::vector<token_sequence> chunks{chunk(4 + round), chunk(4 + round), chunk(6 + round), chunk(5)};
        // The chunks differ in length, so engines that hand their arrays on
        // (as a training run's do) get them larger and smaller than needed.
        Data reference = sized_model(30), shipped = sized_model(30), handed_on = sized_model(30);
        captured_fd out_a, out_b, out_c, log_a, log_b, log_c;
        run_hooks literal_hooks, engine_hooks, spare_hooks;
        literal_hooks.console_fd = out_a.get();
        literal_hooks.literal = true;
        engine_hooks.console_fd = out_b.get();
        spare_hooks.console_fd = out_c.get();
        pair_engine::spare_arrays spare;
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            learn_from_chunk(reference, chunks[i], i != 0, true, log_a.get(), literal_hooks);
            learn_from_chunk(shipped, chunks[i], i != 0, true, log_b.get(), engine_hooks);
            learn_from_chunk(handed_on, chunks[i], i != 0, true, log_c.get(), spare_hooks, &spare);
        }
        EXPECT_EQ(out_a.text(), out_b.text());
        EXPECT_EQ(out_a.text(), out_c.text());
        EXPECT_EQ(log_a.text(), log_b.text());
        EXPECT_EQ(log_a.text(), log_c.text());
        EXPECT_EQ(lookup_of(reference), lookup_of(shipped));
        EXPECT_EQ(merges_of(reference), merges_of(shipped));
        EXPECT_EQ(merges_of(reference), merges_of(handed_on));
        EXPECT_NE(out_a.text().find("Found a match"), std::string::npos);
    }
}

}  // namespace
}  // namespace tolvane
