#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <utf8proc.h>

#include "model/grapheme.hpp"

using namespace tolvane;

namespace {

std::string unicode_dir() {
    const char* dir = std::getenv("TOLVANE_UNICODE_DIR");
    return dir ? dir : "/usr/share/unicode";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void append_utf8(std::string& out, std::int32_t cp) {
    utf8proc_uint8_t buf[4];
    auto n = utf8proc_encode_char(cp, buf);
    out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

std::string utf8_of(std::initializer_list<std::int32_t> cps) {
    std::string s;
    for (auto cp : cps) append_utf8(s, cp);
    return s;
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        utf8proc_int32_t cp;
        auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + i),
                                  static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
        if (n <= 0) return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> out;
    for_each_grapheme(text, [&](std::string_view g) { out.emplace_back(g); });
    return out;
}

// Grapheme end offsets by the chosen splitter.
template <class End>
std::vector<std::size_t> ends(std::string_view text, End end_of) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t e = end_of(text, i);
        if (e <= i || e > text.size()) {
            ADD_FAILURE() << "grapheme end " << e << " from " << i;
            break;
        }
        out.push_back(e);
        i = e;
    }
    return out;
}

void expect_same_boundaries(std::string_view text, const std::string& what) {
    EXPECT_EQ(ends(text, grapheme_end), ends(text, grapheme_end_reference)) << what;
}

}  // namespace

// The official conformance data of the Unicode version in use. Each line is a
// code point sequence with ÷ (break) and × (no break) between them.
TEST(GraphemeSplit, PassesEveryLineOfTheBreakTest) {
    std::ifstream in(unicode_dir() + "/auxiliary/GraphemeBreakTest.txt");
    ASSERT_TRUE(in) << "cannot read GraphemeBreakTest.txt under " << unicode_dir();
    std::string line;
    int cases = 0;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string text;
        std::vector<std::size_t> want;
        std::string field;
        while (fields >> field) {
            if (field == "\xC3\xB7") {  // ÷
                if (!text.empty()) want.push_back(text.size());
            } else if (field != "\xC3\x97") {  // ×
                append_utf8(text, static_cast<std::int32_t>(std::stoul(field, nullptr, 16)));
            }
        }
        if (text.empty()) continue;
        ++cases;
        EXPECT_EQ(ends(text, grapheme_end), want) << line;
        EXPECT_EQ(ends(text, grapheme_end_reference), want) << line;
    }
    EXPECT_GT(cases, 600);
}

TEST(GraphemeSplit, EveryEmojiTestSequenceIsOneGrapheme) {
    std::ifstream in(unicode_dir() + "/emoji/emoji-test.txt");
    ASSERT_TRUE(in);
    std::string line;
    int sequences = 0;
    while (std::getline(in, line)) {
        auto semi = line.find(';');
        if (line.empty() || line[0] == '#' || semi == std::string::npos) continue;
        std::istringstream cps(line.substr(0, semi));
        std::string text, hex;
        while (cps >> hex) append_utf8(text, static_cast<std::int32_t>(std::stoul(hex, nullptr, 16)));
        ++sequences;
        EXPECT_EQ(split(text), std::vector<std::string>{text}) << line;
        // Between line feeds, which always break, it still stands alone.
        EXPECT_EQ(split("\n" + text + "\n"), (std::vector<std::string>{"\n", text, "\n"})) << line;
    }
    EXPECT_GT(sequences, 4000);
}

// The conformance file covers the generic rules; these are the cases the
// rest of the system leans on, and the conjunct rule this split must not apply.
TEST(GraphemeSplit, ClustersThatTrainingAndEncodingRelyOn) {
    struct row {
        std::string text;
        std::vector<std::string> want;
    };
    const std::string acute = utf8_of({0x301});
    const std::vector<row> rows = {
        {"^" + acute + "^", {"^" + acute, "^"}},
        {"\r\r\n\n", {"\r", "\r\n", "\n"}},
        {"\t" + acute, {"\t", acute}},
        // No conjunct rule: virama then consonant is a break.
        {utf8_of({0x915, 0x94D, 0x915}), {utf8_of({0x915, 0x94D}), utf8_of({0x915})}},
        {"oov", {"o", "o", "v"}},
    };
    for (const auto& r : rows) EXPECT_EQ(split(r.text), r.want);
}

TEST(GraphemeSplit, TruncatedSequenceStaysInsideTheText) {
    // Not produced by any caller, but the split must still cover the text
    // exactly and never step past its end.
    for (std::string text : {"a\xE2\x82", "\xF0\x9F", "\xC3", "x\xF0\x9F\x98"}) {
        std::string joined;
        for (const auto& g : split(text)) joined += g;
        EXPECT_EQ(joined, text);
    }
}

TEST(GraphemeSplit, AsciiShortcutMatchesFullRulesOnRandomText) {
    // Weighted toward characters that interact with ASCII and with each other.
    const std::vector<std::int32_t> pool = {
        'a', 'Z', ' ', '^', '\r', '\n', '\t', 0x7F, 0x0301, 0x0308, 0x200D, 0x200C, 0xFE0F,
        0x093F, 0x0903, 0x0600, 0x0915, 0x094D, 0x1100, 0x1161, 0x11A8, 0xAC00, 0xAC01,
        0x1F1E6, 0x1F1E7, 0x1F600, 0x1F3FB, 0x2764, 0x1F468, 0xFFFD, 0x00E9, 0x0085, 0xE0061};
    std::mt19937 rng(2024);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int n = 1 + static_cast<int>(rng() % 64);
        for (int i = 0; i < n; ++i) {
            // Half the time plain ASCII, so the shortcut is taken often.
            std::int32_t cp = rng() % 2 ? static_cast<std::int32_t>(rng() % 128)
                                        : pool[rng() % pool.size()];
            append_utf8(text, cp);
        }
        expect_same_boundaries(text, "round " + std::to_string(round));
        if (HasFailure()) break;
    }
}

TEST(GraphemeSplit, AsciiShortcutMatchesFullRulesOnRealText) {
    const std::vector<std::string> files = {
        unicode_dir() + "/emoji/emoji-test.txt",
        unicode_dir() + "/emoji/emoji-zwj-sequences.txt",
        unicode_dir() + "/auxiliary/GraphemeBreakTest.html",
        unicode_dir() + "/auxiliary/WordBreakTest.html",
        "/usr/share/X11/locale/en_US.UTF-8/Compose",
    };
    int used = 0;
    for (const auto& path : files) {
        std::string text = read_file(path);
        if (text.empty() || !valid_utf8(text)) continue;
        ++used;
        expect_same_boundaries(text, path);
        std::string joined;
        for (const auto& g : split(text)) joined += g;
        EXPECT_EQ(joined, text) << path;
    }
    EXPECT_GE(used, 2);
}
