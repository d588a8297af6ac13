#include "TestZip.h"

#include "install/FileOperations.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace orvane;

namespace {

TEST(FileOperationsTest, ExistenceByKind) {
    TTempDir LTemp;
    WriteFileText(LTemp.Path() / "file.txt", "x");
    fs::create_directories(LTemp.Path() / "folder");
    const struct {
        const char* Name;
        bool IsDir;
        bool IsFile;
    } LCases[] = {{"file.txt", false, true},
                  {"folder", true, false},
                  {"folder/", true, false},
                  {"missing", false, false},
                  {"missing/x", false, false}};
    for (const auto& LCase : LCases) {
        const std::string LPath = DirText(LTemp.Path()) + LCase.Name;
        EXPECT_EQ(DirectoryExists(LPath), LCase.IsDir) << LCase.Name;
        EXPECT_EQ(FileExists(LPath), LCase.IsFile) << LCase.Name;
    }
    EXPECT_FALSE(DirectoryExists(""));
    EXPECT_FALSE(FileExists(""));
}

TEST(FileOperationsTest, ForceDirectoriesCreatesParentsAndReportsSuccess) {
    TTempDir LTemp;
    WriteFileText(LTemp.Path() / "a-file", "x");
    const struct {
        std::string Path;
        bool Result;
    } LCases[] = {
        {DirText(LTemp.Path()) + "one/two/three/", true},
        {DirText(LTemp.Path()) + "one/two/three", true}, // already there
        {DirText(LTemp.Path()) + "\xC3\xA9t\xC3\xA9/x", true},
        {DirText(LTemp.Path()) + "a-file/below", false},
        {DirText(LTemp.Path()) + "a-file", false},
        {"", false},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(ForceDirectories(LCase.Path), LCase.Result) << LCase.Path;
        EXPECT_EQ(DirectoryExists(LCase.Path), LCase.Result) << LCase.Path;
    }
}

TEST(FileOperationsTest, RemoveFileDeletesFilesOnly) {
    TTempDir LTemp;
    WriteFileText(LTemp.Path() / "file.txt", "x");
    fs::create_directories(LTemp.Path() / "folder");

    EXPECT_TRUE(RemoveFile(DirText(LTemp.Path()) + "file.txt"));
    EXPECT_FALSE(fs::exists(LTemp.Path() / "file.txt"));
    EXPECT_FALSE(RemoveFile(DirText(LTemp.Path()) + "file.txt"));
    EXPECT_FALSE(RemoveFile(DirText(LTemp.Path()) + "folder"));
    EXPECT_TRUE(fs::is_directory(LTemp.Path() / "folder"));
}

} // namespace
