// Measurements of the core, one per run so that each reports its own peak
// memory. bench/run.py drives it and prints the table; every command prints
// one line of key=value fields.
//
//   bench_core train <text> <workdir> engine|literal
//   bench_core encode <model> <text> [repeats]
//   bench_core ranked <model> <text>
//   bench_core sentences <model> <lines-file>
//   bench_core split <text>
//   bench_core memory <text>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/encode.hpp"
#include "learning/engine.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "learning/merge_learning.hpp"
#include "model/pretokenize.hpp"
#include "encoding/ranked.hpp"
#include "persist/load.hpp"
#include "training/train.hpp"

namespace {

using namespace tolvane;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

long peak_rss_kb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string read_file(const char* path) {
    std::ifstream in{path, std::ios::binary};
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    return {std::istreambuf_iterator<char>{in}, {}};
}

int train_command(const char* text, const char* workdir, bool literal) {
    std::string path = text[0] == '/' ? text : std::string{get_current_dir_name()} + "/" + text;
    if (::chdir(workdir) != 0) return 2;
    run_hooks hooks;
    hooks.console_fd = ::open("console.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    hooks.literal = literal;
    Data data;
    auto start = clock_type::now();
    train(data, {path, false, "logs.txt"}, hooks);
    double took = seconds_since(start);
    std::printf("seconds=%.4f tokens=%zu merges=%zu peak_rss_kb=%ld\n", took, data.lookup.size(),
                data.merges.size(), peak_rss_kb());
    return 0;
}

int encode_command(const char* model, const char* text_path, int repeats) {
    Data data = load_model_file(model);
    std::string text = read_file(text_path);
    double best = 1e30;
    std::size_t tokens = 0;
    for (int i = 0; i < repeats; ++i) {
        auto start = clock_type::now();
        tokens = encode(data, text).size();
        best = std::min(best, seconds_since(start));
    }
    std::printf("seconds=%.4f bytes=%zu tokens=%zu peak_rss_kb=%ld\n", best, text.size(), tokens,
                peak_rss_kb());
    return 0;
}

// Per-call cost of short texts, through the engine and the literal path.
int sentences_command(const char* model, const char* lines_path) {
    Data data = load_model_file(model);
    std::vector<std::string> lines;
    {
        std::ifstream in{lines_path, std::ios::binary};
        for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    auto per_call = [&](auto encoder) {
        double best = 1e30;
        for (int round = 0; round < 5; ++round) {
            std::size_t sink = 0;
            auto start = clock_type::now();
            for (const auto& line : lines) sink += encoder(data, line).size();
            best = std::min(best, seconds_since(start));
            if (sink == 0) std::fputs("", stderr);
        }
        return best / static_cast<double>(lines.size()) * 1e6;
    };
    double engine_us = per_call(encode);
    // With the lookups prepared once per model, as Data.encode and the Tokenizer have them.
    const encode_index index{data};
    double indexed_us = per_call([&](const Data& d, std::string_view s) { return index.encode(d, s); });
    double literal_us = per_call(encode_literal);
    std::printf("calls=%zu engine_us=%.3f indexed_us=%.3f literal_us=%.3f\n", lines.size(), engine_us,
                indexed_us, literal_us);
    return 0;
}

// Ranked encoding: the whole text in one call (the first, then the best of three), 100-byte
// pieces one call each, and the inputs that would be quadratic for a naive
// rescan: 1 MB of one grapheme and 1 MB of one learned pair, the slowest of
// a few candidates each.
int ranked_command(const char* model, const char* text_path) {
    const Data data = load_model_file(model);
    const std::string text = read_file(text_path);
    auto start = clock_type::now();
    const ranked_encoder encoder{data};
    const double build_seconds = seconds_since(start);
    auto best_of = [](int rounds, auto&& body) {
        double best = 1e30;
        for (int round = 0; round < rounds; ++round) {
            auto t = clock_type::now();
            body();
            best = std::min(best, seconds_since(t));
        }
        return best;
    };
    std::size_t tokens = 0;
    // The first call finds the thread's cache of pieces empty; later ones reuse it.
    const double cold = best_of(1, [&] { tokens = encoder.encode(text).size(); });
    const double whole = best_of(3, [&] { tokens = encoder.encode(text).size(); });

    constexpr std::size_t PIECE = 100;
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at + PIECE <= text.size() && pieces.size() < 20000; at += PIECE) {
        // Cut points move off continuation bytes, so no piece splits a code point.
        std::size_t from = at, to = at + PIECE;
        while (from > 0 && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) --from;
        while (to < text.size() && (static_cast<unsigned char>(text[to]) & 0xC0) == 0x80) ++to;
        pieces.push_back(std::string_view{text}.substr(from, to - from));
    }
    token_sequence out;
    const double short_total = best_of(5, [&] {
        for (auto piece : pieces) {
            out.clear();
            encoder.encode_append(piece, out);
        }
    });

    constexpr std::size_t MEGABYTE = 1'000'000;
    auto repeated = [&](std::string_view unit) {
        std::string s;
        while (s.size() + unit.size() <= MEGABYTE) s += unit;
        return best_of(1, [&] { encoder.count(s); });
    };
    double run_seconds = 0, pair_seconds = 0;
    for (std::string_view g : {" ", "a", "e", "-", "=", "0", "\n"})
        if (data.unicode_lookup.contains(std::string{g})) run_seconds = std::max(run_seconds, repeated(g));
    // The first learned merges of two graphemes: the most common pairs.
    std::vector<std::pair<token_id, token_pair>> first;
    for (const auto& [pair, merged] : data.merges) first.push_back({merged, pair});
    std::sort(first.begin(), first.end(), [](auto& a, auto& b) { return a.first < b.first; });
    int tried = 0;
    for (const auto& [merged, pair] : first) {
        const std::string* l = data.lookup.find(pair.left);
        const std::string* r = data.lookup.find(pair.right);
        if (!l || !r || !data.unicode_lookup.contains(*l) || !data.unicode_lookup.contains(*r)) continue;
        pair_seconds = std::max(pair_seconds, repeated(*l + *r));
        if (++tried == 5) break;
    }
    std::printf("seconds=%.4f cold_seconds=%.4f bytes=%zu tokens=%zu short_us=%.3f short_calls=%zu "
                "run_seconds=%.4f pair_seconds=%.4f build_seconds=%.4f peak_rss_kb=%ld\n",
                whole, cold, text.size(), tokens, short_total / static_cast<double>(pieces.size()) * 1e6,
                pieces.size(), run_seconds, pair_seconds, build_seconds, peak_rss_kb());
    return 0;
}

int split_command(const char* text_path) {
    std::string text = read_file(text_path);
    auto time_split = [&](auto end_of) {
        double best = 1e30;
        std::size_t count = 0;
        for (int round = 0; round < 3; ++round) {
            count = 0;
            auto start = clock_type::now();
            for (std::size_t i = 0; i < text.size(); ++count) i = end_of(text, i);
            best = std::min(best, seconds_since(start));
        }
        return std::pair{best, count};
    };
    auto [fast, graphemes] = time_split(grapheme_end);
    auto [reference, same] = time_split(grapheme_end_reference);
    std::printf("bytes=%zu graphemes=%zu fast_seconds=%.4f reference_seconds=%.4f agree=%d\n",
                text.size(), graphemes, fast, reference, graphemes == same ? 1 : 0);
    return 0;
}

// Resident bytes of the whole process: the engine's large arrays come
// straight from the system with room reserved but untouched, which only
// the resident size tells apart from memory in use.
std::size_t heap_in_use() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    unsigned long size = 0, resident = 0;
    const int got = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return got == 2 ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

// Resident bytes the engine holds for one chunk, right after its one full count
// and after a learning run's worth of merges.
int memory_command(const char* text_path) {
    std::string text = read_file(text_path);
    text.resize(std::min(text.size(), TRAIN_CHUNK_SIZE));
    Data data;
    register_oov(data);
    token_sequence tokens = tokenize_chunk(data, text);
    const std::size_t positions = tokens.size();
    const std::size_t before = heap_in_use();
    pair_engine engine{std::move(tokens), data.merges};
    const std::size_t built = heap_in_use() - before + positions * sizeof(token_id);
    std::size_t peak = built;
    for (int k = 0; k < MERGE_ITERATIONS_PER_CHUNK; ++k) {
        auto best = engine.best();
        if (!best || best->second < MIN_MERGE_COUNT) break;
        token_id id = *data.lookup.next_free_id();
        data.merges.emplace(best->first, id);
        data.lookup.insert_or_assign(id, "");
        engine.merge(best->first, id);
        peak = std::max(peak, heap_in_use() - before + positions * sizeof(token_id));
    }
    std::printf("positions=%zu built_bytes=%zu peak_bytes=%zu\n", positions, built, peak);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::string_view command = argc > 1 ? argv[1] : "";
        if (command == "train" && argc == 5)
            return train_command(argv[2], argv[3], std::strcmp(argv[4], "literal") == 0);
        if (command == "encode" && argc >= 4) return encode_command(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 3);
        if (command == "ranked" && argc == 4) return ranked_command(argv[2], argv[3]);
        if (command == "sentences" && argc == 4) return sentences_command(argv[2], argv[3]);
        if (command == "split" && argc == 3) return split_command(argv[2]);
        if (command == "memory" && argc == 3) return memory_command(argv[2]);
    } catch (const failure& f) {
        std::fprintf(stderr, "failure: %s\n", f.message.c_str());
        return 1;
    }
    std::fputs("usage: see the top of bench/bench_core.cpp\n", stderr);
    return 2;
}
