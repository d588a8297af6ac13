#include "RegistryTestSupport.h"

#include "platform/SystemFolders.h"
#include "platform/Win32Text.h"
#include "registry/IDELocations.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane::test {
namespace {

const std::string kBDS = "SOFTWARE\\Embarcadero\\BDS\\";

// Drive of the current folder: a path rooted without a drive lands there
// (C: when the tests start below the prefix's drive_c).
std::string CurrentDrive() {
    wchar_t buffer[MAX_PATH];
    const DWORD len = GetCurrentDirectoryW(MAX_PATH, buffer);
    return Narrow(std::wstring(buffer, len)).substr(0, 2);
}

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
        {"no InstallDir", nullptr, CurrentDrive() + "\\"},
        {"rooted without drive", "\\Embarcadero\\22.0", CurrentDrive() + "\\Embarcadero\\"},
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

} // namespace
} // namespace orvane::test
