#include "learning/merge_learning.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "learning/engine.hpp"
#include "model/failure.hpp"
#include "learning/pair_source.hpp"

namespace tolvane {
namespace {

// One console or log line, built on the stack: the learning loop prints up to
// 700 of them per chunk and must not allocate or touch iostreams for each.
// The longest line (five 16/32-bit numbers and the fixed texts) is under 100
// bytes, so the buffer never fills; should it, the line is cut, not overrun.
class line_builder {
public:
    line_builder& text(std::string_view s) {
        std::size_t n = std::min(s.size(), buffer.size() - length);
        s.copy(buffer.data() + length, n);
        length += n;
        return *this;
    }
    line_builder& number(std::uint64_t value) {
        auto [end, ec] = std::to_chars(buffer.data() + length, buffer.data() + buffer.size(), value);
        if (ec == std::errc{}) length = static_cast<std::size_t>(end - buffer.data());
        return *this;
    }
    line_builder& pair(token_pair p) {
        return text("(").number(p.left).text(", ").number(p.right).text(")");
    }
    std::string_view view() const { return {buffer.data(), length}; }

private:
    std::array<char, 160> buffer;
    std::size_t length = 0;
};

void check_stop(const run_hooks& hooks) {
    if (hooks.should_stop && hooks.should_stop()) throw stop_requested{};
}

// The learned-merge pass over any pair source. A hit merges and forgives the
// misses so far; a miss excludes its pair for the rest of the pass, so the pass
// always moves on and ends after FAILED_COUNT_LIMIT misses in a row. When no
// pair is left to choose (the sequence merged down to one token, or every pair
// is excluded) the sequence is simply as up to date as it can get.
template <class Source>
void apply_learned_merges_to(const Data& data, Source& source, const run_hooks& hooks) {
    std::vector<token_pair> excluded;
    int failed_count = 0;
    while (failed_count < FAILED_COUNT_LIMIT) {
        check_stop(hooks);
        std::optional<token_pair> pair = source.best_excluding(excluded);
        if (!pair) break;
        line_builder line;
        if (const token_id* merged = find_merge(data.merges, *pair)) {
            failed_count = 0;
            source.merge(*pair, *merged);
            line.text("Found a match between the max occur with already learned | Pair is ")
                .pair(*pair)
                .text("\n");
        } else {
            excluded.push_back(*pair);
            ++failed_count;
            line.text("Failed to find a match between the max occur with already learned | Failed Count ")
                .number(static_cast<std::uint64_t>(failed_count))
                .text("\n");
        }
        console_line(hooks.console_fd, line.view());
    }
}

// The text of a new merged token: left's text, then right's. A model that
// lacks either text was not built by training (a hand-made or damaged file).
std::string joined_text(const Data& data, token_pair pair) {
    const std::string* left = data.lookup.find(pair.left);
    if (!left) fail("This should not happen");
    std::string text = *left;
    const std::string* right = data.lookup.find(pair.right);
    if (!right) fail("This should not happen");
    text += *right;
    return text;
}

// The learning loop over any pair source. An iteration that changes nothing
// (the best count is under MIN_MERGE_COUNT, or a new token is needed and every
// id is taken) leaves the sequence and the model as they were, so all later
// iterations of the chunk would choose the same pair and also change nothing:
// the loop ends there, with the same result as running out the iterations.
template <class Source>
void learn_merges_in(Data& data, Source& source, bool print_logs, int log_fd,
                     const run_hooks& hooks) {
    for (int k = 0; k < MERGE_ITERATIONS_PER_CHUNK; ++k) {
        check_stop(hooks);
        // Fewer than two tokens: there is no pair, so nothing to learn here.
        auto best = source.best();
        if (!best) return;
        auto [pair, count] = *best;
        if (count < MIN_MERGE_COUNT) return;

        if (const token_id* known = find_merge(data.merges, pair)) {
            token_id merged = *known;
            line_builder line;
            line.text("No News Loop count is ").number(merged).text("\n");
            console_line(hooks.console_fd, line.view());
            source.merge(pair, merged);
            continue;
        }

        // Ids are 16 bits wide; when all are taken a new token would have to
        // reuse one and silently corrupt every sequence that holds it.
        std::optional<token_id> id = data.lookup.next_free_id();
        if (!id) {
            console_line(hooks.console_fd,
                         "Vocabulary is full (65536 tokens): no new token is learned from this chunk\n");
            return;
        }
        // The merge is recorded before its text is built, so a model with a
        // missing text fails with the entry already in place.
        data.merges.emplace(pair, *id);
        data.lookup.insert_or_assign(*id, joined_text(data, pair));

        line_builder line;
        line.text("Token ").number(*id).text(" | Merge ").pair(pair).text(" | ").number(count)
            .text(" Times | Loop ").number(static_cast<std::uint64_t>(k)).text("\n");
        if (print_logs) log_text(log_fd, line.view(), "To Work");
        source.merge(pair, *id);
        console_line(hooks.console_fd, line.view());
    }
}

// One chunk end to end on one pair source: the learned-merge pass (later
// chunks only) and the learning loop share the source, so its counts are
// built once per chunk rather than once per stage.
template <class Source>
void learn_from_chunk_with(Data& data, Source& source, bool later_chunk, bool print_logs,
                           int log_fd, const run_hooks& hooks) {
    if (later_chunk) apply_learned_merges_to(data, source, hooks);
    console_line(hooks.console_fd, "Finish converting new read chunk to tokens\n");
    learn_merges_in(data, source, print_logs, log_fd, hooks);
}

template <class Source>
token_sequence apply_learned_merges_with(const Data& data, token_sequence tokens,
                                         const run_hooks& hooks) {
    Source source{std::move(tokens), data.merges};
    apply_learned_merges_to(data, source, hooks);
    return source.take();
}

template <class Source>
void learn_merges_with(Data& data, token_sequence tokens, bool print_logs, int log_fd,
                       const run_hooks& hooks) {
    Source source{std::move(tokens), data.merges};
    learn_merges_in(data, source, print_logs, log_fd, hooks);
}

}  // namespace

token_sequence apply_learned_merges(const Data& data, token_sequence tokens, const run_hooks& hooks) {
    return hooks.literal ? apply_learned_merges_with<literal_pairs>(data, std::move(tokens), hooks)
                         : apply_learned_merges_with<pair_engine>(data, std::move(tokens), hooks);
}

void learn_merges(Data& data, token_sequence tokens, bool print_logs, int log_fd,
                  const run_hooks& hooks) {
    if (hooks.literal)
        learn_merges_with<literal_pairs>(data, std::move(tokens), print_logs, log_fd, hooks);
    else
        learn_merges_with<pair_engine>(data, std::move(tokens), print_logs, log_fd, hooks);
}

void learn_from_chunk(Data& data, token_sequence tokens, bool later_chunk, bool print_logs,
                      int log_fd, const run_hooks& hooks, pair_engine::spare_arrays* spare) {
    if (hooks.literal) {
        literal_pairs source{std::move(tokens), data.merges};
        learn_from_chunk_with(data, source, later_chunk, print_logs, log_fd, hooks);
    } else {
        pair_engine source{std::move(tokens), data.merges, spare};
        learn_from_chunk_with(data, source, later_chunk, print_logs, log_fd, hooks);
    }
}

}  // namespace tolvane
