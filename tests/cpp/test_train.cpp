#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <variant>

#include <gtest/gtest.h>

#include "model/failure.hpp"
#include "persist/model_file.hpp"
#include "training/train.hpp"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

const std::string BANNER =
    "--------------------------------------------- \n Saved Successfully \n---------------------------------------------\n";
const std::string SEPARATOR = "\n" + std::string(83, '-') + "\n";

// Each test runs in a fresh folder, since the run writes "tokenizer" and
// "log.txt" into the working directory.
class training_run : public ::testing::Test {
protected:
    void SetUp() override {
        home = fs::current_path();
        char name[] = "/tmp/tolvane-train-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        folder = name;
        fs::current_path(folder);
        console = std::fopen("console.out", "w+");
    }
    void TearDown() override {
        std::fclose(console);
        fs::current_path(home);
        fs::remove_all(folder);
    }

    static void write_file(const std::string& name, const std::string& bytes) {
        std::ofstream{name, std::ios::binary} << bytes;
    }
    static std::string read_file(const std::string& name) {
        std::ifstream in{name, std::ios::binary};
        return {std::istreambuf_iterator<char>{in}, {}};
    }
    static std::set<std::string> entries() {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator{"."}) out.insert(e.path().filename());
        return out;
    }
    std::string console_text() { return read_file("console.out"); }
    run_hooks hooks() { return {.console_fd = ::fileno(console), .should_stop = {}, .literal = true}; }

    fs::path home, folder;
    std::FILE* console = nullptr;
};

Data loaded(const std::string& bytes) {
    auto result = deserialize_model(bytes);
    EXPECT_TRUE(std::holds_alternative<Data>(result));
    return std::get<Data>(std::move(result));
}

TEST_F(training_run, save_writes_a_new_file_and_never_rewrites_the_old_one_in_place) {
    Data data;
    data.lookup.insert_or_assign(0, "");
    data.lookup.insert_or_assign(1, "a");
    data.unicode_lookup.emplace("a", 1);
    // A second name for the previous model shows whether its bytes were touched.
    write_file("tokenizer", "previous model");
    ASSERT_EQ(::link("tokenizer", "previous"), 0);
    mode_t old_mask = ::umask(027);
    save_model(data, hooks());
    ::umask(old_mask);

    EXPECT_EQ(read_file("tokenizer"), serialize_model(data));
    EXPECT_EQ(read_file("previous"), "previous model");
    EXPECT_EQ(fs::status("tokenizer").permissions(), fs::perms{0640});
    EXPECT_EQ(entries(), (std::set<std::string>{"console.out", "previous", "tokenizer"}));
    EXPECT_EQ(console_text(), BANNER);
}

TEST_F(training_run, a_failed_save_leaves_no_temporary_file_and_prints_no_banner) {
    fs::create_directories("tokenizer/inside");  // rename cannot replace it
    Data data;
    try {
        save_model(data, hooks());
        ADD_FAILURE() << "no failure";
    } catch (const failure& f) {
        EXPECT_EQ(f.message.rfind("Should work: ", 0), 0u) << f.message;
    }
    EXPECT_EQ(entries(), (std::set<std::string>{"console.out", "tokenizer"}));
    EXPECT_EQ(console_text(), "");
}

TEST_F(training_run, a_stop_request_between_chunks_keeps_the_last_saved_chunk) {
    // One grapheme filling the first chunk exactly ("a" and combining acute
    // accents), then a second chunk "b": learning has nothing to do in either.
    std::string first = "a";
    while (first.size() < TRAIN_CHUNK_SIZE) first += "\xCC\x81";
    ASSERT_EQ(first.size(), TRAIN_CHUNK_SIZE);
    write_file("two.txt", first + "b");

    Data data;
    run_hooks h = hooks();
    h.should_stop = [] { return fs::exists("tokenizer"); };
    EXPECT_THROW(train(data, {"two.txt", false, "train.log"}, h), stop_requested);
    Data saved = loaded(read_file("tokenizer"));
    EXPECT_TRUE(saved.unicode_lookup.contains(first));
    EXPECT_FALSE(saved.unicode_lookup.contains("b"));
    EXPECT_EQ(read_file("train.log"), SEPARATOR);
}

}  // namespace
}  // namespace tolvane
