#include "persist/model_file.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/utf8.hpp"

namespace tolvane {

namespace {

// Reservation caps: 1 MiB divided by the in-memory size of one entry, so a
// corrupt or hostile count or length claims about 1 MiB per map or text
// before the data behind it runs out; past them, storage grows as entries
// actually arrive.
constexpr std::uint64_t LOOKUP_RESERVE_CAP = 32'768;
constexpr std::uint64_t MERGES_RESERVE_CAP = 174'762;
constexpr std::uint64_t GRAPHEMES_RESERVE_CAP = 32'768;

// ---- writing ---------------------------------------------------------------

class byte_writer {
public:
    explicit byte_writer(std::string& out) : next{out.data()} {}
    void u16(std::uint16_t v) {
        *next++ = static_cast<char>(v & 0xFF);
        *next++ = static_cast<char>(v >> 8);
    }
    void u64(std::uint64_t v) {
        for (int shift = 0; shift < 64; shift += 8) *next++ = static_cast<char>((v >> shift) & 0xFF);
    }
    void text(std::string_view s) {
        u64(s.size());
        std::copy(s.begin(), s.end(), next);
        next += s.size();
    }

private:
    char* next;
};

// Merges by merged id, then by pair: a loaded model may hold two pairs with
// one merged id, and the file must still come out the same every time.
std::vector<std::pair<token_pair, token_id>> merges_in_file_order(const merge_table& merges) {
    std::vector<std::pair<token_pair, token_id>> out(merges.begin(), merges.end());
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        if (a.second != b.second) return a.second < b.second;
        return pair_key(a.first) < pair_key(b.first);
    });
    return out;
}

// Graphemes by id, then by key bytes (a loaded model may share an id).
std::vector<const grapheme_table::value_type*> graphemes_in_file_order(const grapheme_table& table) {
    std::vector<const grapheme_table::value_type*> out;
    out.reserve(table.size());
    for (const auto& entry : table) out.push_back(&entry);
    std::sort(out.begin(), out.end(), [](const auto* a, const auto* b) {
        if (a->second != b->second) return a->second < b->second;
        return a->first < b->first;
    });
    return out;
}

// ---- reading ---------------------------------------------------------------

std::string bytes_count(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// Ends a parse; caught once in deserialize_model.
struct read_stop {
    model_read_error error;
};

class byte_reader {
public:
    explicit byte_reader(std::string_view bytes) : all{bytes}, rest{bytes} {}

    std::size_t offset() const { return all.size() - rest.size(); }
    std::size_t left() const { return rest.size(); }

    std::uint16_t u16(const char* what) {
        need(2, what);
        const auto* p = reinterpret_cast<const unsigned char*>(rest.data());
        rest.remove_prefix(2);
        return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    }
    std::uint64_t u64(const char* what) {
        need(8, what);
        const auto* p = reinterpret_cast<const unsigned char*>(rest.data());
        std::uint64_t v = 0;
        for (int k = 7; k >= 0; --k) v = (v << 8) | p[k];
        rest.remove_prefix(8);
        return v;
    }
    // n bytes, only after they are known to be there: the comparison is with
    // what remains, so a length near 2^64 neither overflows nor allocates.
    std::string_view bytes(std::uint64_t n) {
        auto out = rest.substr(0, static_cast<std::size_t>(n));
        rest.remove_prefix(out.size());
        return out;
    }

    [[noreturn]] void short_input(std::string detail) const {
        throw read_stop{{model_read_error::kind::short_input,
                         "short input: the model file ends early at offset " + std::to_string(offset()) +
                             " (" + std::move(detail) + ")"}};
    }

private:
    void need(std::size_t n, const char* what) const {
        if (rest.size() < n)
            short_input(std::string(what) + " needs " + bytes_count(n) + ", " +
                        bytes_count(rest.size()) + " left");
    }

    std::string_view all;
    std::string_view rest;
};

void read_lookup(byte_reader& in, token_lookup& lookup) {
    const std::uint64_t count = in.u64("the entry count of the token texts");
    lookup.reserve(static_cast<std::size_t>(std::min(count, LOOKUP_RESERVE_CAP)));
    for (std::uint64_t k = 0; k < count; ++k) {
        const token_id id = in.u16("a token id");
        const std::uint64_t n = in.u64("the length of a token text");
        // The text is needed byte by byte; a text that runs past the end
        // fails at its first missing byte, which is the same failure as
        // failing now, before anything is reserved for it.
        if (n > in.left())
            in.short_input("a token text of " + bytes_count(n) + ", " + bytes_count(in.left()) + " left");
        lookup.insert_or_assign(id, std::string(in.bytes(n)));
    }
}

void read_merges(byte_reader& in, merge_table& merges) {
    const std::uint64_t count = in.u64("the entry count of the merges");
    merges.reserve(static_cast<std::size_t>(std::min(count, MERGES_RESERVE_CAP)));
    for (std::uint64_t k = 0; k < count; ++k) {
        const token_id left = in.u16("the left id of a merge");
        const token_id right = in.u16("the right id of a merge");
        const token_id merged = in.u16("the merged id of a merge");
        merges.insert_or_assign(token_pair{left, right}, merged);
    }
}

[[noreturn]] void invalid_key(std::size_t at, const utf8_error& e) {
    std::string d = "invalid text: the grapheme key at offset " + std::to_string(at) +
                    " is not valid UTF-8: " + bytes_count(e.valid_up_to) + " valid at its start, then ";
    if (e.error_len)
        d += "an invalid sequence of " + bytes_count(*e.error_len);
    else
        d += "an incomplete sequence at the end of the key";
    throw read_stop{{model_read_error::kind::invalid_text, std::move(d)}};
}

void read_graphemes(byte_reader& in, grapheme_table& table) {
    const std::uint64_t count = in.u64("the entry count of the graphemes");
    table.reserve(static_cast<std::size_t>(std::min(count, GRAPHEMES_RESERVE_CAP)));
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t n = in.u64("the length of a grapheme key");
        if (n > in.left())
            throw read_stop{{model_read_error::kind::short_string,
                             "short string: the model file ends early, inside a grapheme key of " +
                                 bytes_count(n) + " at offset " + std::to_string(in.offset()) + " (" +
                                 bytes_count(in.left()) + " left)"}};
        const std::size_t at = in.offset();
        const std::string_view key = in.bytes(n);
        if (auto e = check_utf8(key)) invalid_key(at, *e);
        const token_id id = in.u16("the id of a grapheme");
        table.insert_or_assign(std::string(key), id);
    }
}

}  // namespace

std::string serialize_model(const Data& data) {
    // Stage 1: the exact size, so the content is built in one allocation.
    std::size_t size = 3 * 8;
    data.lookup.for_each([&](token_id, const std::string& text) { size += 2 + 8 + text.size(); });
    size += 6 * data.merges.size();
    for (const auto& [key, id] : data.unicode_lookup) size += 8 + key.size() + 2;

    // Stage 2: the three maps in file order, each in ascending id order.
    std::string out(size, '\0');
    byte_writer w{out};
    w.u64(data.lookup.size());
    data.lookup.for_each([&](token_id id, const std::string& text) {
        w.u16(id);
        w.text(text);
    });
    w.u64(data.merges.size());
    for (const auto& [pair, merged] : merges_in_file_order(data.merges)) {
        w.u16(pair.left);
        w.u16(pair.right);
        w.u16(merged);
    }
    w.u64(data.unicode_lookup.size());
    for (const auto* entry : graphemes_in_file_order(data.unicode_lookup)) {
        w.text(entry->first);
        w.u16(entry->second);
    }
    return out;
}

std::variant<Data, model_read_error> deserialize_model(std::string_view bytes) {
    Data data;
    byte_reader in{bytes};
    try {
        read_lookup(in, data.lookup);
        read_merges(in, data.merges);
        read_graphemes(in, data.unicode_lookup);
    } catch (read_stop& stop) {
        return std::move(stop.error);
    }
    // Whatever follows the third map is not part of the model.
    return data;
}

}  // namespace tolvane
