#include "RegistryTestSupport.h"

#include "platform/SystemFolders.h"
#include "platform/Text.h"
#include "platform/Win32Text.h"
#include "registry/IDELocations.h"
#include "registry/RegFile.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::test {
namespace {

const std::string kBDS = "SOFTWARE\\Embarcadero\\BDS\\";

// The parent-of rule on the real registry and GetFullPathNameW.
TEST(Win32IDELocations, RootDirIsTheParentOfInstallDir) {
    struct TCase {
        const char* Name;
        const char* InstallDir; // nullptr: the key has no InstallDir value
        std::string Expected;
    };
    const TCase cases[] = {
        {"plain", "C:\\Program Files (x86)\\Embarcadero\\Studio\\22.0",
         "C:\\Program Files (x86)\\Embarcadero\\Studio\\"},
        {"trailing backslash", "C:\\Program Files (x86)\\Embarcadero\\Studio\\22.0\\",
         "C:\\Program Files (x86)\\Embarcadero\\Studio\\"},
        {"dot segments", "D:\\Studio\\.\\x\\..\\22.0", "D:\\Studio\\"},
        {"share", "\\\\server\\share\\Studio\\22.0", "\\\\server\\share\\Studio\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(kBDS + "22.0\\Maintenance"));
        if (c.InstallDir != nullptr) {
            ASSERT_TRUE(
                store->SetValue(kBDS + "22.0\\Maintenance", SzValue("InstallDir", c.InstallDir)));
        }
        EXPECT_EQ(GetIDERootDir(*store, "22.0"), c.Expected);
    }
}

// REG_EXPAND_SZ folders come expanded by ExpandEnvironmentStringsW; a folder
// that would land below the current folder or on the current drive's root
// (relative, rooted without a drive, empty) is never taken.
TEST(Win32IDELocations, ExpandableFoldersAreExpandedAndRelativeOnesRefused) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"ORVANE_TEST_PUBLIC", L"C:\\Users\\Public"));
    const std::string maintenance = kBDS + "22.0\\Maintenance";
    const std::string env = kBDS + "22.0\\Environment Variables";
    const auto expandable = [](const std::string& AName, const std::string& AText) {
        return TypedValue(AName, rtExpandSz, SzValue("", AText).Data);
    };
    {
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(maintenance));
        ASSERT_TRUE(store->SetValue(
            maintenance, expandable("InstallDir", "%ORVANE_TEST_PUBLIC%\\Studio\\22.0")));
        ASSERT_TRUE(store->CreateKey(env));
        ASSERT_TRUE(store->SetValue(
            env, expandable("BDSCatalogRepositoryAllUsers",
                            "%ORVANE_TEST_PUBLIC%\\Documents\\Studio\\22.0\\CatalogRepository")));
        EXPECT_EQ(GetIDERootDir(*store, "22.0"), "C:\\Users\\Public\\Studio\\");
        EXPECT_EQ(GetIDECommonDir(*store, "22.0"), "C:\\Users\\Public\\Documents\\Studio\\22.0\\");
    }
    {
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(maintenance));
        EXPECT_THROW(GetIDERootDir(*store, "22.0"), ESilentAbort);
        EXPECT_EQ(FindDefaultIDEDir(*store), std::nullopt);
    }
    for (const char* relative :
         {"\\Embarcadero\\22.0", "Studio\\22.0", "%ORVANE_TEST_UNSET%\\22.0"}) {
        SCOPED_TRACE(relative);
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(maintenance));
        ASSERT_TRUE(store->SetValue(maintenance, expandable("InstallDir", relative)));
        ASSERT_TRUE(store->CreateKey(env));
        ASSERT_TRUE(store->SetValue(env, SzValue("BDSCatalogRepositoryAllUsers", relative)));
        EXPECT_THROW(GetIDERootDir(*store, "22.0"), ERelativeIDEPath);
        EXPECT_THROW(GetIDECommonDir(*store, "22.0"), ERelativeIDEPath);
    }
}

TEST(Win32IDELocations, MissingMaintenanceKeyIsASilentAbort) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey(kBDS + "22.0"));
    EXPECT_THROW(GetIDERootDir(*store, "22.0"), ESilentAbort);
    EXPECT_EQ(FindDefaultIDEDir(*store), std::nullopt);
}

TEST(Win32IDELocations, NewestVersionGivesTheDefaultIDEDir) {
    TTempStore store;
    for (const char* version : {"22.0", "23.0"}) {
        const std::string key = kBDS + version + "\\Maintenance";
        ASSERT_TRUE(store->CreateKey(key));
        ASSERT_TRUE(store->SetValue(
            key, SzValue("InstallDir", std::string("E:\\Studio") + version[1] + "\\" + version)));
    }
    EXPECT_EQ(FindDefaultIDEDir(*store), "E:\\Studio3\\");
}

TEST(Win32IDELocations, CommonDirFromTheCatalogRepositoryOrTheSharedDocuments) {
    TTempStore store;
    const std::string env = kBDS + "22.0\\Environment Variables";
    ASSERT_TRUE(store->CreateKey(env));
    ASSERT_TRUE(store->SetValue(
        env, TypedValue("BDSCatalogRepositoryAllUsers", rtExpandSz,
                        SzValue("", "C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\22.0\\"
                                    "CatalogRepository")
                            .Data)));
    EXPECT_EQ(GetIDECommonDir(*store, "22.0"),
              "C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\22.0\\");

    const std::string documents = GetCommonDocumentsDir();
    ASSERT_FALSE(documents.empty());
    EXPECT_EQ(GetIDECommonDir(*store, "23.0"), documents + "\\Embarcadero\\Studio\\23.0\\");
    ASSERT_TRUE(store->SetValue(env, DwordValue("BDSCatalogRepositoryAllUsers", 1)));
    EXPECT_EQ(GetIDECommonDir(*store, "22.0"), documents + "\\Embarcadero\\Studio\\22.0\\");
    EXPECT_EQ(DefaultDownloadDir(), documents + "\\Orvane\\");
}

// Values as regedit writes them from a .reg file (hex(2) and hex(7): UTF-16
// text) are read as Windows stores them: the catalog folder expands, and a
// list of strings keeps every string.
TEST(Win32IDELocations, ValuesImportedByRegeditAreReadAsWindowsStoresThem) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"ORVANE_TEST_PUBLIC", L"C:\\Users\\Public"));
    TTempStore store;
    const std::string env = kBDS + "22.0\\Environment Variables";
    const TRegValue multi = TypedValue(
        "Paths", rtMultiSz, ToUtf16Le(std::string("C:\\One") + '\0' + "D:\\Two" + '\0', true));
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + env + "]\r\n" +
        RegValueText(
            TypedValue("BDSCatalogRepositoryAllUsers", rtExpandSz,
                       SzValue("", "%ORVANE_TEST_PUBLIC%\\Documents\\Embarcadero\\Studio\\22.0\\"
                                   "CatalogRepository")
                           .Data)) +
        RegValueText(multi);
    const std::filesystem::path file = store.Dir / "catalog.reg";
    std::string error;
    ASSERT_TRUE(WriteNewRegFile(file, text, error)) << error;
    ImportWithRegedit(store, file);

    EXPECT_EQ(GetIDECommonDir(*store, "22.0"),
              "C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\22.0\\");
    const std::optional<TRegValue> read = store->GetValue(env, "Paths");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->Type, rtMultiSz);
    EXPECT_EQ(read->Data, multi.Data);
}

} // namespace
} // namespace orvane::test
