#include "TestZip.h"

#include "install/ZipReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;
using orvane::EZipError;
using orvane::TZipReader;
using testing::AllOf;
using testing::HasSubstr;

namespace {

// Open files of this process, or on Windows whether AFile is held open: there a
// reader's handle does not share deletion, which a probe for it runs into.
std::size_t OpenFileCount([[maybe_unused]] const fs::path& AFile) {
#ifdef _WIN32
    HANDLE LProbe =
        CreateFileW(AFile.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (LProbe == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
    }
    CloseHandle(LProbe);
    return 0;
#else
    std::size_t LCount = 0;
    for ([[maybe_unused]] const auto& LItem : fs::directory_iterator("/proc/self/fd")) {
        ++LCount;
    }
    return LCount;
#endif
}

// Text that deflate cannot squeeze to nothing, so extraction takes real blocks.
std::string NoisyText(std::size_t ASize, unsigned ASeed) {
    std::string LText(ASize, '\0');
    unsigned LState = ASeed;
    for (char& LChar : LText) {
        LState = LState * 1103515245u + 12345u;
        LChar = static_cast<char>('a' + (LState >> 16) % 26);
    }
    return LText;
}

class ZipReaderTest : public testing::Test {
protected:
    TTempDir FTemp;
    fs::path Zip() const { return FTemp.Path() / "package.zip"; }
    fs::path Target() const { return FTemp.Path() / "out"; }
};

TEST_F(ZipReaderTest, ExtractAllKeepsFoldersAndOverwrites) {
    WriteTestZip(Zip(), {{"Win32/", ""},
                         {"Win32/Release/A.bpl", "bpl-32"},
                         {"Win32/Release/C/hpp/A.hpp", "header"},
                         {"Win64/Release/A.bpl", "bpl-64"},
                         {"readme.txt", "new readme"}});
    WriteFileText(Target() / "readme.txt", "an older, longer readme");
    WriteFileText(Target() / "kept.txt", "not in the zip");

    TZipReader LZip(Zip().string());
    LZip.ExtractAll((Target() / "").string());

    EXPECT_EQ(ListTree(Target()),
              (std::vector<std::string>{"Win32/", "Win32/Release/", "Win32/Release/A.bpl",
                                        "Win32/Release/C/", "Win32/Release/C/hpp/",
                                        "Win32/Release/C/hpp/A.hpp", "Win64/", "Win64/Release/",
                                        "Win64/Release/A.bpl", "kept.txt", "readme.txt"}));
    EXPECT_EQ(ReadFileText(Target() / "readme.txt"), "new readme");
    EXPECT_EQ(ReadFileText(Target() / "Win64/Release/A.bpl"), "bpl-64");
    EXPECT_EQ(ReadFileText(Target() / "Win32/Release/C/hpp/A.hpp"), "header");
}

TEST_F(ZipReaderTest, LargeEntryComesOutWholeWhilePumping) {
    const std::string LData = NoisyText(24 * 1024 * 1024, 7);
    WriteTestZip(Zip(), {{"big/data.bin", LData}, {"small.txt", "x"}});

    std::vector<std::chrono::steady_clock::time_point> LCalls;
    TZipReader LZip(Zip().string());
    LZip.SetPump([&LCalls] { LCalls.push_back(std::chrono::steady_clock::now()); });
    const auto LStart = std::chrono::steady_clock::now();
    LZip.ExtractAll(Target().string());
    const auto LEnd = std::chrono::steady_clock::now();

    EXPECT_EQ(ReadFileText(Target() / "big/data.bin"), LData);
    ASSERT_FALSE(LCalls.empty());
    LCalls.insert(LCalls.begin(), LStart);
    LCalls.push_back(LEnd);
    std::chrono::steady_clock::duration LLongestGap{};
    for (std::size_t LIndex = 1; LIndex < LCalls.size(); ++LIndex) {
        LLongestGap = std::max(LLongestGap, LCalls[LIndex] - LCalls[LIndex - 1]);
    }
    // The pump runs every ~25 ms; leave room for a busy machine.
    EXPECT_LT(LLongestGap, std::chrono::milliseconds(400))
        << LCalls.size() << " pump calls over "
        << std::chrono::duration_cast<std::chrono::milliseconds>(LEnd - LStart).count() << " ms";
}

TEST_F(ZipReaderTest, IndexOfIgnoresAsciiCaseOnly) {
    WriteTestZip(Zip(), {{"Win32/Release/Orvane.bpl", "a"},
                         {"Win32/Release/ORVANE.BPL", "second of the same folded name"},
                         {"dlls/\xC3\x84rger.dll", "b"}});
    TZipReader LZip(Zip().string());
    const struct {
        const char* Name;
        std::int64_t Index;
    } LCases[] = {
        {"Win32/Release/Orvane.bpl", 0},
        {"win32/release/orvane.BPL", 0},
        {"WIN32/RELEASE/ORVANE.BPL", 0},
        {"dlls/\xC3\x84rger.dll", 2},
        {"DLLS/\xC3\x84RGER.DLL", 2},
        {"dlls/\xC3\xA4rger.dll", -1}, // a lower-case umlaut is another name
        {"Win32/Release/", -1},
        {"Orvane.bpl", -1},
        {"", -1},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(LZip.IndexOf(LCase.Name), LCase.Index) << LCase.Name;
    }
}

TEST_F(ZipReaderTest, ExtractOneEntryDropsItsFoldersAndOverwrites) {
    WriteTestZip(Zip(), {{"Win64/Release/A.bpl", "bpl-64"}, {"Win64/Release/A.dcp", "dcp"}});
    fs::create_directories(Target());
    WriteFileText(Target() / "A.bpl", "old");

    TZipReader LZip(Zip().string());
    LZip.Extract("win64/release/a.bpl", Target().string());

    EXPECT_EQ(ListTree(Target()), std::vector<std::string>{"A.bpl"});
    EXPECT_EQ(ReadFileText(Target() / "A.bpl"), "bpl-64");
    EXPECT_THAT([&] { LZip.Extract("Win32/Release/A.bpl", Target().string()); },
                testing::ThrowsMessage<EZipError>(HasSubstr("\"Win32/Release/A.bpl\"")));
}

// Extraction takes "\\" for a folder separator, so lookups do too: the BPL
// copied into the IDE's folder is the file extracted.
TEST_F(ZipReaderTest, BackslashEntriesAreFoundWhereTheyAreExtracted) {
    WriteTestZip(Zip(), {{"Win32\\Release\\A.bpl", "bpl-32"}});
    TZipReader LZip(Zip().string());
    EXPECT_EQ(LZip.IndexOf("Win32/Release/A.bpl"), 0);
    EXPECT_EQ(LZip.IndexOf("win32\\release/a.BPL"), 0);
    LZip.ExtractAll(Target().string());
    EXPECT_EQ(ReadFileText(Target() / "Win32/Release/A.bpl"), "bpl-32");
    LZip.Extract("Win32/Release/A.bpl", (Target() / "flat").string());
    EXPECT_EQ(ReadFileText(Target() / "flat/A.bpl"), "bpl-32");
}

// Two entries of one name: extraction would keep the second, the copy the first.
TEST_F(ZipReaderTest, TwoEntriesOfOneNameRefuseTheArchive) {
    WriteTestZip(Zip(), {{"Win32/Release/A.bpl", "first"}, {"Win32/Release/A.bpX", "second"}});
    RenameEntry(Zip(), "Win32/Release/A.bpX", "Win32/Release/A.bpl");
    TZipReader LZip(Zip().string());
    ASSERT_EQ(LZip.Count(), 2);
    EXPECT_EQ(LZip.Name(1), "Win32/Release/A.bpl");
    for (const auto& LExtract : std::vector<std::function<void()>>{
             [&] { LZip.ExtractAll(Target().string()); },
             [&] { LZip.Extract("Win32/Release/A.bpl", Target().string()); }}) {
        EXPECT_THAT(LExtract,
                    testing::ThrowsMessage<EZipError>(HasSubstr("name the same file on Windows")));
    }
    EXPECT_FALSE(fs::exists(Target()));
}

// More entries than any package has are refused before anything is written;
// as many as a package may have are not.
TEST_F(ZipReaderTest, MoreEntriesThanAPackageHasRefuseTheArchive) {
    for (const std::int64_t LCount : {TZipReader::KMaxEntries, TZipReader::KMaxEntries + 1}) {
        WriteManyEntryZip(Zip(), static_cast<std::uint32_t>(LCount), "x");
        TZipReader LZip(Zip().string());
        ASSERT_EQ(LZip.Count(), LCount);
        if (LCount == TZipReader::KMaxEntries) {
            EXPECT_NO_THROW(LZip.CheckArchive());
            continue;
        }
        EXPECT_THAT([&] { LZip.ExtractAll(Target().string()); },
                    testing::ThrowsMessage<EZipError>(
                        HasSubstr("holds 100001 entries, more than a package can hold (100000)")));
        EXPECT_FALSE(fs::exists(Target()));
    }
}

TEST_F(ZipReaderTest, OpenFailuresNameTheFile) {
    WriteFileText(FTemp.Path() / "not-a-zip.zip", "PK? no, just text that is not an archive");
    WriteFileText(FTemp.Path() / "empty.zip", "");
    for (const char* LName : {"not-a-zip.zip", "missing.zip", "empty.zip"}) {
        const std::string LFile = (FTemp.Path() / LName).string();
        EXPECT_THAT([&] { TZipReader LZip(LFile); },
                    testing::ThrowsMessage<EZipError>(HasSubstr("\"" + LFile + "\"")))
            << LName;
    }
}

TEST_F(ZipReaderTest, DamagedEntryFailsNamingItAndLeavesNoPartialFile) {
    const std::string LData = NoisyText(256 * 1024, 3);
    WriteTestZip(Zip(), {{"data.bin", LData}});
    {
        // Local header: 30 bytes, the name, then the extra field; the data follows.
        std::fstream LFile(Zip(), std::ios::in | std::ios::out | std::ios::binary);
        char LHeader[30];
        LFile.read(LHeader, sizeof LHeader);
        const auto LWord = [&](int AAt) {
            return static_cast<unsigned char>(LHeader[AAt]) |
                   static_cast<unsigned char>(LHeader[AAt + 1]) << 8;
        };
        const std::streamoff LDataAt = 30 + LWord(26) + LWord(28);
        for (std::streamoff LAt = LDataAt + 1000; LAt < LDataAt + 1100; ++LAt) {
            LFile.seekp(LAt);
            LFile.put('\x5a');
        }
    }
    TZipReader LZip(Zip().string());
    EXPECT_THAT([&] { LZip.ExtractAll(Target().string()); },
                testing::ThrowsMessage<EZipError>(HasSubstr("\"data.bin\"")));
    EXPECT_FALSE(fs::exists(Target() / "data.bin"));
}

TEST_F(ZipReaderTest, ProgressFollowsTheBytesWrittenByExtractAll) {
    const std::string LBig = NoisyText(6 * 1024 * 1024, 5);
    WriteTestZip(Zip(), {{"Win32/", ""}, {"big.bin", LBig}, {"small.txt", "tiny"}, {"empty", ""}});
    const std::int64_t LTotal = static_cast<std::int64_t>(LBig.size()) + 4;
    std::vector<std::pair<std::int64_t, std::int64_t>> LCalls;
    TZipReader LZip(Zip().string());
    LZip.SetProgress(
        [&](std::int64_t AWritten, std::int64_t ATotal) { LCalls.emplace_back(AWritten, ATotal); });
    LZip.ExtractAll(Target().string());
    ASSERT_GE(LCalls.size(), 2u);
    EXPECT_EQ(LCalls.front(), std::make_pair(std::int64_t{0}, LTotal));
    EXPECT_EQ(LCalls.back(), std::make_pair(LTotal, LTotal));
    for (std::size_t LAt = 1; LAt < LCalls.size(); ++LAt) {
        EXPECT_LE(LCalls[LAt - 1].first, LCalls[LAt].first);
        EXPECT_EQ(LCalls[LAt].second, LTotal);
    }
    // Single entries copied out later are no part of the extraction's count.
    LCalls.clear();
    LZip.Extract("small.txt", (Target() / "one").string());
    EXPECT_TRUE(LCalls.empty());

    // A failing extraction reports no more than was written.
    WriteTestZip(FTemp.Path() / "bad.zip", {{"a.txt", "abc"}});
    TZipReader LMissing((FTemp.Path() / "bad.zip").string());
    LCalls.clear();
    LMissing.SetProgress(
        [&](std::int64_t AWritten, std::int64_t ATotal) { LCalls.emplace_back(AWritten, ATotal); });
    WriteFileText(FTemp.Path() / "blocked", "a file where the folder should be");
    EXPECT_THROW(LMissing.ExtractAll((FTemp.Path() / "blocked" / "sub").string()), EZipError);
    for (const auto& LCall : LCalls) {
        EXPECT_EQ(LCall.first, 0);
    }
}

// Sizes that no real package declares, and sizes that lie: the archive fails
// with a message naming what is wrong, and no file is left under a final
// name nor a temporary one.
TEST_F(ZipReaderTest, AbsurdOrLyingSizesFailWithoutAPartialFile) {
    const std::string LZeros(64u << 20, '\0');
    const std::string LText = NoisyText(300 * 1024, 5);
    const struct {
        const char* Label;
        std::vector<TTestZipEntry> Entries;
        std::vector<std::pair<std::string, std::uint32_t>> Declared;
        const char* Message;
        bool AnythingWritten; // the other entry may come out, and then whole
    } LCases[] = {
        {"64 MiB of zeros: beyond 1000:1",
         {{"a.txt", "fine"}, {"zeros.bin", LZeros}},
         {},
         "\"zeros.bin\"",
         false},
        {"24 entries of 4 MiB zeros: each under the floor, a bomb together",
         [] {
             std::vector<TTestZipEntry> LEntries{{"a.txt", "fine"}};
             for (int LAt = 0; LAt < 24; ++LAt) {
                 LEntries.push_back({"z" + std::to_string(LAt), std::string(4u << 20, '\0')});
             }
             return LEntries;
         }(),
         {},
         "beyond any real package",
         false},
        {"declares 3 x 3.5 GiB",
         {{"a.bin", "a"}, {"b.bin", "b"}, {"c.bin", "c"}},
         {{"a.bin", 3584u << 20}, {"b.bin", 3584u << 20}, {"c.bin", 3584u << 20}},
         "more than a package can hold",
         false},
        {"declares 100 MiB for a few bytes",
         {{"small.bin", "tiny"}},
         {{"small.bin", 100u << 20}},
         "\"small.bin\"",
         false},
        {"holds more than it declares",
         {{"a.txt", "fine"}, {"big.txt", LText}},
         {{"big.txt", 1000}},
         "\"big.txt\"",
         true},
        {"holds less than it declares",
         {{"a.txt", "fine"}, {"big.txt", LText}},
         {{"big.txt", 400 * 1024}},
         "\"big.txt\"",
         true},
    };
    for (const auto& LCase : LCases) {
        fs::remove_all(Target());
        WriteTestZip(Zip(), LCase.Entries);
        for (const auto& [LName, LSize] : LCase.Declared) {
            SetDeclaredSize(Zip(), LName, LSize);
        }
        TZipReader LZip(Zip().string());
        EXPECT_THAT([&] { LZip.ExtractAll(Target().string()); },
                    testing::ThrowsMessage<EZipError>(HasSubstr(LCase.Message)))
            << LCase.Label;
        // The threads stop at the first failure: a.txt may or may not be done by then.
        const std::vector<std::string> LTree = ListTree(Target());
        if (LCase.AnythingWritten && LTree == std::vector<std::string>{"a.txt"}) {
            EXPECT_EQ(ReadFileText(Target() / "a.txt"), "fine") << LCase.Label;
        } else {
            EXPECT_TRUE(LTree.empty()) << LCase.Label << ": " << testing::PrintToString(LTree);
        }
        // One entry alone is checked the same way.
        const std::string LLast = LCase.Entries.back().Name;
        fs::remove_all(Target());
        EXPECT_THROW(LZip.Extract(LLast, Target().string()), EZipError) << LCase.Label;
        EXPECT_TRUE(ListTree(Target()).empty()) << LCase.Label;
    }
}

#ifndef _WIN32
// A full disk (here a file-size limit: writes beyond it fail with EFBIG) ends
// the entry with the system's reason; the file never gets its final name, and
// the complete file an earlier installation left there stays as it was.
TEST_F(ZipReaderTest, FullDiskFailsTheEntryWithoutAPartialFile) {
    WriteTestZip(Zip(), {{"small.txt", "fine"}, {"big.txt", NoisyText(3u << 20, 9)}});
    WriteFileText(Target() / "big.txt", "the earlier version");
    TZipReader LZip(Zip().string());
    {
        const TFileSizeLimit LLimit(1u << 20);
        EXPECT_THAT([&] { LZip.ExtractAll(Target().string()); },
                    testing::ThrowsMessage<EZipError>(
                        AllOf(HasSubstr("\"" + (Target() / "big.txt").string() + "\""),
                              HasSubstr(std::strerror(EFBIG)))));
    }
    // small.txt, on another thread, is either whole or not there.
    const std::vector<std::string> LTree = ListTree(Target());
    EXPECT_THAT(LTree, testing::AnyOf(std::vector<std::string>{"big.txt"},
                                      std::vector<std::string>{"big.txt", "small.txt"}));
    if (LTree.size() == 2) {
        EXPECT_EQ(ReadFileText(Target() / "small.txt"), "fine");
    }
    EXPECT_EQ(ReadFileText(Target() / "big.txt"), "the earlier version");
}
#endif

TEST_F(ZipReaderTest, ClosesTheFileOnEveryWayOut) {
    WriteTestZip(Zip(), {{"good.txt", "fine"}, {"../escape.txt", "bad"}});
    const std::size_t LBefore = OpenFileCount(Zip());
    {
        TZipReader LZip(Zip().string());
        EXPECT_GT(OpenFileCount(Zip()), LBefore);
        EXPECT_THROW(LZip.ExtractAll(Target().string()), EZipError);
    }
    EXPECT_EQ(OpenFileCount(Zip()), LBefore);
    {
        TZipReader LZip(Zip().string());
        LZip.Close();
        EXPECT_EQ(OpenFileCount(Zip()), LBefore);
        EXPECT_THROW(LZip.IndexOf("good.txt"), EZipError);
    }
}

// Many entries of many sizes in shared folders. "Unit85.dcu.part" is the name
// the largest entry, "Unit85.dcu", would be written under before its rename,
// and the next in size: another thread writes it while Unit85.dcu is written.
std::vector<TTestZipEntry> ManyEntries() {
    std::vector<TTestZipEntry> LEntries{{"Win32/", ""}, {"Win64/Release/", ""}};
    static const char* CFolders[] = {"Win32/Release/", "Win64/Release/", "Win64/Release/C/hpp/",
                                     "Linux64/Release/", ""};
    for (unsigned LAt = 0; LAt < 120; ++LAt) {
        const std::size_t LSize = LAt == 85       ? 1024 * 1024
                                  : LAt % 17 == 0 ? 300 * 1024 + LAt
                                                  : (LAt * 977) % 9000;
        LEntries.push_back({std::string(CFolders[LAt % 5]) + "Unit" + std::to_string(LAt) +
                                (LAt % 3 == 0 ? ".hpp" : ".dcu"),
                            NoisyText(LSize, LAt)});
    }
    LEntries.push_back({"Win32/Release/Unit85.dcu.part", NoisyText(300 * 1024 + 200, 999)});
    LEntries.push_back({"Win32/Release/empty.dcu", ""});
    return LEntries;
}

TEST_F(ZipReaderTest, ThreadsWriteTheSameFilesAsOneThread) {
    const std::vector<TTestZipEntry> LEntries = ManyEntries();
    WriteTestZip(Zip(), LEntries);
    for (const unsigned LThreads : {1u, 2u, 7u, 0u, 500u}) {
        const fs::path LOut = FTemp.Path() / ("out" + std::to_string(LThreads));
        // An older, longer copy is overwritten whole.
        WriteFileText(LOut / "Win32/Release/Unit85.dcu", std::string(1100000, 'o'));
        TZipReader LZip(Zip().string());
        LZip.SetThreadCount(LThreads);
        LZip.ExtractAll(LOut.string());
        for (const TTestZipEntry& LEntry : LEntries) {
            if (LEntry.Name.back() != '/') {
                // EXPECT_TRUE: a failure prints the name, not a megabyte of data.
                EXPECT_TRUE(ReadFileText(LOut / LEntry.Name) == LEntry.Data)
                    << LThreads << " threads: " << LEntry.Name;
            }
        }
        // Every entry and its folders, nothing else: no temporary file is left.
        std::set<std::string> LExpected;
        for (const TTestZipEntry& LEntry : LEntries) {
            for (std::size_t LAt = LEntry.Name.find('/'); LAt != std::string::npos;
                 LAt = LEntry.Name.find('/', LAt + 1)) {
                LExpected.insert(LEntry.Name.substr(0, LAt + 1));
            }
            LExpected.insert(LEntry.Name);
        }
        EXPECT_EQ(ListTree(LOut), std::vector<std::string>(LExpected.begin(), LExpected.end()))
            << LThreads << " threads";
    }
}

// One entry among many fails: the message is the one a single thread gives,
// and no file is left half written under its final name or a temporary one.
TEST_F(ZipReaderTest, OneFailingEntryAmongManyStopsTheThreads) {
    const struct {
        const char* Label;
        std::function<void(const fs::path&)> Damage;
        const char* Name;
        const char* Reason;
    } LCases[] = {
        {"bad CRC", [](const fs::path& AZip) { SetCrc(AZip, "Win64/Release/Unit51.hpp", 7); },
         "Win64/Release/Unit51.hpp", "CRC error"},
        {"holds more than it declares",
         [](const fs::path& AZip) { SetDeclaredSize(AZip, "Win64/Release/Unit41.dcu", 2000); },
         "Win64/Release/Unit41.dcu", "holds more than the 2000 bytes it declares"},
        {"holds less than it declares",
         [](const fs::path& AZip) { SetDeclaredSize(AZip, "Win32/Release/Unit85.dcu", 1100000); },
         "Win32/Release/Unit85.dcu", "holds less than the 1100000 bytes it declares"},
        {"hostile name",
         [](const fs::path& AZip) {
             RenameEntry(AZip, "Win32/Release/Unit50.dcu", "Win32/Release/../../x.dc");
         },
         "Win32/Release/../../x.dc", "climbs out of the target folder"},
    };
    for (const auto& LCase : LCases) {
        SCOPED_TRACE(LCase.Label);
        fs::remove_all(Target());
        const std::vector<TTestZipEntry> LEntries = ManyEntries();
        WriteTestZip(Zip(), LEntries);
        LCase.Damage(Zip());
        const std::size_t LOpenBefore = OpenFileCount(Zip());
        {
            TZipReader LZip(Zip().string());
            LZip.SetThreadCount(4);
            EXPECT_THAT([&] { LZip.ExtractAll(Target().string()); },
                        testing::ThrowsMessage<EZipError>(AllOf(
                            HasSubstr("\"" + std::string(LCase.Name) + "\""),
                            HasSubstr("\"" + Zip().string() + "\""), HasSubstr(LCase.Reason))));
        }
        EXPECT_EQ(OpenFileCount(Zip()), LOpenBefore);
        EXPECT_FALSE(fs::exists(Target() / LCase.Name));
        // Whatever came out is whole, and no temporary file is left.
        for (const std::string& LFile : ListTree(Target())) {
            if (LFile.back() == '/') {
                continue;
            }
            const auto LEntry = std::find_if(LEntries.begin(), LEntries.end(),
                                             [&](const auto& A) { return A.Name == LFile; });
            ASSERT_NE(LEntry, LEntries.end()) << LFile;
            EXPECT_TRUE(ReadFileText(Target() / LFile) == LEntry->Data) << LFile;
        }
    }
}

struct THostileCase {
    const char* Label;
    TTestZipEntry Entry;
    // A name libzip refuses to write is written as this, of the same length,
    // and then renamed.
    std::string WrittenAs = "";
};

class HostileZipTest : public ZipReaderTest, public testing::WithParamInterface<THostileCase> {};

TEST_P(HostileZipTest, RejectedBeforeAnythingIsWritten) {
    const THostileCase& LCase = GetParam();
    // A harmless entry first: validation must come before any writing.
    TTestZipEntry LWritten = LCase.Entry;
    if (!LCase.WrittenAs.empty()) {
        LWritten.Name = LCase.WrittenAs;
    }
    WriteTestZip(Zip(), {{"Win32/Release/good.bpl", "good"}, LWritten, {"z/later.txt", "z"}});
    if (!LCase.WrittenAs.empty()) {
        RenameEntry(Zip(), LCase.WrittenAs, LCase.Entry.Name);
    }
    const fs::path LTarget = FTemp.Path() / "deep" / "er" / "out";
    fs::create_directories(LTarget);

    TZipReader LZip(Zip().string());
    EXPECT_THAT([&] { LZip.ExtractAll((LTarget / "").string()); },
                testing::ThrowsMessage<EZipError>(HasSubstr("\"" + LCase.Entry.Name + "\"")));
    EXPECT_THAT([&] { LZip.Extract(LCase.Entry.Name, LTarget.string()); },
                testing::ThrowsMessage<EZipError>(HasSubstr("\"" + LCase.Entry.Name + "\"")));

    EXPECT_TRUE(ListTree(LTarget).empty());
    // Nothing landed anywhere else inside the temp folder either.
    EXPECT_EQ(ListTree(FTemp.Path()),
              (std::vector<std::string>{"deep/", "deep/er/", "deep/er/out/", "package.zip"}));
}

const THostileCase CHostileCases[] = {
    {"DotDot", {"../evil.txt", "x"}},
    {"DotDotInside", {"Win32/../../evil.txt", "x"}},
    {"DotDotFolder", {"../evil/", ""}},
    {"Absolute", {"/tmp/orvane-evil.txt", "x"}},
    {"DriveLetter", {"C:/evil.txt", "x"}},
    {"DriveRelative", {"C:evil.txt", "x"}},
    {"BackslashDotDot", {"..\\evil.txt", "x"}},
    {"BackslashInside", {"Win32\\..\\..\\evil.txt", "x"}},
    {"BackslashAbsolute", {"\\evil.txt", "x"}},
    {"UncPath", {"\\\\server\\share\\evil.txt", "x"}},
    {"Symlink", {"Win32/Release/link.bpl", "/etc/passwd", 0120777}},
    // Names Windows opens as devices, changes or refuses: each folder and the
    // file name pass the same check as every name from the server.
    {"Device", {"Win32/Release/COM1.txt", "x"}},
    {"DeviceHeader", {"aux.h", "x"}},
    {"DeviceTwoExtensions", {"nul.tar.gz", "x"}},
    {"DeviceFolder", {"CON/z.txt", "x"}},
    {"SuperscriptDevice", {"Win32/COM\xC2\xB9.bpl", "x"}},
    {"SuperscriptPrinter", {"LPT\xC2\xB3/x.bpl", "x"}},
    {"TrailingDot", {"Win32/Release/good.bpl.", "x"}},
    {"TrailingBlank", {"Win32/Release/good.bpl ", "x"}},
    {"TrailingDotFolder", {"Win32./x.bpl", "x"}},
    {"ReservedCharacters", {"a?b<c>|*\".txt", "x"}},
    // libzip reads other control characters as code page 437 symbols; these
    // three it passes on as they are.
    {"ControlCharacter", {"Win32/a\t.txt", "x"}, "Win32/a_.txt"},
    {"LineBreak", {"Win32/a\r\n.txt", "x"}, "Win32/a__.txt"},
    {"DotSegment", {"Win32/./Release/good.bpl", "x"}},
    {"EmptySegment", {"Win32//good.bpl", "x"}},
    {"TooLongForItsPartName", {"Win32/" + std::string(251, 'n'), "x"}},
    // One file on Windows, two here: the copy would take one, extraction the other.
    {"CaseDuplicate", {"WIN32/RELEASE/GOOD.BPL", "x"}},
    {"BackslashDuplicate", {"Win32\\Release\\good.bpl", "x"}},
};

INSTANTIATE_TEST_SUITE_P(Forms, HostileZipTest, testing::ValuesIn(CHostileCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Label); });

} // namespace
