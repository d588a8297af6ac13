#include "TestZip.h"

#include "install/FileOperations.h"
#include "install/PackageSpace.h"
#include "platform/SystemFolders.h"

#include <gtest/gtest.h>

using namespace orvane;

namespace {

rapidjson::Document Entry(const std::string& AJson) {
    rapidjson::Document LDocument;
    LDocument.Parse(AJson.c_str());
    EXPECT_FALSE(LDocument.HasParseError()) << AJson;
    return LDocument;
}

TEST(PackageSpaceTest, NeedsFollowWhereEachFileGoes) {
    TTempDir LTemp;
    const auto LZipFile = LTemp.Path() / "p.zip";
    WriteTestZip(LZipFile, {{"Win32/Release/A.bpl", std::string(100, 'a')},
                            {"Win64/Release/A.bpl", std::string(200, 'b')},
                            {"Win32/Release/A.dcp", std::string(30, 'c')},
                            {"Win32/Release/X.dll", std::string(7, 'd')},
                            {"readme.txt", std::string(1000, 'e')}});
    TZipReader LZip(LZipFile.string());
    const auto LEntry = Entry(R"({"bpls": "A.bpl, Missing.bpl", "dcps": "A.dcp",
        "platforms": "Win32, Win64", "dlls": "Win32/Release/X.dll"})");
    const char S = PathDelimiter();
    const std::string LCommon = std::string("/c") + S;

    const std::vector<TSpaceNeed> LNeeds = PackageSpaceNeeds(LZip, LEntry, "/v/", LCommon, "/bin/");

    std::vector<std::pair<std::string, std::uint64_t>> LActual;
    for (const TSpaceNeed& LNeed : LNeeds) {
        LActual.emplace_back(LNeed.Folder, LNeed.Bytes);
    }
    const std::string LBpl = LCommon + "Bpl" + S;
    const std::string LDcp = LCommon + "Dcp" + S;
    // Every file as its drive keeps it: whole clusters and one for its entry.
    const std::uint64_t LUnit = AllocationUnit("/v/");
    const auto A = [LUnit](std::uint64_t ASize) { return AllocatedSize(ASize, LUnit); };
    EXPECT_EQ(LActual, (std::vector<std::pair<std::string, std::uint64_t>>{
                           {"/v/", A(100) + A(200) + A(30) + A(7) + A(1000)},
                           {LBpl, A(100)},
                           {LBpl + "Win64" + S, A(200)},
                           {LDcp, A(30)},
                           {LDcp + "Win64" + S, 0},
                           {"/bin/", A(7)}}));
}

TEST(PackageSpaceTest, AFileTakesWholeClustersAndOneForItsEntry) {
    const struct {
        std::uint64_t Size;
        std::uint64_t Unit;
        std::uint64_t Allocated;
    } LCases[] = {
        {0, 4096, 4096},     {1, 4096, 8192},    {4096, 4096, 8192},
        {4097, 4096, 12288}, {1, 65536, 131072}, {UINT64_MAX, 4096, UINT64_MAX / 4096 * 4096},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(AllocatedSize(LCase.Size, LCase.Unit), LCase.Allocated) << LCase.Size;
    }
    EXPECT_GE(AllocationUnit(TTempDir().Path().string()), 512u);
}

// Tiny files in their tens of thousands: a small zip whose bytes fit easily
// still needs a cluster and an entry per file, and a drive without room for
// that is refused before anything is written.
TEST(PackageSpaceTest, ManyTinyFilesNeedTheirClusters) {
    TTempDir LTemp;
    const auto LZipFile = LTemp.Path() / "tiny.zip";
    WriteManyEntryZip(LZipFile, 20000, "x");
    TZipReader LZip(LZipFile.string());
    const std::string LVersionDir = (LTemp.Path() / "v").string() + PathDelimiter();
    const std::vector<TSpaceNeed> LNeeds =
        PackageSpaceNeeds(LZip, Entry("{}"), LVersionDir, "/c/", "/bin/");
    ASSERT_FALSE(LNeeds.empty());
    EXPECT_EQ(LNeeds[0].Folder, LVersionDir);
    EXPECT_GE(LNeeds[0].Bytes, 20000u * 2 * 512);
    EXPECT_EQ(LNeeds[0].Bytes, 20000u * 2 * AllocationUnit(LVersionDir));

    // 20,000 bytes of data, yet a drive with 20 MB free has no room for them.
    const auto LBefore = SetAvailableSpaceForTests(std::uint64_t{20} << 20);
    EXPECT_THROW(RequireFreeSpace(LNeeds), std::runtime_error);
    SetAvailableSpaceForTests(LBefore);
    EXPECT_FALSE(std::filesystem::exists(LVersionDir));
}

// What a download may take, with and without room kept for a version still
// to be written, on a drive that reports AAvailable free bytes.
TEST(PackageSpaceTest, DownloadLimitLeavesTheMarginAndWhatIsKept) {
    TTempDir LTemp;
    const std::string LDir = LTemp.Path().string();
    const std::uint64_t LCap = SetPackageDownloadCap(10 * KDownloadMargin);
    struct TCase {
        std::uint64_t Available;
        std::uint64_t Reserved;
        std::uint64_t Bytes;
        std::string Reason;
        bool ByReserved = false;
    };
    const std::string CDrive = "the free space of the download folder's drive, less 64.0 MiB";
    for (const TCase& LCase : {
             TCase{100 * KDownloadMargin, 0, 10 * KDownloadMargin, "the most a package can be"},
             TCase{100 * KDownloadMargin, 5 * KDownloadMargin, 10 * KDownloadMargin,
                   "the most a package can be"},
             TCase{5 * KDownloadMargin, 0, 4 * KDownloadMargin, CDrive},
             TCase{5 * KDownloadMargin, 1000, 4 * KDownloadMargin - 1000,
                   CDrive + " and the 1000 bytes the version before it still writes there", true},
             TCase{KDownloadMargin + 1000, 1000, 1,
                   CDrive + " and the 1000 bytes the version before it still writes there", true},
             TCase{KDownloadMargin / 2, 0, 1, CDrive},
         }) {
        SCOPED_TRACE(std::to_string(LCase.Available) + " free, " + std::to_string(LCase.Reserved) +
                     " kept");
        SetAvailableSpaceForTests(LCase.Available);
        const TDownloadLimit LLimit = PackageDownloadLimit(LDir, LCase.Reserved);
        EXPECT_EQ(LLimit.Bytes, LCase.Bytes);
        EXPECT_EQ(LLimit.Reason, LCase.Reason);
        EXPECT_EQ(LLimit.ByReserved, LCase.ByReserved);
    }
    SetAvailableSpaceForTests(std::nullopt);
    SetPackageDownloadCap(LCap);
}

// Only what goes to the download folder's drive is kept free beside a download.
TEST(PackageSpaceTest, NeedsOnTheDriveOfAFolder) {
    TTempDir LTemp;
    const std::string LHere = (LTemp.Path() / "downloads").string();
    const std::vector<TSpaceNeed> LNeeds{{(LTemp.Path() / "v" / "new").string(), 300},
                                         {LTemp.Path().string(), 20}};
    EXPECT_EQ(NeedsOnDriveOf(LNeeds, LHere), 320u);
    EXPECT_EQ(NeedsOnDriveOf({}, LHere), 0u);
#ifndef _WIN32
    // Another file system: /proc is never the temp folder's.
    std::vector<TSpaceNeed> LElsewhere = LNeeds;
    LElsewhere.push_back({"/proc/orvane-none", 5000});
    EXPECT_EQ(NeedsOnDriveOf(LElsewhere, LHere), 320u);
    EXPECT_EQ(NeedsOnDriveOf(LElsewhere, "/proc/orvane-none"), 5000u);
#endif
}

} // namespace
