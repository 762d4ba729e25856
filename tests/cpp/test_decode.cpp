#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/decode.hpp"
#include "model/failure.hpp"

using namespace tolvane;

namespace {

const std::string FFFD = "\xEF\xBF\xBD";

// A model as a file may hold it: texts need not be UTF-8, ids need not be dense.
Data loaded_model() {
    Data d;
    d.lookup.insert_or_assign(0, "");
    d.lookup.insert_or_assign(1, "a");
    d.lookup.insert_or_assign(2, "\xC3");
    d.lookup.insert_or_assign(3, "\xA9");
    d.lookup.insert_or_assign(4, "\xFF");
    d.lookup.insert_or_assign(5, "bc");
    d.lookup.insert_or_assign(900, "a\xC3\xA9");
    return d;
}

std::string failure_message(const Data& d, std::vector<token_id> ids) {
    try {
        decode_tokens(d, ids);
    } catch (const failure& f) {
        return f.message;
    }
    return "<no failure>";
}

}  // namespace

TEST(DecodeTokens, JoinsTextsThenReadsThemAsUtf8) {
    const Data d = loaded_model();
    struct row { std::vector<token_id> ids; std::string want; };
    const std::vector<row> rows = {
        {{}, ""},
        {{0}, ""},
        {{0, 1, 0}, "a"},
        {{4}, FFFD},
        {{2, 3}, "\xC3\xA9"},   // a character split over two tokens comes out whole
        {{2}, FFFD},
        {{3}, FFFD},
        {{3, 2}, FFFD + FFFD},
        {{900, 5, 900}, "a\xC3\xA9" "bca\xC3\xA9"},
        {{1, 2, 1}, "a" + FFFD + "a"},
    };
    for (const auto& r : rows) EXPECT_EQ(decode_tokens(d, r.ids), r.want);
}

TEST(DecodeTokens, FailsAtAnUnknownId) {
    const Data d = loaded_model();
    for (const auto& ids : std::vector<std::vector<token_id>>{{6}, {1, 65535}, {899, 1}, {0, 2, 901}})
        EXPECT_EQ(failure_message(d, ids), "This should not happend");
    EXPECT_EQ(failure_message(Data{}, {0}), "This should not happend");
    EXPECT_EQ(decode_tokens(Data{}, {}), "");
}

TEST(VocabIds, ListsEveryIdAscending) {
    EXPECT_TRUE(vocab_ids(Data{}).empty());
    EXPECT_EQ(vocab_ids(loaded_model()), (std::vector<token_id>{0, 1, 2, 3, 4, 5, 900}));
    Data full;
    for (std::size_t id = MAX_TOKENS; id-- > 0;) full.lookup.insert_or_assign(static_cast<token_id>(id), "");
    const auto ids = vocab_ids(full);
    ASSERT_EQ(ids.size(), MAX_TOKENS);
    EXPECT_EQ(ids.front(), 0);
    EXPECT_EQ(ids.back(), 65535);
}
