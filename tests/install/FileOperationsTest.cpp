#include "TestZip.h"

#include "install/FileOperations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

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

TEST(FileOperationsTest, FormatByteSizeForMessages) {
    const std::pair<std::uint64_t, const char*> LCases[] = {
        {0, "0 bytes"},
        {1023, "1023 bytes"},
        {1536, "1.5 KiB"},
        {10u << 20, "10.0 MiB"},
        {std::uint64_t{9} << 30, "9.0 GiB"},
    };
    for (const auto& [LBytes, LText] : LCases) {
        EXPECT_EQ(FormatByteSize(LBytes), LText) << LBytes;
    }
}

// The free space of the temp folder's drive, measured for real.
TEST(FileOperationsTest, RequireFreeSpaceAddsUpTheNeedsOfOneDrive) {
    TTempDir LTemp;
    const std::uint64_t LFree = fs::space(LTemp.Path()).available;
    const std::string LDir = DirText(LTemp.Path());
    // Not there yet: measured at the nearest folder that is.
    const std::string LNew = LDir + "not/yet/there/";
    EXPECT_NO_THROW(RequireFreeSpace({{LDir, 1000}, {LNew, 1000}}));
    EXPECT_NO_THROW(RequireFreeSpace({}));
    EXPECT_FALSE(fs::exists(LDir + "not"));

    const struct {
        const char* Label;
        std::vector<TSpaceNeed> Needs;
    } LCases[] = {
        {"one folder", {{LNew, LFree + (std::uint64_t{1} << 30)}}},
        // Five eighths each: other programs writing to the drive meanwhile
        // cannot move the sum below what is free, nor one half above it.
        {"two folders that fit alone", {{LDir, LFree / 8 * 5}, {LNew, LFree / 8 * 5}}},
    };
    for (const auto& LCase : LCases) {
        try {
            RequireFreeSpace(LCase.Needs);
            ADD_FAILURE() << LCase.Label << ": not refused";
        } catch (const std::runtime_error& AError) {
            const std::string LText = AError.what();
            EXPECT_NE(LText.find("Not enough free space for \"" + LCase.Needs[0].Folder + "\": "),
                      std::string::npos)
                << LText;
            EXPECT_NE(LText.find(" needed, "), std::string::npos) << LText;
            EXPECT_NE(LText.find(" free"), std::string::npos) << LText;
        }
    }
}

// Free space moves while other programs write; two folders of one drive are
// still one drive, and their needs are still added up.
TEST(FileOperationsTest, RequireFreeSpaceAddsUpWhileTheDriveIsWrittenTo) {
    TTempDir LTemp;
    const std::string LDir = DirText(LTemp.Path());
    const std::string LNew = LDir + "not/yet/there/";
    std::atomic<bool> LStop{false};
    std::thread LWriter([&] {
        const std::string LBlock(256 * 1024, 'x');
        while (!LStop) {
            std::FILE* LFile = std::fopen((LTemp.Path() / "churn").string().c_str(), "wb");
            if (LFile == nullptr) {
                return;
            }
            std::fwrite(LBlock.data(), 1, LBlock.size(), LFile);
            std::fflush(LFile);
            std::fclose(LFile);
            fs::remove(LTemp.Path() / "churn");
        }
    });
    int LNotRefused = 0;
    for (int LRound = 0; LRound < 200; ++LRound) {
        const std::uint64_t LFree = fs::space(LTemp.Path()).available;
        try {
            RequireFreeSpace({{LDir, LFree / 8 * 5}, {LNew, LFree / 8 * 5}});
            ++LNotRefused;
        } catch (const std::runtime_error&) {
        }
    }
    LStop = true;
    LWriter.join();
    EXPECT_EQ(LNotRefused, 0);
}

} // namespace
