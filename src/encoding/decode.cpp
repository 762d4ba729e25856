#include "encoding/decode.hpp"

#include "model/failure.hpp"
#include "model/utf8.hpp"

namespace tolvane {

std::string decode_tokens(const Data& data, std::span<const token_id> ids) {
    // Stage 1: every id must be known, and the joined size is known with it,
    // so the texts are copied into one buffer allocated once.
    std::size_t size = 0;
    for (token_id id : ids) {
        const std::string* text = data.lookup.find(id);
        if (!text) fail_as(failure_kind::missing_key, "This should not happend");
        size += text->size();
    }
    std::string joined;
    joined.reserve(size);
    for (token_id id : ids) joined += *data.lookup.find(id);

    // Stage 2: read as UTF-8 only after joining, so a character split over two
    // tokens comes out whole. Texts made by training are valid UTF-8; then the
    // joined bytes are the result as they are.
    if (!check_utf8(joined)) return joined;
    return decode_utf8_lossy(joined);
}

std::vector<token_id> vocab_ids(const Data& data) {
    std::vector<token_id> ids;
    ids.reserve(data.lookup.size());
    data.lookup.for_each([&](token_id id, const std::string&) { ids.push_back(id); });
    return ids;
}

}  // namespace tolvane
