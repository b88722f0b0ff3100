// The fuzz targets' checks on their seed corpus and on every input that
// once made one fail (fuzz/regressions/TARGET/), so that each fault the
// fuzzers found stays fixed in the regular suite.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cases.h"
#include "support/scratch.h"

namespace sorvik {
namespace {

const std::string kFuzzDir = SORVIK_FUZZ_DIR;

struct Target {
    const char *name;
    std::string (*check)(const uint8_t *data, size_t size);
};

class FuzzCases : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCases, EveryStoredInputPassesTheChecks) {
    for (const char *folder : {"corpus", "regressions"}) {
        const std::filesystem::path directory = std::filesystem::path(kFuzzDir) / folder / GetParam().name;
        ASSERT_TRUE(std::filesystem::is_directory(directory)) << directory;
        for (const auto &entry : std::filesystem::directory_iterator(directory)) {
            const std::string bytes = test::readFile(entry.path().string());
            EXPECT_EQ(GetParam().check(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), "")
                << entry.path();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCases,
                         ::testing::Values(Target{"config_reader", fuzz::checkConfigReader},
                                           Target{"named_calls", fuzz::checkNamedCalls}),
                         [](const ::testing::TestParamInfo<Target> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sorvik
