#include "platform/FileCopy.h"
#include "platform/Win32Text.h"

#include "support/FileText.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

class FileCopyWin : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        FDir = fs::temp_directory_path() /
               ("orvane-copy-" + std::to_string(GetCurrentProcessId()) + "-" + info->name());
        fs::remove_all(FDir);
        fs::create_directories(FDir / "dest");
    }
    void TearDown() override { fs::remove_all(FDir); }

    // Win32 form of a path below the test folder.
    std::string At(const std::string& ARelative) const { return FDir.string() + "\\" + ARelative; }

    fs::path FDir;
};

struct TCopyCase {
    const char* Name;
    bool SourceFile;  // the source exists as a file
    const char* Dest; // below the test folder
    bool DestExists;
    const char* Message; // the error text, or nullptr when the copy succeeds
};

// The checks run in a fixed order, so a call with several faults names the first.
const TCopyCase KCopyCases[] = {
    {"copies", true, "dest\\lib.bpl", false, nullptr},
    {"no source", false, "dest\\lib.bpl", false, "The specified file was not found"},
    {"no source and destination present", false, "dest\\lib.bpl", true,
     "The specified file was not found"},
    {"destination is a folder", true, "dest", true, "The specified file already exists"},
    {"no source and no destination folder", false, "missing\\lib.bpl", false,
     "The specified file was not found"},
    {"no destination folder", true, "missing\\lib.bpl", false, "The specified path was not found"},
    {"destination present", true, "dest\\lib.bpl", true, "The specified file already exists"},
};

TEST_F(FileCopyWin, InstallerTextsInTheirOrder) {
    for (const auto& c : KCopyCases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(FDir);
        fs::create_directories(FDir / "dest");
        const std::string source = At("lib.bpl");
        if (c.SourceFile)
            WriteFileText(source, "new contents");
        const std::string dest = At(c.Dest);
        if (c.DestExists && !fs::is_directory(dest))
            WriteFileText(dest, "old");

        if (c.Message == nullptr) {
            orvane::CopyFileNoOverwrite(source, dest);
            EXPECT_EQ(ReadFileText(dest), "new contents");
            continue;
        }
        try {
            orvane::CopyFileNoOverwrite(source, dest);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        if (fs::is_directory(dest))
            EXPECT_TRUE(fs::is_empty(dest));
        else if (c.DestExists)
            EXPECT_EQ(ReadFileText(dest), "old");
        else
            EXPECT_FALSE(fs::exists(dest));
    }
}

// Any other failure carries the system's own text (its wording depends on the
// system and its language, so it is compared with FormatMessage's, not a literal).
TEST_F(FileCopyWin, OtherFailuresCarryTheSystemText) {
    const std::string source = At("folder.bpl");
    fs::create_directories(source);
    const std::string dest = At("dest\\lib.bpl");

    const std::wstring wsource = orvane::Widen(source);
    const std::wstring wdest = orvane::Widen(dest);
    ASSERT_FALSE(CopyFileW(wsource.c_str(), wdest.c_str(), TRUE));
    const std::string expected = orvane::SystemErrorText(GetLastError());

    try {
        orvane::CopyFileNoOverwrite(source, dest);
        FAIL() << "copied a folder";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), expected);
        EXPECT_STRNE(e.what(), "The specified file already exists");
    }
    EXPECT_FALSE(fs::exists(dest));
}

} // namespace
