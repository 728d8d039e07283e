// Replays the fuzz corpus, and deterministic mutations of it, through the file
// parsers in the normal build.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "test_module.h"
#include "tests/fuzz/file_parsers.h"

namespace torvalen::params {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> corpus() {
    std::vector<std::string> inputs;
    for (const auto& entry : fs::directory_iterator(fs::path(TORVALEN_SOURCE_DIR) / "tests" / "fuzz" / "corpus"))
        inputs.push_back(testing::file_text(entry.path()));
    return inputs;
}

TEST(FileParserReplay, CorpusInputsGiveWellFormedResults) {
    const auto inputs = corpus();
    ASSERT_GE(inputs.size(), 5u);
    for (const std::string& input : inputs) EXPECT_TRUE(fuzz::parse_file_input(input)) << input.substr(0, 80);

    // The seeds are read as their names say: a good preset and a good day-part.
    std::string error;
    const auto tree = build_page_tree(fuzz::fuzz_table, error);
    ASSERT_TRUE(tree);
    const auto preset = read_preset_file(testing::file_text(fs::path(TORVALEN_SOURCE_DIR) / "tests/fuzz/corpus/preset.fmt4"),
                                         *tree, fuzz::fuzz_version);
    ASSERT_EQ(preset.status, FileStatus::ok);
    EXPECT_EQ(preset.notes, "two\nlines");
    EXPECT_FALSE(std::any_of(preset.values.begin(), preset.values.end(), [](const LoadedValue& v) { return v.fallback; }));
    const auto daypart = read_daypart_file(testing::file_text(fs::path(TORVALEN_SOURCE_DIR) / "tests/fuzz/corpus/week.dpt4"),
                                           fuzz::fuzz_version);
    ASSERT_EQ(daypart.status, FileStatus::ok);
    EXPECT_EQ(daypart.table.size(), 2u) << "the third entry repeats the first one's time";
}

TEST(FileParserReplay, MutatedInputsGiveWellFormedResults) {
    const auto inputs = corpus();
    std::mt19937 random(20240611);  // fixed: the same inputs on every run
    for (int round = 0; round < 3000; ++round) {
        std::string input = inputs[random() % inputs.size()];
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits && !input.empty(); ++e) {
            const size_t at = random() % input.size();
            switch (random() % 5) {
                case 0: input[at] = static_cast<char>(random()); break;
                case 1: input.erase(at, random() % 16); break;
                case 2: input.insert(at, input.substr(random() % input.size(), random() % 64)); break;
                case 3: input.insert(at, 1, "\r\n=[]\\\0"[random() % 7]); break;
                case 4: input.resize(at); break;
            }
        }
        ASSERT_TRUE(fuzz::parse_file_input(input)) << "round " << round;
    }
}

}  // namespace
}  // namespace torvalen::params
