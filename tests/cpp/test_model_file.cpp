#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>

#include "persist/model_file.hpp"

using namespace tolvane;

// Every allocation of this test program passes through here, so a test can
// assert the largest single request made while a hostile file is parsed.
// (GCC cannot see that these new and delete belong together.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::size_t largest_request = 0;
}
void* operator new(std::size_t n) {
    largest_request = std::max(largest_request, n);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc{};
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using kind = model_read_error::kind;

std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string le64(std::uint64_t v) {
    std::string s;
    for (int k = 0; k < 8; ++k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
    return s;
}
std::string le16(std::uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }

// Comparable snapshots of the three maps.
std::map<token_id, std::string> lookup_of(const Data& d) {
    std::map<token_id, std::string> m;
    d.lookup.for_each([&](token_id id, const std::string& t) { m[id] = t; });
    return m;
}
std::map<std::uint32_t, token_id> merges_of(const Data& d) {
    std::map<std::uint32_t, token_id> m;
    for (const auto& [p, id] : d.merges) m[pair_key(p)] = id;
    return m;
}
std::map<std::string, token_id> graphemes_of(const Data& d) {
    return {d.unicode_lookup.begin(), d.unicode_lookup.end()};
}

Data parse_ok(std::string_view bytes) {
    auto r = deserialize_model(bytes);
    if (auto* e = std::get_if<model_read_error>(&r)) ADD_FAILURE() << e->description;
    return std::get_if<Data>(&r) ? std::move(std::get<Data>(r)) : Data{};
}

model_read_error parse_err(std::string_view bytes) {
    auto r = deserialize_model(bytes);
    if (auto* e = std::get_if<model_read_error>(&r)) return *e;
    ADD_FAILURE() << "parsed although it should not: " << hex(bytes);
    return {kind::short_input, ""};
}

Data small_model() {
    Data d;
    d.lookup.insert_or_assign(1, "a");
    d.lookup.insert_or_assign(0, "");
    d.unicode_lookup.insert_or_assign("a", 1);
    d.unicode_lookup.insert_or_assign("oov", 0);
    return d;
}

}  // namespace

TEST(ModelFile, EmptyModelIsTwentyFourZeroBytes) {
    EXPECT_EQ(serialize_model(Data{}), std::string(24, '\0'));
    const Data d = parse_ok(std::string(24, '\0'));
    EXPECT_TRUE(d.lookup.empty());
    EXPECT_TRUE(d.merges.empty());
    EXPECT_TRUE(d.unicode_lookup.empty());
}

TEST(ModelFile, SmallModelHasExactBytesInAscendingIdOrder) {
    EXPECT_EQ(hex(serialize_model(small_model())),
              "02 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 "
              "01 00 01 00 00 00 00 00 00 00 61 "
              "00 00 00 00 00 00 00 00 "
              "02 00 00 00 00 00 00 00 "
              "03 00 00 00 00 00 00 00 6F 6F 76 00 00 "
              "01 00 00 00 00 00 00 00 61 01 00");
}

TEST(ModelFile, MergeIsSixBytesAndMergesGoByMergedId) {
    Data d;
    d.merges.insert_or_assign({5, 7}, 9);
    d.merges.insert_or_assign({1, 2}, 12);
    d.merges.insert_or_assign({3, 3}, 9);  // a loaded model may share an id: then by pair
    EXPECT_EQ(hex(serialize_model(d).substr(8, 26)),
              "03 00 00 00 00 00 00 00 "
              "03 00 03 00 09 00 05 00 07 00 09 00 01 00 02 00 0C 00");
}

TEST(ModelFile, GraphemesWithOneIdGoByKeyBytes) {
    Data d;
    d.unicode_lookup.insert_or_assign("b", 4);
    d.unicode_lookup.insert_or_assign("a", 4);
    d.unicode_lookup.insert_or_assign("c", 2);
    EXPECT_EQ(serialize_model(d).substr(16),
              le64(3) + le64(1) + "c" + le16(2) + le64(1) + "a" + le16(4) + le64(1) + "b" + le16(4));
}

TEST(ModelFile, EveryTruncationFailsWithTheRightKind) {
    Data d = small_model();
    d.lookup.insert_or_assign(2, "\xC3\xA9");
    d.unicode_lookup.insert_or_assign("\xC3\xA9", 2);
    d.unicode_lookup.insert_or_assign("", 7);
    d.merges.insert_or_assign({1, 2}, 3);
    const std::string full = serialize_model(d);

    // Where the key bytes of unicode_lookup lie: a cut inside them is a short string.
    std::vector<std::pair<std::size_t, std::size_t>> key_bytes;
    std::size_t at = 8;
    d.lookup.for_each([&](token_id, const std::string& t) { at += 10 + t.size(); });
    at += 8 + 6 * d.merges.size() + 8;
    while (at < full.size()) {
        const std::size_t n = static_cast<unsigned char>(full[at]);  // keys here are short
        key_bytes.emplace_back(at + 8, at + 8 + n);
        at += 8 + n + 2;
    }
    ASSERT_EQ(key_bytes.size(), d.unicode_lookup.size());

    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        const bool in_key = std::any_of(key_bytes.begin(), key_bytes.end(),
                                        [&](auto r) { return cut >= r.first && cut < r.second; });
        const auto e = parse_err(full.substr(0, cut));
        EXPECT_EQ(e.what, in_key ? kind::short_string : kind::short_input) << "cut at " << cut;
        EXPECT_EQ(e.description.rfind(in_key ? "short string" : "short input", 0), 0u) << e.description;
    }
    EXPECT_EQ(serialize_model(parse_ok(full)), full);
}

TEST(ModelFile, HugeCountsAndLengthsFailWithoutLargeReservations) {
    constexpr std::uint64_t HUGE_COUNT = std::uint64_t{1} << 63;
    struct row { std::string bytes; kind want; };
    const std::string empty_map = le64(0);
    const std::vector<row> rows = {
        {le64(HUGE_COUNT), kind::short_input},
        {empty_map + le64(HUGE_COUNT), kind::short_input},
        {empty_map + empty_map + le64(HUGE_COUNT), kind::short_input},
        {le64(1) + le16(1) + le64(HUGE_COUNT) + "abc", kind::short_input},
        {le64(1) + le16(1) + le64(~std::uint64_t{0}) + "abc", kind::short_input},
        {le64(1) + le16(1) + le64(100'000'000) + "abc", kind::short_input},
        {empty_map + empty_map + le64(1) + le64(~std::uint64_t{0}) + "abc", kind::short_string},
        {empty_map + empty_map + le64(1) + le64(100'000'000) + "abc", kind::short_string},
    };
    for (const auto& r : rows) {
        largest_request = 0;
        const auto e = parse_err(r.bytes);
        EXPECT_EQ(e.what, r.want) << hex(r.bytes);
        // A cap of 32,768 or 174,762 entries costs a few MiB of buckets at most.
        EXPECT_LT(largest_request, std::size_t{4} << 20) << hex(r.bytes);
    }
}

TEST(ModelFile, InvalidKeysNameTheValidPrefixAndTheSequence) {
    struct row { std::string key; std::vector<std::string> holds; };
    const std::vector<row> rows = {
        {"\xFF", {"invalid text", "0 bytes valid", "invalid sequence of 1 byte"}},
        {"a\xE2", {"invalid text", "1 byte valid", "incomplete sequence"}},
        {"ab\xED\xA0\x80", {"invalid text", "2 bytes valid", "invalid sequence of 1 byte"}},
        {"\xF0\x9F\x98z", {"invalid text", "0 bytes valid", "invalid sequence of 3 bytes"}},
    };
    for (const auto& r : rows) {
        const std::string bytes = le64(0) + le64(0) + le64(1) + le64(r.key.size()) + r.key + le16(1);
        const auto e = parse_err(bytes);
        EXPECT_EQ(e.what, kind::invalid_text) << hex(r.key);
        for (const auto& part : r.holds)
            EXPECT_NE(e.description.find(part), std::string::npos) << e.description << " lacks " << part;
    }
}

TEST(ModelFile, AcceptsWhatItDoesNotCheck) {
    // A lookup text that is not UTF-8, ids that break the model's invariants,
    // duplicates (the later entry wins) and trailing bytes.
    const std::string bytes = le64(3) + le16(9) + le64(1) + "\xFF" + le16(4) + le64(1) + "x" +
                              le16(9) + le64(2) + "yz" +
                              le64(2) + le16(1) + le16(2) + le16(40) + le16(1) + le16(2) + le16(41) +
                              le64(2) + le64(1) + "q" + le16(5) + le64(1) + "q" + le16(6) + "trailing";
    const Data d = parse_ok(bytes);
    EXPECT_EQ(lookup_of(d), (std::map<token_id, std::string>{{4, "x"}, {9, "yz"}}));
    EXPECT_EQ(merges_of(d), (std::map<std::uint32_t, token_id>{{pair_key({1, 2}), 41}}));
    EXPECT_EQ(graphemes_of(d), (std::map<std::string, token_id>{{"q", 6}}));
    EXPECT_EQ(parse_ok(le64(1) + le16(3) + le64(1) + "\xFF" + le64(0) + le64(0)).lookup.find(3)[0], "\xFF");
}

TEST(ModelFile, RandomModelsRoundTripToTheSameBytes) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255), count(0, 40), len(0, 12), id(0, 65535);
    static const char* graphemes[] = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "oov", "", "e\xCC\x81"};
    for (int round = 0; round < 200; ++round) {
        Data d;
        std::size_t text_bytes = 0, key_bytes = 0;
        for (int k = count(rng); k > 0; --k) {
            std::string t;
            for (int n = len(rng); n > 0; --n) t += static_cast<char>(byte(rng));
            d.lookup.insert_or_assign(static_cast<token_id>(round % 2 ? id(rng) : id(rng) % 64), t);
        }
        for (int k = count(rng); k > 0; --k)
            d.merges.insert_or_assign({static_cast<token_id>(id(rng)), static_cast<token_id>(id(rng))},
                                      static_cast<token_id>(id(rng) % 50));
        for (int k = count(rng); k > 0; --k) {
            std::string g;
            for (int n = len(rng) % 4; n >= 0; --n) g += graphemes[byte(rng) % 7];
            d.unicode_lookup.insert_or_assign(g, static_cast<token_id>(id(rng) % 30));
        }
        d.lookup.for_each([&](token_id, const std::string& t) { text_bytes += t.size(); });
        for (const auto& [g, i] : d.unicode_lookup) key_bytes += g.size();

        const std::string bytes = serialize_model(d);
        ASSERT_EQ(bytes.size(), 24 + 10 * d.lookup.size() + text_bytes + 6 * d.merges.size() +
                                    10 * d.unicode_lookup.size() + key_bytes);
        const Data back = parse_ok(bytes);
        ASSERT_EQ(lookup_of(back), lookup_of(d));
        ASSERT_EQ(merges_of(back), merges_of(d));
        ASSERT_EQ(graphemes_of(back), graphemes_of(d));
        ASSERT_EQ(serialize_model(back), bytes);
    }
}
