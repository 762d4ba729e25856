// The path that any training text or encoded string takes: lossy UTF-8
// decoding, the grapheme split, turning a chunk into tokens, learning from it,
// and encoding against a small trained model. Arbitrary bytes must come out
// as valid text, split into pieces that rebuild it, and round-trip through
// the model; the shipped shortcuts must agree with their references.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "model/failure.hpp"
#include "model/grapheme.hpp"
#include "learning/merge_learning.hpp"
#include "model/pretokenize.hpp"
#include "model/utf8.hpp"

using namespace tolvane;
using tolvane_fuzz::reference_utf8;

namespace {

// The references recount the whole sequence at every step (learning up to 700
// times); past these sizes an input slows every other input down without
// reaching new code.
constexpr std::size_t LITERAL_LIMIT = 1024;
constexpr std::size_t LEARN_LIMIT = 512;

void check_utf8_agrees(std::string_view raw) {
    const auto verdict = reference_utf8(raw);
    const auto error = check_utf8(raw);
    FUZZ_CHECK(verdict.valid == !error.has_value());
    if (error) {
        FUZZ_CHECK(error->valid_up_to == verdict.valid_up_to);
        FUZZ_CHECK(error->error_len == verdict.error_len);
    }
}

void check_split(std::string_view text) {
    std::size_t pieces = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t end = grapheme_end(text, i);
        FUZZ_CHECK(end > i && end <= text.size());
        FUZZ_CHECK(end == grapheme_end_reference(text, i));
        i = end;
        ++pieces;
    }
    std::string joined;
    std::size_t seen = 0;
    for_each_grapheme(text, [&](std::string_view g) {
        FUZZ_CHECK(!g.empty());
        joined += g;
        ++seen;
    });
    FUZZ_CHECK(joined == text && seen == pieces);
}

void check_encode(const Data& model, std::string_view text) {
    const token_sequence ids = encode(model, text);
    if (text.size() <= LITERAL_LIMIT) FUZZ_CHECK(ids == encode_literal(model, text));
    FUZZ_CHECK(decode_tokens(model, ids) == tolvane_fuzz::known_graphemes(model, text));
}

// Extends a copy of the model as a chunk of training would, then checks that
// the model is still one training could have built and that it encodes the
// chunk back to its text.
void check_training_step(const Data& model, std::string_view text) {
    Data data = model;
    register_oov(data);
    token_sequence tokens = tokenize_chunk(data, text);
    const std::string reduced = replace_markers(text);
    FUZZ_CHECK(decode_tokens(data, tokens) == reduced);
    tolvane_fuzz::check_trained_invariants(data);
    if (text.size() > LEARN_LIMIT) return;

    tokens = apply_learned_merges(data, std::move(tokens), tolvane_fuzz::quiet_hooks());
    FUZZ_CHECK(decode_tokens(data, tokens) == reduced);
    learn_merges(data, std::move(tokens), false, -1, tolvane_fuzz::quiet_hooks());
    tolvane_fuzz::check_trained_invariants(data);
    check_encode(data, reduced);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const Data model = tolvane_fuzz::trained_model(tolvane_fuzz::training_sample());
    const std::string_view raw{reinterpret_cast<const char*>(bytes), size};

    check_utf8_agrees(raw);
    const std::string text = decode_utf8_lossy(raw);
    FUZZ_CHECK(reference_utf8(text).valid);
    if (reference_utf8(raw).valid) FUZZ_CHECK(text == raw);
    // Each maximal bad piece becomes three bytes of U+FFFD, never more.
    FUZZ_CHECK(text.size() <= 3 * raw.size());

    try {
        check_split(text);
        check_encode(model, text);
        check_training_step(model, text);
    } catch (const failure& f) {
        // A well-formed model and valid text leave no failure to report.
        std::fprintf(stderr, "unexpected failure: %s (%s:%u)\n", f.message.c_str(),
                     f.where.file_name(), static_cast<unsigned>(f.where.line()));
        FUZZ_CHECK(!"the text path failed on a well-formed model");
    }
    return 0;
}
