#include "persist/extras.hpp"

#include <array>
#include <set>
#include <unordered_map>

#include "model/utf8.hpp"

namespace tolvane {

namespace {

constexpr std::uint8_t FLAG_BYTE_FALLBACK = 1;
constexpr std::size_t HEAD_SIZE = 8 + 4 + 8;  // magic, version, body length
constexpr std::size_t CRC_SIZE = 4;

void put(std::string& out, std::uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

void put_text(std::string& out, std::string_view s) {
    put(out, s.size(), 8);
    out.append(s);
}

// Reads the body; every read is checked against what is left of it.
class body_reader {
public:
    explicit body_reader(std::string_view body) : rest{body} {}
    bool done() const { return rest.empty(); }

    std::optional<std::uint64_t> number(int bytes) {
        if (rest.size() < static_cast<std::size_t>(bytes)) return std::nullopt;
        std::uint64_t v = 0;
        for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(rest[k]);
        rest.remove_prefix(bytes);
        return v;
    }
    std::optional<std::string_view> text() {
        auto n = number(8);
        if (!n || *n > rest.size()) return std::nullopt;
        auto out = rest.substr(0, static_cast<std::size_t>(*n));
        rest.remove_prefix(out.size());
        return out;
    }

private:
    std::string_view rest;
};

std::uint64_t read_le(std::string_view bytes) {
    std::uint64_t v = 0;
    for (std::size_t k = bytes.size(); k-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[k]);
    return v;
}

std::string damaged(const std::string& what) { return "damaged extension block: " + what; }

// Skips one length-prefixed string of a map known to be whole.
std::size_t skip_text(std::string_view file, std::size_t at) {
    return at + 8 + static_cast<std::size_t>(read_le(file.substr(at, 8)));
}

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (char ch : bytes) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string serialize_extras(const model_extras& extras) {
    if (extras.empty()) return {};
    std::string body;
    put(body, extras.byte_base ? FLAG_BYTE_FALLBACK : 0, 1);
    put(body, extras.byte_base.value_or(0), 2);
    put(body, extras.specials.size(), 4);
    for (const auto& special : extras.specials) {
        put(body, special.id, 2);
        put_text(body, special.text);
    }
    put_text(body, extras.trainer_options);

    std::string out{EXTRAS_MAGIC};
    put(out, EXTRAS_VERSION, 4);
    put(out, body.size(), 8);
    out += body;
    put(out, crc32(out), 4);
    return out;
}

std::size_t model_maps_end(std::string_view file) {
    std::size_t at = 0;
    const std::uint64_t tokens = read_le(file.substr(at, 8));
    at += 8;
    for (std::uint64_t k = 0; k < tokens; ++k) at = skip_text(file, at + 2);
    const std::uint64_t merges = read_le(file.substr(at, 8));
    at += 8 + 6 * static_cast<std::size_t>(merges);
    const std::uint64_t graphemes = read_le(file.substr(at, 8));
    at += 8;
    for (std::uint64_t k = 0; k < graphemes; ++k) at = skip_text(file, at) + 2;
    return at;
}

std::variant<model_extras, std::string> parse_extras(std::string_view tail) {
    // What follows the maps is a block only if it starts as one; a cut that
    // leaves part of the magic is a damaged block, not an old file.
    const std::size_t shown = std::min(tail.size(), EXTRAS_MAGIC.size());
    if (tail.empty() || tail.substr(0, shown) != EXTRAS_MAGIC.substr(0, shown)) return model_extras{};
    if (tail.size() < HEAD_SIZE + CRC_SIZE)
        return damaged("it is cut short (" + std::to_string(tail.size()) + " bytes)");
    const auto version = static_cast<std::uint32_t>(read_le(tail.substr(8, 4)));
    if (version != EXTRAS_VERSION)
        return "the extension block has version " + std::to_string(version) +
               "; this tolvane_tools reads version " + std::to_string(EXTRAS_VERSION) +
               " (a later tolvane_tools wrote the file)";
    const std::uint64_t body_size = read_le(tail.substr(12, 8));
    if (body_size != tail.size() - HEAD_SIZE - CRC_SIZE)
        return damaged("its body is said to be " + std::to_string(body_size) + " bytes, but " +
                       std::to_string(tail.size() - HEAD_SIZE) + " bytes follow its head");
    const std::size_t crc_at = HEAD_SIZE + static_cast<std::size_t>(body_size);
    if (crc32(tail.substr(0, crc_at)) != static_cast<std::uint32_t>(read_le(tail.substr(crc_at, 4))))
        return damaged("its checksum does not match");

    body_reader in{tail.substr(HEAD_SIZE, static_cast<std::size_t>(body_size))};
    const std::string cut = damaged("its body ends early");
    model_extras extras;
    auto flags = in.number(1);
    auto byte_base = in.number(2);
    auto specials = in.number(4);
    if (!flags || !byte_base || !specials) return cut;
    if (*flags & ~std::uint64_t{FLAG_BYTE_FALLBACK})
        return damaged("unknown flags " + std::to_string(*flags));
    if (*flags & FLAG_BYTE_FALLBACK) {
        if (*byte_base > 65536 - 256)
            return damaged("the byte tokens would start at " + std::to_string(*byte_base) +
                           ", past the last id");
        extras.byte_base = static_cast<token_id>(*byte_base);
    }
    for (std::uint64_t k = 0; k < *specials; ++k) {
        auto id = in.number(2);
        if (!id) return cut;
        auto text = in.text();
        if (!text) return cut;
        if (check_utf8(*text)) return damaged("special token " + std::to_string(k) + " is not UTF-8");
        extras.specials.push_back({std::string(*text), static_cast<token_id>(*id)});
    }
    auto options = in.text();
    if (!options) return cut;
    if (check_utf8(*options)) return damaged("the trainer's options are not UTF-8");
    extras.trainer_options = std::string(*options);
    if (!in.done()) return damaged("unread bytes at the end of its body");
    return extras;
}

std::optional<std::string> check_extras(const Data& data, const model_extras& extras) {
    auto text_of = [&](token_id id) { return data.lookup.find(id); };
    std::unordered_map<token_id, std::string_view> grapheme_of;  // id -> a key that names it
    for (const auto& [key, id] : data.unicode_lookup) grapheme_of.emplace(id, key);
    // Ids no merge may touch: a special, a high byte token, "oov".
    std::set<token_id> apart;
    if (const token_id* oov = find_grapheme(data.unicode_lookup, "oov")) apart.insert(*oov);

    std::set<std::string_view> spellings;
    std::set<token_id> special_ids;
    for (const auto& special : extras.specials) {
        const std::string name = "special token \"" + special.text + "\"";
        if (special.text.empty()) return damaged("a special token is empty");
        if (!spellings.insert(special.text).second) return damaged(name + " is listed twice");
        if (!special_ids.insert(special.id).second)
            return damaged("id " + std::to_string(special.id) + " is given to two special tokens");
        const std::string* text = text_of(special.id);
        if (!text || *text != special.text)
            return damaged(name + " is not the text of its id " + std::to_string(special.id));
        if (grapheme_of.contains(special.id))
            return damaged(name + " (id " + std::to_string(special.id) + ") is also a grapheme");
        apart.insert(special.id);
    }
    if (extras.byte_base) {
        if (!find_grapheme(data.unicode_lookup, "oov"))
            return damaged("byte fallback needs the model's \"oov\" token");
        for (unsigned b = 0; b < 256; ++b) {
            const auto id = static_cast<token_id>(*extras.byte_base + b);
            const std::string byte(1, static_cast<char>(b));
            const std::string* text = text_of(id);
            if (!text || *text != byte)
                return damaged("token " + std::to_string(id) + " is not the byte " + std::to_string(b));
            if (special_ids.contains(id))
                return damaged("token " + std::to_string(id) + " is both a byte and a special token");
            if (b < 0x80) {
                const token_id* grapheme = find_grapheme(data.unicode_lookup, byte);
                if (!grapheme || *grapheme != id)
                    return damaged("the byte token " + std::to_string(id) + " of ASCII " +
                                   std::to_string(b) + " is not that character's grapheme");
            } else {
                if (grapheme_of.contains(id))
                    return damaged("the high byte token " + std::to_string(id) + " is also a grapheme");
                apart.insert(id);
            }
        }
    }
    for (const auto& [pair, merged] : data.merges)
        for (token_id id : {pair.left, pair.right, merged})
            if (apart.contains(id))
                return damaged("a merge uses token " + std::to_string(id) +
                               ", which is a special token, a high byte or \"oov\"");
    return std::nullopt;
}

std::variant<model_with_extras, model_read_error> deserialize_model_with_extras(std::string_view bytes) {
    auto parsed = deserialize_model(bytes);
    if (auto* error = std::get_if<model_read_error>(&parsed)) return std::move(*error);
    model_with_extras out{std::move(std::get<Data>(parsed)), {}};
    auto extras = parse_extras(bytes.substr(model_maps_end(bytes)));
    if (auto* error = std::get_if<std::string>(&extras))
        return model_read_error{model_read_error::kind::extension, std::move(*error)};
    out.extras = std::move(std::get<model_extras>(extras));
    if (!out.extras.empty())
        if (auto misfit = check_extras(out.data, out.extras))
            return model_read_error{model_read_error::kind::extension, std::move(*misfit)};
    return out;
}

std::string serialize_model_with_extras(const Data& data, const model_extras& extras) {
    return serialize_model(data) + serialize_extras(extras);
}

}  // namespace tolvane
