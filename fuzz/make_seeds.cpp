// Writes the seed corpora of the fuzz targets, all made here by the system
// itself: models written by serialize_model (then cut short and bit-flipped),
// texts that reach the corners of decoding and the grapheme split, and id
// sequences produced by encoding. Usage: make_seeds OUTDIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "encoding/encode.hpp"
#include "model/pretokenize.hpp"
#include "persist/extras.hpp"
#include "persist/model_file.hpp"

using namespace tolvane;
namespace fs = std::filesystem;

namespace {

class corpus {
public:
    corpus(const fs::path& root, const char* target) : dir{root / target} {
        fs::create_directories(dir);
    }
    void add(std::string_view bytes) {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%04zu", count++);
        std::ofstream out(dir / name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::fprintf(stderr, "make_seeds: cannot write %s\n", (dir / name).c_str());
            std::exit(1);
        }
    }
    std::size_t size() const { return count; }

private:
    fs::path dir;
    std::size_t count = 0;
};

// Snippets that reach the corners: combining marks, joiner sequences, flags,
// CR LF, both chat markers (also cut), prepended marks, Hangul syllables,
// and every kind of ill-formed UTF-8 (stray continuation, overlong, surrogate,
// beyond U+10FFFF, cut sequence).
const std::vector<std::string> TEXTS = {
    "",
    "a",
    "hello world",
    "the cat sat on the mat; the rat ate the hat.",
    "e\xCC\x81\xCC\x81 n\xCC\x83",
    "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD",
    "\xF0\x9F\x87\xB3\xF0\x9F\x87\xB4\xF0\x9F\x87\xB8",
    "line\r\nline\n\r\r\n",
    "<|im_start|>system\nyou<|im_end|><|im_start|><|im_end|>",
    "<|im_sta<|im_end|rt|>",
    "\xD8\x80\xD9\x85 \xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87",
    "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8\xEA\xB0\x80",
    "\x80\xBF\xC0\xAF\xE0\x80\xAF\xED\xA0\x80\xF4\x90\x80\x80\xF8\x88\x80\x80\x80\xFF",
    "abc\xE2\x82",
    "\xF0\x9F\x98",
    "\xC3\xA9\xC3",
    "\x00\x01\x7F tab\tend",
};

void text_seeds(const fs::path& root) {
    corpus seeds(root, "text_path");
    for (const auto& text : TEXTS) seeds.add(text);
    seeds.add(tolvane_fuzz::training_sample().substr(0, 1500));
}

std::string flipped(std::string bytes, std::mt19937& rng) {
    std::uniform_int_distribution<std::size_t> at(0, bytes.size() - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    bytes[at(rng)] ^= static_cast<char>(1 << bit(rng));
    return bytes;
}

void model_seeds(const fs::path& root, const std::vector<std::string>& models) {
    corpus seeds(root, "model_reader");
    std::mt19937 rng(20240601);  // fixed: the same corpus on every machine
    for (const auto& model : models) {
        seeds.add(model);
        seeds.add(model + "trailing bytes");
        // Cut short everywhere in a small model, at 24 spread points in a large one.
        const std::size_t step = model.size() <= 64 ? 1 : model.size() / 24;
        for (std::size_t n = 0; n < model.size(); n += step) seeds.add(model.substr(0, n));
        for (int k = 0; k < 24 && !model.empty(); ++k) seeds.add(flipped(model, rng));
    }
}

void decode_seeds(const fs::path& root, const Data& trained) {
    corpus seeds(root, "decode");
    for (const auto& text : TEXTS) {
        const token_sequence ids = encode(trained, text);
        for (char model_choice : {'\x01', '\x03', '\x00'}) {
            std::string bytes(1, model_choice);
            for (token_id id : ids) {
                bytes.push_back(static_cast<char>(id & 0xFF));
                bytes.push_back(static_cast<char>(id >> 8));
            }
            seeds.add(bytes);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    const fs::path root = argv[1];
    const Data trained = tolvane_fuzz::trained_model(tolvane_fuzz::training_sample());

    std::vector<std::string> models;
    models.push_back(serialize_model(Data{}));
    Data tiny;
    register_oov(tiny);
    tokenize_chunk(tiny, "ab");
    models.push_back(serialize_model(tiny));
    Data raw_texts;
    raw_texts.lookup.insert_or_assign(3, "\xFF\xFE");
    raw_texts.lookup.insert_or_assign(9, "x");
    raw_texts.merges.emplace(token_pair{3, 9}, 12);
    raw_texts.unicode_lookup.emplace("x", 9);
    models.push_back(serialize_model(raw_texts));
    std::string cats;
    for (int k = 0; k < 12; ++k) cats += TEXTS[3];
    models.push_back(serialize_model(tolvane_fuzz::trained_model(cats)));
    models.push_back(serialize_model(trained));
    // A trainer model: "oov", two special tokens, the 256 byte tokens, one
    // grapheme and one merge, with its extension block.
    Data layout;
    model_extras extras;
    layout.lookup.insert_or_assign(0, "");
    layout.unicode_lookup.emplace("oov", 0);
    for (token_id id : {1, 2}) {
        const std::string text = id == 1 ? "<s>" : "<pad>";
        layout.lookup.insert_or_assign(id, text);
        extras.specials.push_back({text, id});
    }
    extras.byte_base = 3;
    for (unsigned b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        layout.lookup.insert_or_assign(static_cast<token_id>(3 + b), byte);
        if (b < 0x80) layout.unicode_lookup.emplace(byte, static_cast<token_id>(3 + b));
    }
    layout.lookup.insert_or_assign(259, "\xC3\xA9");
    layout.unicode_lookup.emplace("\xC3\xA9", 259);
    layout.lookup.insert_or_assign(260, "ab");
    layout.merges.emplace(token_pair{3 + 'a', 3 + 'b'}, 260);
    extras.trainer_options = "{\"options\":{\"vocab_size\":261}}";
    models.push_back(serialize_model_with_extras(layout, extras));

    model_seeds(root, models);
    text_seeds(root);
    decode_seeds(root, trained);
    std::printf("make_seeds: wrote seed corpora under %s\n", root.c_str());
    return 0;
}
