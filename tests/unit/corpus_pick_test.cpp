// Choosing campaign inputs to check in beside the fuzz seeds: reading a set-cover
// merge's control file, and the greedy choice within a byte budget.
#include <gtest/gtest.h>

#include <sstream>

#include "fuzz/corpus_pick.h"

using namespace vm::fuzz;

namespace {

std::optional<MergeControl> parse(const std::string& text, std::string* error = nullptr) {
    std::istringstream in(text);
    return parseMergeControl(in, error);
}

TEST(MergeControl, ReadsEveryFilesFullFeaturesAndSize) {
    auto control = parse("3\n1\nseeds/a\nwork/b\nwork/c\n"
                         "STARTED 0 12\nFT 0 5 7\nCOV 0 1\n"
                         "STARTED 1 40\nFT 1 7 9 11\nCOV 1 2\n"
                         "STARTED 2 8\n");  // its run was cut short: no features
    ASSERT_TRUE(control);
    EXPECT_EQ(control->firstCorpus, 1u);
    ASSERT_EQ(control->inputs.size(), 3u);
    EXPECT_EQ(control->inputs[1].path, "work/b");
    EXPECT_EQ(control->inputs[1].size, 40u);
    EXPECT_EQ(control->inputs[1].features, (std::vector<uint64_t>{7, 9, 11}));
    EXPECT_TRUE(control->inputs[2].features.empty());
    EXPECT_EQ(featuresReached(*control, {}), 2u);
    EXPECT_EQ(featuresReached(*control, {1}), 4u);
}

TEST(MergeControl, RefusesWhatIsNotAControlFile) {
    std::string error;
    EXPECT_FALSE(parse("", &error));
    EXPECT_FALSE(parse("two\n0\n", &error));
    EXPECT_FALSE(parse("2\n3\na\nb\n", &error));  // more seeds than files
    EXPECT_FALSE(parse("2\n0\nonly-one\n", &error));
    EXPECT_EQ(error, "the file list ends early");
    EXPECT_FALSE(parse("1\n0\na\nFT 4 1 2\n", &error));
    EXPECT_EQ(error, "line names file 4 of 1");
}

// Seeds reach {1, 2}. Candidates: nothing new; four new in 100 bytes; two new in 10
// bytes; thirty-eight new in 1000 bytes.
MergeControl campaign() {
    MergeControl c;
    c.firstCorpus = 1;
    c.inputs.push_back({"seed", 50, {1, 2}});
    c.inputs.push_back({"old", 10, {1, 2}});
    c.inputs.push_back({"mid", 100, {3, 4, 5, 6}});
    c.inputs.push_back({"small", 10, {3, 4}});
    CorpusInput rich{"rich", 1000, {}};
    for (uint64_t f = 3; f <= 40; ++f) rich.features.push_back(f);
    c.inputs.push_back(rich);
    return c;
}

TEST(PickInputs, TakesTheMostNewFeaturesPerByteAndStopsWhenNothingIsNew) {
    auto c = campaign();
    // small (0.2 a byte), then rich (36 left of its features in 1000 bytes) beats mid
    // (2 left in 100); after rich, mid adds nothing.
    EXPECT_EQ(pickInputs(c, 100000, 0), (std::vector<size_t>{3, 4}));
    EXPECT_EQ(featuresReached(c, {3, 4}), 40u);
}

TEST(PickInputs, KeepsWithinTheBudget) {
    auto c = campaign();
    EXPECT_EQ(pickInputs(c, 500, 0), (std::vector<size_t>{3, 2}));  // rich does not fit
    EXPECT_EQ(pickInputs(c, 9, 0), (std::vector<size_t>{}));
}

TEST(PickInputs, AnInputsOverheadFavoursFewRichInputsOverManyTinyOnes) {
    auto c = campaign();
    // Counted 10000 bytes larger each, rich (38 / 11000) beats small (2 / 10010), and
    // then covers what small and mid would have added.
    EXPECT_EQ(pickInputs(c, 100000, 10000), (std::vector<size_t>{4}));
}

}  // namespace
