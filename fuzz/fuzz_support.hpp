// What the fuzz targets share: a check that aborts (so libFuzzer keeps the
// input as a crash), a small model trained by the system itself, and the
// invariants every model built by training keeps.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "model/data.hpp"
#include "model/grapheme.hpp"
#include "learning/merge_learning.hpp"
#include "learning/output.hpp"
#include "model/pretokenize.hpp"

namespace tolvane_fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::tolvane_fuzz::check_failed(#cond, __FILE__, __LINE__))

// An independent reading of the table of well-formed UTF-8 sequences, to
// hold the shipped validator to: where the valid prefix ends, and how many
// bytes the bad sequence has (empty: the text ends inside a sequence).
struct utf8_verdict {
    bool valid = true;
    std::size_t valid_up_to = 0;
    std::optional<std::size_t> error_len;
};

inline utf8_verdict reference_utf8(std::string_view s) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char b = at(i);
        if (b < 0x80) { ++i; continue; }
        std::size_t width = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) width = 2;
        else if (b == 0xE0) { width = 3; lo = 0xA0; }
        else if (b == 0xED) { width = 3; hi = 0x9F; }
        else if (b >= 0xE1 && b <= 0xEF) width = 3;
        else if (b == 0xF0) { width = 4; lo = 0x90; }
        else if (b == 0xF4) { width = 4; hi = 0x8F; }
        else if (b >= 0xF1 && b <= 0xF3) width = 4;
        else return {false, i, 1};
        for (std::size_t k = 1; k < width; ++k) {
            if (i + k >= s.size()) return {false, i, std::nullopt};
            const unsigned char c = at(i + k);
            const bool fits = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
            if (!fits) return {false, i, k};
        }
        i += width;
    }
    return {true, s.size(), std::nullopt};
}

// Progress lines would flood the fuzzer's output; a descriptor that refuses
// every write is what a closed console looks like, which runs must survive.
inline tolvane::run_hooks quiet_hooks() {
    tolvane::run_hooks hooks;
    hooks.console_fd = -1;
    return hooks;
}

// Text with enough repetition that the learning loop finds pairs occurring at
// least MIN_MERGE_COUNT times: plain words, accents as combining marks,
// emoji sequences, a flag, CR LF, a chat marker, and scripts without spaces.
inline std::string training_sample() {
    const std::string_view line =
        "the cat sat on the mat; the rat ate the hat. "
        "cafe\xCC\x81 na\xC3\xAFve \xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB "
        "\xF0\x9F\x87\xB3\xF0\x9F\x87\xB4 <|im_start|>user\r\n"
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xD0\xBC\xD0\xB8\xD1\x80 "
        "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87<|im_end|>\n";
    std::string text;
    for (int k = 0; k < 24; ++k) text += line;
    return text;
}

// A model as a training run over one chunk of `text` leaves it.
inline tolvane::Data trained_model(std::string_view text) {
    tolvane::Data data;
    tolvane::register_oov(data);
    tolvane::token_sequence tokens = tolvane::tokenize_chunk(data, text);
    tolvane::learn_merges(data, std::move(tokens), false, -1, quiet_hooks());
    return data;
}

// What training guarantees about a model it built: every grapheme's text is
// the grapheme itself, every merged token's text is its pair's texts joined,
// and ids are handed out densely, so lookup holds exactly one entry per
// grapheme (the "oov" key counting for id 0) and one per merge.
inline void check_trained_invariants(const tolvane::Data& data) {
    FUZZ_CHECK(data.lookup.size() == data.unicode_lookup.size() + data.merges.size());
    for (const auto& [grapheme, id] : data.unicode_lookup) {
        const std::string* text = data.lookup.find(id);
        FUZZ_CHECK(text != nullptr);
        FUZZ_CHECK(*text == (grapheme == "oov" ? std::string{} : grapheme));
    }
    for (const auto& [pair, merged] : data.merges) {
        const std::string* left = data.lookup.find(pair.left);
        const std::string* right = data.lookup.find(pair.right);
        const std::string* joined = data.lookup.find(merged);
        FUZZ_CHECK(left && right && joined);
        FUZZ_CHECK(*joined == *left + *right);
    }
}

// The text that decoding the encoding of `text` must give: every grapheme the
// model knows, in order; unknown ones become the out-of-vocabulary token,
// whose text is empty.
inline std::string known_graphemes(const tolvane::Data& data, std::string_view text) {
    std::string out;
    tolvane::for_each_grapheme(text, [&](std::string_view g) {
        if (tolvane::find_grapheme(data.unicode_lookup, g)) out += g;
    });
    return out;
}

}  // namespace tolvane_fuzz
