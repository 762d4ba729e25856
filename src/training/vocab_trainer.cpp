#include "training/vocab_trainer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <exception>
#include <thread>
#include <unordered_map>

#include "learning/piece_merges.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"

namespace tolvane {

namespace {

constexpr std::size_t BYTE_TOKENS = 256;
// Below this many bytes a batch is counted on the calling thread: starting
// threads would cost more than they save.
constexpr std::uint64_t THREADED_FROM_BYTES = std::uint64_t{1} << 20;
// What a distinct piece costs, and each byte of its text, at the peak of a
// whole training: its slot in the table (32 bytes at a quarter to a half
// full, twice while the table grows or several threads' tables are merged),
// its place in the pieces sorted by count, and the learning's positions,
// pair entries and heap. Fitted to the peak resident memory of training
// corpora of English, of several scripts and of ever new pieces (10 MB to
// 1 GB), less the 50 MB or so that Python and the reading take: with those
// added it came out 1% to 15% above every peak measured (see the README).
constexpr std::uint64_t BYTES_PER_PIECE = 480;
constexpr std::uint64_t BYTES_PER_TEXT_BYTE = 6;

[[noreturn]] void refuse(std::string message) { fail_as(failure_kind::invalid_value, std::move(message)); }

// 65536 as "65,536": sizes in messages read as the user wrote them.
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string quoted(std::string_view text) { return "'" + std::string{text} + "'"; }

void check_stop(const trainer_progress& progress) {
    if (progress.should_stop && progress.should_stop()) throw stop_requested{};
}

void report(const trainer_progress& progress, std::string_view stage, std::uint64_t done, std::uint64_t total) {
    if (progress.report) progress.report(stage, done, total);
    check_stop(progress);
}

// The text of each ASCII character, for views that outlive any piece.
constexpr std::array<char, 128> ascii_text = [] {
    std::array<char, 128> t{};
    for (int b = 0; b < 128; ++b) t[b] = static_cast<char>(b);
    return t;
}();

bool is_ascii_byte(std::string_view g) { return g.size() == 1 && static_cast<unsigned char>(g[0]) < 0x80; }

struct grapheme_count {
    std::string_view text;  // in the piece table
    std::uint64_t count;
};

// Every grapheme of the distinct pieces with its count in the corpus, most
// frequent first, equal counts by their bytes.
std::vector<grapheme_count> count_graphemes(const piece_counts& table, const trainer_progress& progress) {
    std::array<std::uint64_t, 128> ascii{};
    std::unordered_map<std::string_view, std::uint64_t> others;
    std::uint64_t done = 0;
    table.for_each([&](std::string_view piece, std::uint64_t count) {
        for_each_grapheme(piece, [&](std::string_view g) {
            if (is_ascii_byte(g)) ascii[static_cast<unsigned char>(g[0])] += count;
            else others[g] += count;
        });
        if (++done % (1 << 16) == 0) report(progress, "graphemes", done, table.distinct());
    });
    // The stage's last report says it is complete, so a display that shows
    // each stage as it ends never shows it part way.
    report(progress, "graphemes", done, table.distinct());
    std::vector<grapheme_count> out;
    for (int b = 0; b < 128; ++b)
        if (ascii[b]) out.push_back({std::string_view{&ascii_text[b], 1}, ascii[b]});
    for (const auto& [g, count] : others) out.push_back({g, count});
    std::sort(out.begin(), out.end(), [](const grapheme_count& x, const grapheme_count& y) {
        return x.count != y.count ? x.count > y.count : x.text < y.text;
    });
    return out;
}

// The ids of the model before any grapheme or merge: oov, the specials,
// the byte tokens.
void lay_out_fixed_ids(Data& data, const vocab_trainer_options& opts, trained_vocab& out) {
    data.unicode_lookup.emplace("oov", token_id{0});
    data.lookup.insert_or_assign(0, std::string{});
    token_id next = 1;
    for (const std::string& special : opts.special_tokens) {
        data.lookup.insert_or_assign(next, special);
        out.special_ids.push_back(next++);
    }
    if (!opts.byte_fallback) return;
    out.byte_base = next;
    for (std::size_t b = 0; b < BYTE_TOKENS; ++b) {
        const auto id = static_cast<token_id>(next + b);
        std::string text(1, static_cast<char>(b));
        if (b < 0x80) data.unicode_lookup.emplace(text, id);
        data.lookup.insert_or_assign(id, std::move(text));
    }
}

std::string why_stopped(merge_stop stop, std::uint64_t min_frequency, std::size_t max_length) {
    std::string within = max_length ? " within max_token_length " + grouped(max_length) : "";
    if (stop == merge_stop::below_min)
        return "no pair of adjacent tokens" + within + " occurs at least " + grouped(min_frequency) +
               " times (min_frequency)";
    return "no pair of adjacent tokens is left to merge" + within;
}

}  // namespace

vocab_trainer::vocab_trainer(vocab_trainer_options options) : opts{std::move(options)} {
    for (std::size_t i = 0; i < opts.special_tokens.size(); ++i) {
        const std::string& s = opts.special_tokens[i];
        if (s.empty()) refuse("special token " + std::to_string(i) + " is empty");
        for (std::size_t j = 0; j < i; ++j)
            if (opts.special_tokens[j] == s) refuse("special token " + quoted(s) + " is given twice");
        specials_by_length.push_back(s);
    }
    if (opts.special_tokens.size() + 1 + (opts.byte_fallback ? BYTE_TOKENS : 0) > MAX_TOKENS)
        refuse("too many special tokens: " + grouped(opts.special_tokens.size()));
    std::stable_sort(specials_by_length.begin(), specials_by_length.end(),
                     [](std::string_view x, std::string_view y) { return x.size() > y.size(); });
    if (!(opts.grapheme_coverage > 0.0 && opts.grapheme_coverage <= 1.0))
        refuse("grapheme_coverage must be above 0 and at most 1, not " + std::to_string(opts.grapheme_coverage));
    if (opts.threads == 0) refuse("threads must be at least 1");
    tables.resize(1);
}

void vocab_trainer::count_document(std::string_view document, piece_counts& into) const {
    auto count = [&](std::string_view text) {
        for_each_piece(text, [&](std::string_view piece) { into.add(piece); });
    };
    if (specials_by_length.empty()) return count(document);
    // The next place of each special at or after `from`, found again only
    // once passed: one scan of the document per special.
    std::vector<std::size_t> next_at;
    for (std::string_view special : specials_by_length) next_at.push_back(document.find(special));
    std::size_t from = 0;
    for (;;) {
        std::size_t at = std::string_view::npos, length = 0;
        for (std::size_t k = 0; k < specials_by_length.size(); ++k) {
            if (next_at[k] != std::string_view::npos && next_at[k] < from)
                next_at[k] = document.find(specials_by_length[k], from);
            // Longest first, so on a tie the earlier (longer) one stays.
            if (next_at[k] < at) {
                at = next_at[k];
                length = specials_by_length[k].size();
            }
        }
        if (at == std::string_view::npos) return count(document.substr(from));
        count(document.substr(from, at - from));
        from = at + length;
    }
}

std::uint64_t piece_footprint(std::uint64_t distinct_pieces, std::uint64_t text_bytes) {
    return distinct_pieces * BYTES_PER_PIECE + text_bytes * BYTES_PER_TEXT_BYTE;
}

namespace {
std::uint64_t footprint_of(const piece_counts& table) { return piece_footprint(table.distinct(), table.text_bytes()); }
}  // namespace

void vocab_trainer::add(std::string_view document) {
    count_document(document, tables[0]);
    bytes_added += document.size();
    keep_within_limit();
}

void vocab_trainer::add_many(std::span<const std::string_view> documents) {
    std::uint64_t total = 0;
    for (std::string_view d : documents) total += d.size();
    const std::size_t workers = std::min<std::size_t>(opts.threads, documents.size());
    if (workers < 2 || total < THREADED_FROM_BYTES) {
        for (std::string_view d : documents) count_document(d, tables[0]);
        bytes_added += total;
        keep_within_limit();
        return;
    }
    if (tables.size() < workers) tables.resize(workers);
    // Contiguous runs of documents of about equal bytes, one per thread;
    // the counts are sums, so how the work is cut never shows in the model.
    std::vector<std::size_t> cut{0};
    std::uint64_t running = 0;
    for (std::size_t i = 0; i < documents.size() && cut.size() < workers; ++i) {
        running += documents[i].size();
        if (running * workers >= total * cut.size()) cut.push_back(i + 1);
    }
    cut.push_back(documents.size());
    std::vector<std::exception_ptr> errors(cut.size() - 1);
    std::vector<std::thread> threads;
    for (std::size_t w = 1; w + 1 < cut.size(); ++w)
        threads.emplace_back([&, w] {
            try {
                for (std::size_t i = cut[w]; i < cut[w + 1]; ++i) count_document(documents[i], tables[w]);
            } catch (...) {
                errors[w] = std::current_exception();
            }
        });
    try {
        for (std::size_t i = cut[0]; i < cut[1]; ++i) count_document(documents[i], tables[0]);
    } catch (...) {
        errors[0] = std::current_exception();
    }
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    bytes_added += total;
    keep_within_limit();
}

// Checked once a call, on the whole call's counts: the tables of several
// threads together take at least what their merged table takes, so they are
// merged whenever they might be over the limit, and the one table is judged
// as a single thread's would be.
void vocab_trainer::keep_within_limit() {
    if (opts.memory_limit == 0) return;
    std::uint64_t together = 0;
    for (const piece_counts& t : tables) together += footprint_of(t);
    if (together <= opts.memory_limit) return;
    piece_counts& table = merged_table();
    if (footprint_of(table) <= opts.memory_limit) return;
    // Down to half the limit, so that the next time is far off: the pieces
    // seen once first, then those seen fewer than 4, 8, ... times. What each
    // count's power of two holds is summed first, so the table is rebuilt
    // once, at the lowest bound that is enough.
    std::array<std::uint64_t, 64> pieces_at{}, bytes_at{};
    table.for_each([&](std::string_view piece, std::uint64_t count) {
        const auto power = static_cast<std::size_t>(std::bit_width(count) - 1);
        ++pieces_at[power];
        bytes_at[power] += piece.size();
    });
    std::uint64_t kept_pieces = table.distinct(), kept_bytes = table.text_bytes();
    std::size_t power = 0;  // pieces counted below 2^(power + 1) times go
    for (;; ++power) {
        kept_pieces -= pieces_at[power];
        kept_bytes -= bytes_at[power];
        if (kept_pieces == 0 || piece_footprint(kept_pieces, kept_bytes) <= opts.memory_limit / 2) break;
    }
    const std::uint64_t below = power + 1 < 64 ? std::uint64_t{1} << (power + 1) : UINT64_MAX;
    forgotten_pieces += table.drop_below(below);
    ++forgettings;
    forgotten_below = below;
}

piece_counts& vocab_trainer::merged_table() {
    for (std::size_t t = 1; t < tables.size(); ++t) {
        tables[0].absorb(tables[t]);
        tables[t] = piece_counts{};
    }
    return tables[0];
}

trained_vocab vocab_trainer::learn(std::size_t vocab_size, std::uint64_t min_frequency,
                                   const trainer_progress& progress) {
    // Stage 1: what the call asks for.
    const std::size_t fixed = 1 + opts.special_tokens.size() + (opts.byte_fallback ? BYTE_TOKENS : 0);
    if (vocab_size > MAX_TOKENS)
        refuse("vocab_size must be at most 65,536 (token ids are 16 bits), not " + grouped(vocab_size));
    if (vocab_size < fixed) {
        std::vector<std::string> takers{"oov"};
        if (!opts.special_tokens.empty()) takers.push_back("the special tokens");
        if (opts.byte_fallback) takers.push_back("the 256 byte tokens");
        std::string who = takers[0];
        for (std::size_t i = 1; i < takers.size(); ++i) who += (i + 1 == takers.size() ? " and " : ", ") + takers[i];
        refuse("vocab_size " + grouped(vocab_size) + " is too small: " + who +
               (fixed == 1 ? " takes 1 id" : " take " + grouped(fixed) + " ids"));
    }
    if (min_frequency == 0) refuse("min_frequency must be at least 1");
    const piece_counts& table = merged_table();
    if (table.distinct() == 0 && forgotten_pieces > 0)
        refuse("memory_limit " + grouped(opts.memory_limit) + " is too small: every piece of the corpus was forgotten");
    if (table.distinct() == 0) refuse("the corpus is empty: there is no text to train on");

    trained_vocab out;
    out.pieces = table.counted();
    out.distinct_pieces = table.distinct();
    out.distinct_piece_bytes = table.text_bytes();
    out.counts_memory = footprint_of(table);
    out.bytes = bytes_added;
    out.forgettings = forgettings;
    out.forgotten_pieces = forgotten_pieces;
    out.forgotten_below = forgotten_below;
    Data& data = out.data;
    data.lookup.reserve(vocab_size);
    lay_out_fixed_ids(data, opts, out);

    // Stage 2: the graphemes that get an id. Without byte fallback every
    // one must; with it, the most frequent up to the coverage, as room allows.
    report(progress, "graphemes", 0, table.distinct());
    const std::vector<grapheme_count> graphemes = count_graphemes(table, progress);
    std::uint64_t total = 0, covered = 0;
    for (const grapheme_count& g : graphemes) total += g.count;
    std::size_t room = vocab_size - fixed;
    if (!opts.byte_fallback && graphemes.size() > room)
        refuse("vocab_size " + grouped(vocab_size) + " is too small for the " + grouped(graphemes.size()) +
               " distinct graphemes of the corpus (" + grouped(graphemes.size() + fixed) +
               " ids with oov and the special tokens): raise it, or use byte fallback");
    std::unordered_map<std::string_view, token_id> id_of;
    auto next_id = static_cast<token_id>(fixed);
    if (opts.byte_fallback)
        for (const grapheme_count& g : graphemes)
            if (is_ascii_byte(g.text)) covered += g.count;
    const auto wanted_cover = static_cast<double>(total) * opts.grapheme_coverage;
    for (const grapheme_count& g : graphemes) {
        if (opts.byte_fallback) {
            if (is_ascii_byte(g.text)) continue;
            if (room == 0 || static_cast<double>(covered) >= wanted_cover) {
                ++out.graphemes_to_bytes;
                continue;
            }
            covered += g.count;
        }
        --room;
        id_of.emplace(g.text, next_id);
        data.unicode_lookup.emplace(std::string{g.text}, next_id);
        data.lookup.insert_or_assign(next_id, std::string{g.text});
        ++next_id;
        ++out.graphemes;
    }
    // An ASCII character's grapheme token is its byte token.
    if (opts.byte_fallback)
        for (std::size_t b = 0; b < 0x80; ++b)
            id_of.emplace(std::string_view{&ascii_text[b], 1}, static_cast<token_id>(*out.byte_base + b));

    // Stage 3: the pieces as ids, most frequent first, so that the positions
    // merges visit most are close together; a grapheme without an id is a
    // barrier. The order never changes what is learned, only how fast.
    std::array<std::int32_t, 128> ascii_id;
    ascii_id.fill(-1);
    for (std::size_t b = 0; b < 128; ++b)
        if (auto it = id_of.find(std::string_view{&ascii_text[b], 1}); it != id_of.end()) ascii_id[b] = it->second;
    std::vector<std::pair<std::uint64_t, std::string_view>> by_count;
    by_count.reserve(table.distinct());
    table.for_each([&](std::string_view piece, std::uint64_t count) { by_count.emplace_back(count, piece); });
    std::sort(by_count.begin(), by_count.end(), [](const auto& x, const auto& y) {
        return x.first != y.first ? x.first > y.first : x.second < y.second;
    });
    weighted_pieces pieces;
    {
        token_sequence run;
        for (const auto& [piece_count, piece] : by_count) {
            // A named copy: clang 14 cannot capture a structured binding in
            // the lambda below, and the fuzz build compiles with it.
            const auto count = piece_count;
            run.clear();
            for_each_grapheme(piece, [&](std::string_view g) {
                if (is_ascii_byte(g)) {
                    if (const std::int32_t id = ascii_id[static_cast<unsigned char>(g[0])]; id >= 0) {
                        run.push_back(static_cast<token_id>(id));
                        return;
                    }
                } else if (auto it = id_of.find(g); it != id_of.end()) {
                    run.push_back(it->second);
                    return;
                }
                pieces.add(run, count);
                run.clear();
            });
            pieces.add(run, count);
        }
    }
    by_count = {};

    // Stage 4: the merges.
    merge_limits limits;
    limits.min_count = min_frequency;
    limits.max_length = opts.max_token_length;
    limits.lengths.assign(next_id, 1);
    report(progress, "pairs", 0, 1);
    const std::size_t wanted = vocab_size - next_id;
    const learned_merges learned = learn_piece_merges(
        pieces, next_id, wanted, std::move(limits),
        [&](std::size_t done, std::size_t asked) { report(progress, "merges", done, asked); });
    for (const merge_choice& m : learned.merges) {
        std::string text = *data.lookup.find(m.pair.left);
        text += *data.lookup.find(m.pair.right);
        data.merges.emplace(m.pair, next_id);
        data.lookup.insert_or_assign(next_id, std::move(text));
        ++next_id;
    }
    out.merges = learned.merges.size();
    out.stopped_early = learned.stop != merge_stop::done;
    out.reason = out.stopped_early ? why_stopped(learned.stop, min_frequency, opts.max_token_length) +
                                         ": the vocabulary has " + grouped(data.lookup.size()) + " of the " +
                                         grouped(vocab_size) + " tokens asked for"
                                   : "the vocabulary has the " + grouped(vocab_size) + " tokens asked for";
    return out;
}

}  // namespace tolvane
