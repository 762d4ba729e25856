// The model reader on arbitrary bytes: a downloaded model file is untrusted
// input. Every input must either load or be refused with one of the three
// reader errors, exactly as a second, deliberately plain reader decides; a
// loaded model must write back canonically and read again unchanged, and must
// survive being used (listed, decoded, encoded, trained on) without a crash.
// The same bytes read with a trainer model's extension block: refused only for
// what the maps' reader refuses or for the block itself; what loads writes back
// to bytes that read again unchanged, and encodes with its special tokens and
// byte fallback without a crash.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "fuzz_support.hpp"
#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "model/failure.hpp"
#include "learning/merge_learning.hpp"
#include "model/pretokenize.hpp"
#include "encoding/tokenizer.hpp"
#include "persist/extras.hpp"
#include "persist/model_file.hpp"

using namespace tolvane;
using tolvane_fuzz::reference_utf8;

namespace {

struct plain_model {
    std::map<token_id, std::string> lookup;
    std::map<std::pair<token_id, token_id>, token_id> merges;
    std::map<std::string, token_id> unicode_lookup;
};

using plain_result = std::variant<plain_model, model_read_error::kind>;

// The file layout read with no cleverness at all: every field checked
// against what remains before it is taken; later entries replace earlier ones.
class plain_reader {
public:
    explicit plain_reader(std::string_view b) : rest{b} {}

    plain_result read() {
        plain_model m;
        std::uint64_t count;
        if (!u64(count)) return model_read_error::kind::short_input;
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint16_t id;
            std::uint64_t n;
            if (!u16(id) || !u64(n) || n > rest.size()) return model_read_error::kind::short_input;
            m.lookup[id] = std::string(take(n));
        }
        if (!u64(count)) return model_read_error::kind::short_input;
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint16_t l, r, merged;
            if (!u16(l) || !u16(r) || !u16(merged)) return model_read_error::kind::short_input;
            m.merges[{l, r}] = merged;
        }
        if (!u64(count)) return model_read_error::kind::short_input;
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint64_t n;
            if (!u64(n)) return model_read_error::kind::short_input;
            if (n > rest.size()) return model_read_error::kind::short_string;
            std::string key(take(n));
            if (!reference_utf8(key).valid) return model_read_error::kind::invalid_text;
            std::uint16_t id;
            if (!u16(id)) return model_read_error::kind::short_input;
            m.unicode_lookup[key] = id;
        }
        return m;
    }

private:
    bool u16(std::uint16_t& v) {
        std::uint64_t w;
        if (!little_endian(2, w)) return false;
        v = static_cast<std::uint16_t>(w);
        return true;
    }
    bool u64(std::uint64_t& v) { return little_endian(8, v); }
    bool little_endian(std::size_t width, std::uint64_t& v) {
        if (rest.size() < width) return false;
        v = 0;
        for (std::size_t k = width; k-- > 0;) v = (v << 8) | static_cast<unsigned char>(rest[k]);
        rest.remove_prefix(width);
        return true;
    }
    std::string_view take(std::uint64_t n) {
        std::string_view out = rest.substr(0, static_cast<std::size_t>(n));
        rest.remove_prefix(out.size());
        return out;
    }

    std::string_view rest;
};

void put(std::string& out, std::uint64_t v, int width) {
    for (int k = 0; k < width; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

// The bytes the writer must produce: lookup by id, merges by merged id then
// pair, graphemes by id then key, so one model always gives one file.
std::string canonical_bytes(const plain_model& m) {
    std::string out;
    put(out, m.lookup.size(), 8);
    for (const auto& [id, text] : m.lookup) {
        put(out, id, 2);
        put(out, text.size(), 8);
        out += text;
    }
    std::multimap<std::pair<token_id, std::uint32_t>, const void*> merges;
    for (const auto& entry : m.merges)
        merges.emplace(std::pair{entry.second, pair_key({entry.first.first, entry.first.second})}, &entry);
    put(out, merges.size(), 8);
    for (const auto& [order, _] : merges) {
        put(out, order.second >> 16, 2);
        put(out, order.second & 0xFFFF, 2);
        put(out, order.first, 2);
    }
    std::multimap<std::pair<token_id, std::string>, int> graphemes;
    for (const auto& [key, id] : m.unicode_lookup) graphemes.emplace(std::pair{id, key}, 0);
    put(out, graphemes.size(), 8);
    for (const auto& [order, _] : graphemes) {
        put(out, order.second.size(), 8);
        out += order.second;
        put(out, order.first, 2);
    }
    return out;
}

void check_same_model(const Data& data, const plain_model& m) {
    FUZZ_CHECK(data.lookup.size() == m.lookup.size());
    for (const auto& [id, text] : m.lookup) {
        const std::string* got = data.lookup.find(id);
        FUZZ_CHECK(got && *got == text);
    }
    FUZZ_CHECK(data.merges.size() == m.merges.size());
    for (const auto& [pair, merged] : m.merges) {
        const token_id* got = find_merge(data.merges, {pair.first, pair.second});
        FUZZ_CHECK(got && *got == merged);
    }
    FUZZ_CHECK(data.unicode_lookup.size() == m.unicode_lookup.size());
    for (const auto& [key, id] : m.unicode_lookup) {
        const token_id* got = find_grapheme(data.unicode_lookup, key);
        FUZZ_CHECK(got && *got == id);
    }
}

// A hostile model may break every invariant training keeps (gaps in the ids,
// merges naming missing tokens, no "oov"); using it may fail with a message,
// but never crash, hang or corrupt memory.
void use_loaded_model(Data data) {
    const std::vector<token_id> ids = vocab_ids(data);
    FUZZ_CHECK(ids.size() == data.lookup.size());
    for (std::size_t k = 1; k < ids.size(); ++k) FUZZ_CHECK(ids[k - 1] < ids[k]);
    try {
        // Every listed id is present, so decoding all of them cannot fail.
        const std::string text = decode_tokens(data, ids);
        FUZZ_CHECK(reference_utf8(text).valid);
    } catch (const failure&) {
        FUZZ_CHECK(!"decoding the model's own ids failed");
    }
    const std::string_view sample = "abababababababababababab ab\xE2\x82\xAC";
    try {
        const token_sequence fast = encode(data, sample);
        FUZZ_CHECK(fast == encode_literal(data, sample));
    } catch (const failure&) {
    }
    try {
        register_oov(data);
        token_sequence tokens = tokenize_chunk(data, sample);
        tokens = apply_learned_merges(data, std::move(tokens), tolvane_fuzz::quiet_hooks());
        learn_merges(data, std::move(tokens), false, -1, tolvane_fuzz::quiet_hooks());
    } catch (const failure&) {
    }
}

void use_extras(std::string_view input, bool maps_load) {
    auto result = deserialize_model_with_extras(input);
    if (auto* error = std::get_if<model_read_error>(&result)) {
        FUZZ_CHECK(!error->description.empty());
        FUZZ_CHECK(maps_load == (error->what == model_read_error::kind::extension));
        return;
    }
    FUZZ_CHECK(maps_load);
    auto& loaded = std::get<model_with_extras>(result);
    const std::string written = serialize_model_with_extras(loaded.data, loaded.extras);
    auto again = deserialize_model_with_extras(written);
    FUZZ_CHECK(std::holds_alternative<model_with_extras>(again));
    const auto& back = std::get<model_with_extras>(again);
    FUZZ_CHECK(serialize_model_with_extras(back.data, back.extras) == written);
    if (loaded.extras.empty()) return;

    std::string sample = "ab ab\xE2\x82\xAC\xF0\x9F\x98\x80 ab";
    for (const auto& special : loaded.extras.specials) sample += special.text + "ab";
    const tokenizer tok{std::move(loaded.data), std::move(loaded.extras)};
    special_choice every = special_choice::refuse_all(tok.specials().size());
    for (std::size_t k = 0; k < tok.specials().size(); ++k) every.set_match(k);
    for (encode_mode mode : {encode_mode::compatible, encode_mode::ranked}) {
        try {
            const token_sequence ids = tok.encode(sample, mode, &every);
            FUZZ_CHECK(tok.count(sample, mode, &every) == ids.size());
            (void)tok.decode(ids, true);
        } catch (const failure&) {
        }
        try {
            (void)tok.encode(sample, mode);  // refuses the specials the sample spells
        } catch (const failure&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view input{reinterpret_cast<const char*>(bytes), size};
    auto result = deserialize_model(input);
    plain_result expected = plain_reader{input}.read();

    if (auto* error = std::get_if<model_read_error>(&result)) {
        FUZZ_CHECK(std::holds_alternative<model_read_error::kind>(expected));
        FUZZ_CHECK(error->what == std::get<model_read_error::kind>(expected));
        FUZZ_CHECK(!error->description.empty());
        use_extras(input, false);
        return 0;
    }
    use_extras(input, true);
    FUZZ_CHECK(std::holds_alternative<plain_model>(expected));
    const plain_model& model = std::get<plain_model>(expected);
    Data& data = std::get<Data>(result);
    check_same_model(data, model);

    const std::string written = serialize_model(data);
    FUZZ_CHECK(written == canonical_bytes(model));
    auto again = deserialize_model(written);
    FUZZ_CHECK(std::holds_alternative<Data>(again));
    FUZZ_CHECK(serialize_model(std::get<Data>(again)) == written);

    use_loaded_model(std::move(data));
    return 0;
}
