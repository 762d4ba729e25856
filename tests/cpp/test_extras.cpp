#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/special_tokens.hpp"
#include "model/failure.hpp"
#include "encoding/tokenizer.hpp"
#include "persist/extras.hpp"
#include "persist/model_file.hpp"

using namespace tolvane;

namespace {

// A model laid out as the trainer lays one out: "oov" 0, the specials, the
// 256 bytes, two graphemes, and the merges t+h and th+e.
struct trainer_layout {
    Data data;
    model_extras extras;
};

trainer_layout trainer_model(const std::vector<std::string>& specials) {
    trainer_layout m;
    m.data.lookup.insert_or_assign(0, "");
    m.data.unicode_lookup.emplace("oov", 0);
    token_id next = 1;
    for (const auto& s : specials) {
        m.data.lookup.insert_or_assign(next, s);
        m.extras.specials.push_back({s, next++});
    }
    m.extras.byte_base = next;
    for (unsigned b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        m.data.lookup.insert_or_assign(next, byte);
        if (b < 0x80) m.data.unicode_lookup.emplace(byte, next);
        ++next;
    }
    for (std::string g : {"é", "あ"}) {
        m.data.lookup.insert_or_assign(next, g);
        m.data.unicode_lookup.emplace(g, next++);
    }
    const token_id base = *m.extras.byte_base;
    const token_id th = next++;
    m.data.lookup.insert_or_assign(th, "th");
    m.data.merges.emplace(token_pair{static_cast<token_id>(base + 't'), static_cast<token_id>(base + 'h')}, th);
    m.data.lookup.insert_or_assign(next, "the");
    m.data.merges.emplace(token_pair{th, static_cast<token_id>(base + 'e')}, next++);
    m.extras.trainer_options = R"({"options":{"vocab_size":8}})";
    return m;
}

std::string file_of(const trainer_layout& m) { return serialize_model_with_extras(m.data, m.extras); }

}  // namespace

TEST(Extras, CrcIsTheZlibOne) { EXPECT_EQ(crc32("123456789"), 0xCBF43926u); }

TEST(Extras, RoundTripAndPlainFilesUnchanged) {
    const auto m = trainer_model({"<|endoftext|>", "<pad>"});
    const std::string file = file_of(m);
    auto parsed = deserialize_model_with_extras(file);
    ASSERT_TRUE(std::holds_alternative<model_with_extras>(parsed));
    const auto& back = std::get<model_with_extras>(parsed);
    EXPECT_EQ(back.extras.byte_base, m.extras.byte_base);
    ASSERT_EQ(back.extras.specials.size(), 2u);
    EXPECT_EQ(back.extras.specials[1].text, "<pad>");
    EXPECT_EQ(back.extras.trainer_options, m.extras.trainer_options);
    EXPECT_EQ(serialize_model_with_extras(back.data, back.extras), file);
    // A model without extras writes the three maps alone.
    EXPECT_EQ(serialize_model_with_extras(m.data, {}), serialize_model(m.data));
}

TEST(Extras, EveryCutOfTheBlockIsRefused) {
    const auto m = trainer_model({"<s>"});
    const std::string file = file_of(m);
    const std::size_t maps = serialize_model(m.data).size();
    for (std::size_t end = maps + 1; end < file.size(); ++end) {
        auto parsed = deserialize_model_with_extras(std::string_view(file).substr(0, end));
        ASSERT_TRUE(std::holds_alternative<model_read_error>(parsed)) << "cut at " << end;
        EXPECT_EQ(std::get<model_read_error>(parsed).what, model_read_error::kind::extension);
    }
    // Past the magic (bytes that do not start with it are no block, as for
    // an old file with something appended), every flipped bit is caught.
    for (std::size_t at = maps + EXTRAS_MAGIC.size(); at < file.size(); ++at) {
        std::string flipped = file;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
        EXPECT_TRUE(std::holds_alternative<model_read_error>(deserialize_model_with_extras(flipped)))
            << "flipped at " << at;
    }
}

TEST(Extras, MisfitsAreRefused) {
    auto merged_special = trainer_model({"<s>"});
    merged_special.data.merges.emplace(token_pair{1, 1}, 999);
    EXPECT_NE(check_extras(merged_special.data, merged_special.extras), std::nullopt);
    auto special_grapheme = trainer_model({"<s>"});
    special_grapheme.data.unicode_lookup.emplace("<s>", 1);
    EXPECT_NE(check_extras(special_grapheme.data, special_grapheme.extras), std::nullopt);
    auto twice = trainer_model({"<s>"});
    twice.extras.specials.push_back({"<s>", 1});
    EXPECT_NE(check_extras(twice.data, twice.extras), std::nullopt);
    const auto fine = trainer_model({"<s>"});
    EXPECT_EQ(check_extras(fine.data, fine.extras), std::nullopt);
}

TEST(SpecialMatcher, LeftmostThenLongest) {
    special_matcher matcher{{{"<a>", 1}, {"<a>b", 2}, {"[x]", 3}}};
    const std::vector<bool> all(3, true);
    auto m = matcher.find("zz<a>b<a>", 0, all);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->at, 2u);
    EXPECT_EQ(m->index, 1u);
    m = matcher.find("zz<a>b<a>", 6, all);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->index, 0u);
    EXPECT_FALSE(matcher.find("<a", 0, all));
    // Only those the call names are found.
    m = matcher.find("<a>b [x]", 0, {false, false, true});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->at, 5u);
}

TEST(TokenizerExtras, SpecialsAndBytes) {
    auto m = trainer_model({"<s>"});
    const token_id base = *m.extras.byte_base;
    tokenizer tok{std::move(m.data), std::move(m.extras)};
    for (encode_mode mode : {encode_mode::compatible, encode_mode::ranked}) {
        EXPECT_THROW(tok.encode("the<s>", mode), failure);
        special_choice choice = special_choice::refuse_all(1);
        choice.set_match(0);
        const token_sequence ids = tok.encode("th<s>€", mode, &choice);
        const token_sequence expected{static_cast<token_id>(base + 258), 1,
                                      static_cast<token_id>(base + 0xE2), static_cast<token_id>(base + 0x82),
                                      static_cast<token_id>(base + 0xAC)};
        EXPECT_EQ(ids, expected);
        EXPECT_EQ(tok.count("th<s>€", mode, &choice), expected.size());
        EXPECT_EQ(tok.decode(ids), "th<s>€");
        EXPECT_EQ(tok.decode(ids, true), "th€");
        // A failure leaves what the output held.
        token_sequence out{7};
        EXPECT_THROW(tok.encode_append("<s>", mode, out), failure);
        EXPECT_EQ(out, token_sequence{7});
    }
}
