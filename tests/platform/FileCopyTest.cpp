#include "platform/FileCopy.h"

#include "support/FileText.h"
#include <gmock/gmock.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

class FileCopyTest : public testing::Test {
protected:
    void SetUp() override {
        FRoot =
            fs::temp_directory_path() / ("orvane-copy-" + std::to_string(std::random_device{}()));
        fs::create_directories(FRoot / "dest");
        WriteFileText(FRoot / "source.dll", "library bytes");
        WriteFileText(FRoot / "dest" / "present.dll", "already here");
    }
    void TearDown() override { fs::remove_all(FRoot); }
    std::string At(const std::string& AName) const { return (FRoot / AName).string(); }

    fs::path FRoot;
};

TEST_F(FileCopyTest, FailuresAreTestedInOrder) {
    const struct {
        const char* Source;
        const char* Dest;
        const char* Message;
    } LCases[] = {
        // a missing source wins over every other fault
        {"missing.dll", "nowhere/present.dll", "The specified file was not found"},
        {"missing.dll", "dest/present.dll", "The specified file was not found"},
        // then a missing destination folder, even where a file of that name exists
        {"source.dll", "nowhere/source.dll", "The specified path was not found"},
        {"source.dll", "dest/present.dll/x.dll", "The specified path was not found"},
        {"source.dll", "dest/present.dll", "The specified file already exists"},
        {"source.dll", "dest", "The specified file already exists"},
#ifndef _WIN32
        // the system's own message when the copy itself fails
        {"dest", "dest/copy-of-folder", "Is a directory"},
#endif
    };
    for (const auto& LCase : LCases) {
        EXPECT_THAT([&] { orvane::CopyFileNoOverwrite(At(LCase.Source), At(LCase.Dest)); },
                    testing::ThrowsMessage<std::runtime_error>(HasSubstr(LCase.Message)))
            << LCase.Source << " -> " << LCase.Dest;
    }
    EXPECT_EQ(ReadFileText(FRoot / "dest" / "present.dll"), "already here");
    EXPECT_FALSE(fs::exists(FRoot / "dest" / "copy-of-folder"));
}

TEST_F(FileCopyTest, CopiesContentWithoutTouchingTheSource) {
    std::string LBig(300 * 1024 + 17, '\0');
    for (std::size_t LIndex = 0; LIndex < LBig.size(); ++LIndex) {
        LBig[LIndex] = static_cast<char>(LIndex * 31 % 251);
    }
    WriteFileText(FRoot / "big.bin", LBig);

    orvane::CopyFileNoOverwrite(At("source.dll"), At("dest/source.dll"));
    orvane::CopyFileNoOverwrite(At("big.bin"), At("dest/big.bin"));

    EXPECT_EQ(ReadFileText(FRoot / "dest" / "source.dll"), "library bytes");
    EXPECT_EQ(ReadFileText(FRoot / "dest" / "big.bin"), LBig);
    EXPECT_EQ(ReadFileText(FRoot / "source.dll"), "library bytes");
    EXPECT_THAT(
        [&] { orvane::CopyFileNoOverwrite(At("source.dll"), At("dest/source.dll")); },
        testing::ThrowsMessage<std::runtime_error>(HasSubstr("The specified file already exists")));
}

} // namespace
