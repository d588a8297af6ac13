#include "install/PackageRules.h"
#include "platform/Text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace orvane;

namespace {

TEST(PackageRulesTest, FileVersionAndFileName) {
    const struct {
        std::optional<std::string> FileVersion;
        const char* File;
        const char* Version;
        const char* ExpectedVersion;
        const char* ExpectedName;
    } LCases[] = {
        {"1.4.2", "latest", "22.0", "1.4.2", "Orvane_22.0_1.4.2.zip"},
        {std::nullopt, "Orvane_22.0_1.4.2.zip", "22.0", "1.4.2", "Orvane_22.0_1.4.2.zip"},
        {std::nullopt, "", "22.0", "0.0.0.0", ""},
        {std::nullopt, "latest", "23.0", "latest", "Orvane_23.0_latest.zip"},
        {std::nullopt, "Orvane.zip", "22.0", "Orvane", "Orvane.zip"},
        {std::nullopt, "Orvane_1.0_", "22.0", "", "Orvane_1.0_"},
        {std::nullopt, "a_b.zip.zip", "22.0", "b", "a_b.zip.zip"},
        {std::nullopt, "a_b.ZIP", "22.0", "b.ZIP", "a_b.ZIP"},
        {"", "Orvane_22.0_1.4.2.zip", "22.0", "", "Orvane_22.0_1.4.2.zip"},
        {"2.0", "Latest", "22.0", "2.0", "Latest"},
    };
    for (const auto& LCase : LCases) {
        const std::string LVersion = PackageFileVersion(LCase.FileVersion, LCase.File);
        EXPECT_EQ(LVersion, LCase.ExpectedVersion) << LCase.File;
        EXPECT_EQ(PackageFileName(LCase.File, LCase.Version, LVersion), LCase.ExpectedName)
            << LCase.File;
    }
}

TEST(PackageRulesTest, PackageTypeAndLicense) {
    const struct {
        const char* Name;
        TUserMode Mode;
        const char* Type;
    } LCases[] = {
        {"Orvane GAMEPACKAGE 22", imCommercial, "GAMEPACKAGE"},
        {"Orvane GAMEPACKAGE BASICPACKAGE", imDeveloper, "GAMEPACKAGE"},
        {"Orvane BASICPACKAGE", imDeveloper, "BASIC"},
        {"Orvane gamepackage", imDeveloper, "DEVELOPER"},
        {"Orvane gamepackage", imCommercial, ""},
        {"", imDeveloper, "DEVELOPER"},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(PackageType(LCase.Name, LCase.Mode), LCase.Type) << LCase.Name;
    }
    EXPECT_EQ(LicenseWord(imDeveloper), "DEVELOPER");
    EXPECT_EQ(LicenseWord(imCommercial), "COMMERCIAL");
}

TEST(PackageRulesTest, CommaLists) {
    using TList = std::vector<std::string>;
    const struct {
        const char* Text;
        TList Split;
        TList Names;
    } LCases[] = {
        {"Win32,Win64", {"Win32", "Win64"}, {"Win32", "Win64"}},
        {"Win32, Win64 ", {"Win32", " Win64 "}, {"Win32", "Win64"}},
        {"A.bpl,,B.bpl,", {"A.bpl", "", "B.bpl", ""}, {"A.bpl", "B.bpl"}},
        {" , ", {" ", " "}, {}},
        {"", {}, {}},
        {"\tA.bpl\r\n", {"\tA.bpl\r\n"}, {"A.bpl"}},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(SplitCommaList(LCase.Text), LCase.Split) << LCase.Text;
        EXPECT_EQ(CommaListNames(LCase.Text), LCase.Names) << LCase.Text;
    }
}

TEST(PackageRulesTest, DottedVersionComparison) {
    const struct {
        const char* Left;
        const char* Right;
        int Expected;
    } LCases[] = {
        {"1.4.2", "1.4.2", 0},   {"1.10.0", "1.9.0", 1},
        {"1.9.0", "1.10.0", -1}, {"2.0", "1.99.99", 1},
        {"1.4", "1.4.0", 0},     {"1.4.0.1", "1.4", 1},
        {"01.4", "1.4", 0},      {"1.4.2-rc", "1.4.2", 1},
        {"1.4.a", "1.4.b", -1},  {"1.4.10", "1.4.9a", -1},
        {"", "0", -1},           {"99999999999999999999.1", "1.1", 1},
        {"0.0.0.0", "1.0", -1},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(CompareVersions(LCase.Left, LCase.Right), LCase.Expected)
            << LCase.Left << " vs " << LCase.Right;
        EXPECT_EQ(CompareVersions(LCase.Right, LCase.Left), -LCase.Expected)
            << LCase.Right << " vs " << LCase.Left;
    }
}

TEST(PackageRulesTest, PlatformFoldersAndEntries) {
    EXPECT_EQ(PlatformFolder("/c/22.0/", "Bpl", "Win32", '/'), "/c/22.0/Bpl/");
    EXPECT_EQ(PlatformFolder("/c/22.0/", "Bpl", "Win64", '/'), "/c/22.0/Bpl/Win64/");
    EXPECT_EQ(PlatformFolder("/c/22.0/", "Dcp", "win32", '/'), "/c/22.0/Dcp/win32/");
    EXPECT_EQ(PlatformFolder("C:\\c\\", "Dcp", "Android", '\\'), "C:\\c\\Dcp\\Android\\");
    EXPECT_EQ(ReleaseEntryName("Win64", "A.bpl"), "Win64/Release/A.bpl");
}

rapidjson::Document Entry(const std::string& AJson) {
    rapidjson::Document LDocument;
    LDocument.Parse(AJson.c_str());
    EXPECT_FALSE(LDocument.HasParseError()) << AJson;
    return LDocument;
}

// Names that stay inside their folders pass, also those the checks must not
// mistake for paths: "latest", a DLL entry with folders, blanks in lists.
TEST(PackageRulesTest, UsableEntryNamesPassAndControlCharactersShowAsEscapes) {
    const char* const LCases[] = {
        R"({"version": "22.0", "file": "latest", "file_version": "1.4.2"})",
        R"({"file": "Orvane_22.0_1.4.2.zip"})",
        R"({"version": "37.0", "file": "a.zip", "bpls": " A.bpl, B.bpl ,", "dcps": "A.dcp",
            "platforms": " Win32, Win64 ,win32", "dlls": "Win32/Release/Orvane.dll, x\\y.dll"})",
    };
    for (const char* LJson : LCases) {
        EXPECT_EQ(UnusableEntryName(Entry(LJson)), "") << LJson;
    }
    EXPECT_EQ(
        UnusableEntryName(Entry(R"({"version": "22.0", "file": "a.zip", "dcps": "x\u0001y"})")),
        "Unusable \"dcps\" in the package entry: \"x\\x01y\" (it contains a character not "
        "allowed in file names)");
}

// A name the server gives is taken for one kind of file only: the package a
// zip, further DLLs DLLs, whatever else the names say.
TEST(PackageRulesTest, ThePackageIsAZipAndFurtherDllsAreDlls) {
    const struct {
        std::string Members;
        std::string Expected; // "": usable; else the refusal
    } LCases[] = {
        {R"("file": "Orvane.ZIP", "dlls": "Win32/Release/A.DLL")", ""},
        {R"("file": "Orvane-Framework-4.2.reg")",
         "Unusable \"file\" in the package entry: \"Orvane-Framework-4.2.reg\" (not a .zip file "
         "name)"},
        {R"("file": ".zip")",
         "Unusable \"file\" in the package entry: \".zip\" (not a .zip file name)"},
        {R"("file": "zip")",
         "Unusable \"file\" in the package entry: \"zip\" (not a .zip file name)"},
        {R"("file": "a.zip", "dlls": "A.dll,bds.exe")",
         "Unusable \"dlls\" in the package entry: \"bds.exe\" (not a .dll file name)"},
        {R"("file": "a.zip", "dlls": "Win32/Release/dll")",
         "Unusable \"dlls\" in the package entry: \"Win32/Release/dll\" (not a .dll file name)"},
        {R"("file": "a.zip", "dlls": "A.dll.bak")",
         "Unusable \"dlls\" in the package entry: \"A.dll.bak\" (not a .dll file name)"},
        {R"("file": "a.zip", "dlls": "COM0.dll")",
         "Unusable \"dlls\" in the package entry: \"COM0.dll\" (it is a reserved device name)"},
    };
    for (const auto& LCase : LCases) {
        EXPECT_EQ(UnusableEntryName(Entry(R"({"version": "22.0", )" + LCase.Members + "}")),
                  LCase.Expected)
            << LCase.Members;
    }
}

// "AMember": "AValue", for an entry's members.
std::string Quoted(const std::string& AMember, const std::string& AValue) {
    return "\"" + AMember + "\": \"" + AValue + "\"";
}

// "A,A,...": ACount names in one list.
std::string ManyNames(std::size_t ACount, const std::string& AName) {
    std::string LList;
    for (std::size_t LAt = 0; LAt < ACount; ++LAt) {
        LList += (LAt ? "," : "") + AName;
    }
    return LList;
}

// The work per entry grows with names times platforms: both counts are capped
// before any name is looked at, and a huge value is cut where it is shown.
TEST(PackageRulesTest, ListsBeyondWhatAnIdeHasAreRefusedAndLongValuesAreCut) {
    const struct {
        std::string Members;
        std::string Expected; // "": usable; else part of the refusal
    } LCases[] = {
        {Quoted("platforms", ManyNames(KMaxPlatforms, "Win32")), ""},
        {Quoted("platforms", ManyNames(KMaxPlatforms + 1, "Win32")),
         "lists 65 names in \"platforms\", more than an IDE can have (at most 64)"},
        {Quoted("bpls", ManyNames(KMaxNamesPerList, "A.bpl")), ""},
        {Quoted("bpls", ManyNames(KMaxNamesPerList + 1, "A.bpl")), "lists 2001 names in \"bpls\""},
        {Quoted("dcps", ManyNames(KMaxNamesPerList + 1, "A.dcp")), "lists 2001 names in \"dcps\""},
        {Quoted("dlls", ManyNames(KMaxNamesPerList + 1, "A.dll")), "lists 2001 names in \"dlls\""},
        // Checked before the names: a list too long is refused for its length.
        {Quoted("bpls", ManyNames(KMaxNamesPerList + 1, "CON")), "lists 2001 names"},
        {Quoted("bpls", "a.bpl," + std::string(4u << 20, 'x') + "."),
         "\"bpls\" in the package entry: \"" + std::string(KShownValueBytes, 'x') +
             "... (4194305 bytes)\" (the name is too long)"},
    };
    for (const auto& LCase : LCases) {
        const std::string LResult = UnusableEntryName(
            Entry(R"({"version": "22.0", "file": "a.zip", )" + LCase.Members + "}"));
        if (LCase.Expected.empty()) {
            EXPECT_EQ(LResult, "") << LCase.Members.substr(0, 40);
        } else {
            EXPECT_THAT(LResult, testing::HasSubstr(LCase.Expected)) << LCase.Members.substr(0, 40);
        }
        EXPECT_LT(LResult.size(), 400u);
    }
}

} // namespace

namespace {

TEST(PackageRulesTest, ExpectedSha256FromTheEntry) {
    const std::string KDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const struct {
        std::string Members;
        bool Ok;
        std::optional<std::string> Digest;
        const char* ErrorPart;
    } LCases[] = {
        {R"("file": "a.zip")", true, std::nullopt, ""},
        {R"("sha256": ")" + KDigest + "\"", true, KDigest, ""},
        {R"("sha256": "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD")", true,
         KDigest, ""},
        {R"("sha256": "")", false, std::nullopt, "\"sha256\" is not 64 hexadecimal digits: \"\""},
        {R"("sha256": "abc")", false, std::nullopt, ": \"abc\""},
        {R"("sha256": {"a": 1})", false, std::nullopt, "(not text)"},
        {R"("sha256": ")" + std::string(300, 'z') + "\"", false, std::nullopt,
         "zzz... (300 bytes)\""},
    };
    for (const auto& LCase : LCases) {
        rapidjson::Document LEntry;
        LEntry.Parse(("{" + LCase.Members + "}").c_str());
        ASSERT_FALSE(LEntry.HasParseError()) << LCase.Members;
        std::optional<std::string> LDigest = "stale";
        std::string LError;
        EXPECT_EQ(ReadExpectedSha256(LEntry, LDigest, LError), LCase.Ok) << LCase.Members;
        EXPECT_EQ(LDigest, LCase.Digest) << LCase.Members;
        EXPECT_NE(LError.find(LCase.ErrorPart), std::string::npos) << LError;
    }
}

} // namespace
