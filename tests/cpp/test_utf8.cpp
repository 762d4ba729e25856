#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_set>

#include "model/utf8.hpp"

using namespace tolvane;

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// A reference built from first principles: every prefix of the encoding of
// every Unicode scalar value. A byte string is a valid sequence when it is a
// whole encoding, and a maximal subpart when it is a proper prefix of one.
class reference_utf8 {
public:
    reference_utf8() {
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            const std::string e = encode(c);
            whole.insert(e);
            for (std::size_t k = 1; k < e.size(); ++k) prefixes.insert(e.substr(0, k));
        }
    }

    std::string lossy(std::string_view b) const {
        std::string out;
        std::size_t i = 0;
        while (i < b.size()) {
            std::size_t step = 0;
            for (std::size_t k = 1; k <= 4 && i + k <= b.size(); ++k)
                if (whole.count(std::string(b.substr(i, k)))) step = k;
            if (step) {
                out.append(b.substr(i, step));
                i += step;
                continue;
            }
            std::size_t part = 1;
            for (std::size_t k = 1; k <= 3 && i + k <= b.size(); ++k)
                if (prefixes.count(std::string(b.substr(i, k)))) part = k;
            out += FFFD;
            i += part;
        }
        return out;
    }

private:
    static std::string encode(char32_t c) {
        std::string s;
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
        return s;
    }
    std::unordered_set<std::string> whole, prefixes;
};

std::string random_bytes(std::mt19937& rng) {
    // Bytes at the edges of the sequence table, mixed with ASCII runs long
    // enough to cross the eight-byte fast path in both directions.
    static const unsigned char edges[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                          0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4,
                                          0xF5, 0xFF, 0x00, 0x7F, 0x61};
    std::uniform_int_distribution<int> len(0, 40), pick(0, 9), any(0, 255),
        edge(0, sizeof edges - 1), run(1, 20);
    std::string s;
    for (int n = len(rng), k = 0; k < n; ++k) {
        const int choice = pick(rng);
        if (choice < 5) s += static_cast<char>(edges[edge(rng)]);
        else if (choice < 8) s += static_cast<char>(any(rng));
        else s.append(static_cast<std::size_t>(run(rng)), 'x');
    }
    return s;
}

}  // namespace

TEST(LossyUtf8, EachMaximalSubpartBecomesOneReplacement) {
    struct row { std::string in, want; };
    const std::vector<row> rows = {
        {"", ""},
        {"plain ascii text, longer than eight bytes", "plain ascii text, longer than eight bytes"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xFF", FFFD},
        {"\xE2\x82", FFFD},                       // truncated three-byte sequence
        {"a\xE2\x82", "a" + FFFD},
        {"\xE2\x82z", FFFD + "z"},
        {"\xED\xA0\x80", FFFD + FFFD + FFFD},     // a surrogate: ED takes no A0
        {"\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},  // above U+10FFFF
        {"\xC0\xAF", FFFD + FFFD},                 // overlong
        {"\xE0\x80\x80", FFFD + FFFD + FFFD},
        {"\xF0\x9F\x98", FFFD},                    // truncated four-byte sequence
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xF0\x9F\x98" "a", FFFD + "a"},
        {"\x80\x80", FFFD + FFFD},
        {std::string("\0\x7F", 2), std::string("\0\x7F", 2)},
        {"abcdefg\xC3\xA9hijklmnop\xFF" "qrstuvwx", "abcdefg\xC3\xA9hijklmnop" + FFFD + "qrstuvwx"},
    };
    for (const auto& r : rows) EXPECT_EQ(decode_utf8_lossy(r.in), r.want) << testing::PrintToString(r.in);
}

TEST(CheckUtf8, ReportsValidPrefixAndErrorLength) {
    struct row { std::string in; bool ok; std::size_t valid; std::optional<std::size_t> len; };
    const std::vector<row> rows = {
        {"", true, 0, {}},
        {"\xC3\xA9 and \xE2\x82\xAC", true, 0, {}},
        {"\xFF", false, 0, 1},
        {"a\xE2", false, 1, std::nullopt},
        {"\xE2\x82", false, 0, std::nullopt},
        {"ab\xE2\x82z", false, 2, 2},
        {"\xED\xA0\x80", false, 0, 1},
        {"\xF0\x9F\x98z", false, 0, 3},
        {"0123456789\xC0\xAF", false, 10, 1},
        {"\xF4\x8F\xBF\xBF", true, 0, {}},
    };
    for (const auto& r : rows) {
        const auto e = check_utf8(r.in);
        ASSERT_EQ(!e, r.ok) << testing::PrintToString(r.in);
        if (!e) continue;
        EXPECT_EQ(e->valid_up_to, r.valid) << testing::PrintToString(r.in);
        EXPECT_EQ(e->error_len, r.len) << testing::PrintToString(r.in);
    }
}

TEST(LossyUtf8, AgreesWithReferenceOnRandomBytes) {
    const reference_utf8 ref;
    std::mt19937 rng(20251208);
    for (int round = 0; round < 20000; ++round) {
        const std::string in = random_bytes(rng);
        const std::string want = ref.lossy(in);
        ASSERT_EQ(decode_utf8_lossy(in), want) << testing::PrintToString(in);
        // The checker agrees: valid exactly when nothing was replaced, and the
        // valid prefix it reports survives decoding unchanged.
        const auto e = check_utf8(in);
        ASSERT_EQ(!e, want == in) << testing::PrintToString(in);
        if (e) {
            ASSERT_EQ(want.compare(0, e->valid_up_to, in, 0, e->valid_up_to), 0);
        }
    }
}
