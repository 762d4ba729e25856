// Decoding arbitrary id sequences against loaded models: one trained by the
// system, and one whose texts are pieces of UTF-8 and stray bytes, with
// gaps in its ids, as a hand-made or damaged file may hold. Any id sequence
// must give valid text equal to the lossy reading of the joined token texts,
// or fail with the decoder's message exactly when an id is not in the model.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "encoding/decode.hpp"
#include "model/failure.hpp"
#include "model/utf8.hpp"
#include "persist/model_file.hpp"

using namespace tolvane;

namespace {

// Through the file format, as load_from_file hands models to decode.
Data reloaded(const Data& data) {
    auto result = deserialize_model(serialize_model(data));
    FUZZ_CHECK(std::holds_alternative<Data>(result));
    return std::get<Data>(std::move(result));
}

Data pieces_model() {
    Data data;
    const char* texts[] = {"", "\xE2\x82", "\xAC", "\xFF", "a", "\xF0\x9F", "\x98\x80", "\xC3",
                           "\xED\xA0\x80", "e\xCC\x81", "\xC0\xAF", "\xF4\x90\x80\x80"};
    token_id id = 0;
    for (const char* text : texts) {
        data.lookup.insert_or_assign(id, text);
        id += id % 3 == 2 ? 7 : 1;  // leave gaps
    }
    data.lookup.insert_or_assign(65535, "\xE2");
    return reloaded(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const Data trained = reloaded(tolvane_fuzz::trained_model(tolvane_fuzz::training_sample()));
    static const Data pieces = pieces_model();
    if (size == 0) return 0;

    // The first byte picks the model; the rest are little-endian ids. Ids
    // beyond the trained vocabulary are folded into it most of the time, so
    // most inputs decode instead of failing at their first id.
    const bool use_trained = bytes[0] & 1;
    const Data& model = use_trained ? trained : pieces;
    const bool fold = use_trained && (bytes[0] & 2);
    std::vector<token_id> ids;
    for (std::size_t k = 1; k + 1 < size; k += 2) {
        token_id id = static_cast<token_id>(bytes[k] | (bytes[k + 1] << 8));
        if (fold) id = static_cast<token_id>(id % model.lookup.size());
        ids.push_back(id);
    }

    std::string joined;
    bool all_known = true;
    for (token_id id : ids) {
        const std::string* text = model.lookup.find(id);
        if (!text) {
            all_known = false;
            break;
        }
        joined += *text;
    }

    try {
        const std::string text = decode_tokens(model, ids);
        FUZZ_CHECK(all_known);
        FUZZ_CHECK(text == decode_utf8_lossy(joined));
        FUZZ_CHECK(tolvane_fuzz::reference_utf8(text).valid);
    } catch (const failure& f) {
        FUZZ_CHECK(!all_known);
        FUZZ_CHECK(f.message.rfind("This should not happend", 0) == 0);
    }
    return 0;
}
