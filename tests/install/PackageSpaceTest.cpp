#include "TestZip.h"

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

} // namespace
