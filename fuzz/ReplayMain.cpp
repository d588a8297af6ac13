// Replays the kept inputs of one harness (its seed corpus and the inputs that
// once crashed it) through the harness's own entry point, without libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> InputsBelow(const fs::path& ADir) {
    std::vector<fs::path> Result;
    if (!fs::is_directory(ADir)) {
        return Result;
    }
    for (const auto& LItem : fs::directory_iterator(ADir)) {
        // Dot files keep empty folders in git; they are no inputs.
        if (LItem.is_regular_file() && LItem.path().filename().string().front() != '.') {
            Result.push_back(LItem.path());
        }
    }
    std::sort(Result.begin(), Result.end());
    return Result;
}

TEST(ORVANE_FUZZ_SUITE, ReplaysCorpusAndRegressions) {
    const fs::path LRoot = ORVANE_FUZZ_DIR;
    const auto LCorpus = InputsBelow(LRoot / "corpus" / ORVANE_FUZZ_HARNESS);
    ASSERT_FALSE(LCorpus.empty()) << "no seed corpus for " << ORVANE_FUZZ_HARNESS;
    auto LInputs = LCorpus;
    const auto LRegressions = InputsBelow(LRoot / "regressions" / ORVANE_FUZZ_HARNESS);
    LInputs.insert(LInputs.end(), LRegressions.begin(), LRegressions.end());
    for (const fs::path& LInput : LInputs) {
        SCOPED_TRACE(LInput.string());
        std::ifstream LIn(LInput, std::ios::binary);
        ASSERT_TRUE(LIn);
        const std::string LBytes{std::istreambuf_iterator<char>(LIn), {}};
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(LBytes.data()),
                                         LBytes.size()),
                  0);
    }
}

} // namespace
