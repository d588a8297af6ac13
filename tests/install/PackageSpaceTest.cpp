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
    EXPECT_EQ(LActual,
              (std::vector<std::pair<std::string, std::uint64_t>>{{"/v/", 1337},
                                                                  {LBpl, 100},
                                                                  {LBpl + "Win64" + S, 200},
                                                                  {LDcp, 30},
                                                                  {LDcp + "Win64" + S, 0},
                                                                  {"/bin/", 7}}));
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
