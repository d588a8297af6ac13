#include "RegistryTestSupport.h"

#include "registry/IDELocations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace orvane::test {
namespace {

const std::string kBDS = "SOFTWARE\\Embarcadero\\BDS\\";

void SetInstallDir(TRegistryStore& AStore, const std::string& AVersion, const std::string& ADir) {
    ASSERT_TRUE(AStore.CreateKey(kBDS + AVersion + "\\Maintenance"));
    ASSERT_TRUE(AStore.SetValue(kBDS + AVersion + "\\Maintenance", SzValue("InstallDir", ADir)));
}

TEST(IDELocations, DefaultIDEDirIsTheNewestInstalledVersion) {
    struct TCase {
        const char* Name;
        std::map<std::string, std::string> InstallDirs;
        std::optional<std::string> Expected;
    };
    const std::vector<TCase> cases{
        {"23.0 over 22.0",
         {{"22.0", "/opt/Studio/22.0"}, {"23.0", "/srv/Studio/23.0"}},
         "/srv/Studio/"},
        {"only 18.0", {{"18.0", "/opt/Studio/18.0"}}, std::nullopt},
        {"37.0, the IDE after 23.0", {{"23.0", "/a/23.0"}, {"37.0", "/b/37.0"}}, "/b/"},
        {"40.0 is the highest candidate", {{"40.0", "/c/40.0"}, {"41.0", "/d/41.0"}}, "/c/"},
        {"41.0 alone is not looked at", {{"41.0", "/d/41.0"}}, std::nullopt},
        {"19.0 is the lowest candidate", {{"19.0", "/e/19.0/"}}, "/e/"},
        {"versions that are not n.0 are ignored", {{"22.1", "/f/22.1"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        TTempStore store;
        for (const auto& [version, dir] : c.InstallDirs) {
            SetInstallDir(*store, version, dir);
        }
        EXPECT_EQ(FindDefaultIDEDir(*store), c.Expected) << c.Name;
    }
}

TEST(IDELocations, FailingCandidateFallsToTheNextLower) {
    TTempStore store;
    SetInstallDir(*store, "22.0", "/opt/Studio/22.0");
    ASSERT_TRUE(store->CreateKey(kBDS + "23.0\\Maintenance"));
    ASSERT_TRUE(store->SetValue(kBDS + "23.0\\Maintenance", DwordValue("InstallDir", 1)));
    EXPECT_EQ(FindDefaultIDEDir(*store), "/opt/Studio/");
}

TEST(IDELocations, RootDirIsTheParentOfInstallDir) {
    struct TCase {
        std::string InstallDir;
        std::string Expected;
    } const cases[] = {
        {"/opt/Embarcadero/Studio/22.0", "/opt/Embarcadero/Studio/"},
        {"/opt/Embarcadero/Studio/22.0/", "/opt/Embarcadero/Studio/"},
        {"/opt/./Embarcadero//Studio/x/../22.0", "/opt/Embarcadero/Studio/"},
        {"/22.0", "/"},
    };
    for (const auto& c : cases) {
        TTempStore store;
        SetInstallDir(*store, "22.0", c.InstallDir);
        EXPECT_EQ(GetIDERootDir(*store, "22.0"), c.Expected) << c.InstallDir;
    }
}

// Folders the IDE keeps as REG_EXPAND_SZ are expanded; an empty or relative
// one is never taken below the folder the installer runs in (nor, empty, as
// the drive's root): empty counts as missing, relative is refused by name.
TEST(IDELocations, IDEPathsAreExpandedAndNeverTakenBelowTheCurrentFolder) {
    setenv("XDG_DOCUMENTS_DIR", "/home/u/Docs", 1);
    setenv("ORVANE_TEST_PUBLIC", "/users/public", 1);
    unsetenv("ORVANE_TEST_UNSET");
    const std::string maintenance = kBDS + "22.0\\Maintenance";
    const std::string env = kBDS + "22.0\\Environment Variables";
    const auto expandable = [](const std::string& AName, const std::string& AText) {
        return TypedValue(AName, rtExpandSz, SzValue("", AText).Data);
    };
    {
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(maintenance));
        ASSERT_TRUE(store->SetValue(maintenance,
                                    expandable("InstallDir", "%ORVANE_TEST_PUBLIC%/Studio/22.0")));
        ASSERT_TRUE(store->CreateKey(env));
        ASSERT_TRUE(store->SetValue(
            env, expandable("BDSCatalogRepositoryAllUsers",
                            "%ORVANE_TEST_PUBLIC%/Documents/Studio/22.0/CatalogRepository")));
        EXPECT_EQ(GetIDERootDir(*store, "22.0"), "/users/public/Studio/");
        EXPECT_EQ(GetIDECommonDir(*store, "22.0"), "/users/public/Documents/Studio/22.0/");
        // A plain string is taken as it is, and an unknown name stays.
        ASSERT_TRUE(
            store->SetValue(maintenance, SzValue("InstallDir", "/a/%ORVANE_TEST_PUBLIC%/22.0")));
        EXPECT_EQ(GetIDERootDir(*store, "22.0"), "/a/%ORVANE_TEST_PUBLIC%/");
        ASSERT_TRUE(store->SetValue(maintenance,
                                    expandable("InstallDir", "/b/%ORVANE_TEST_UNSET%/%/22.0")));
        EXPECT_EQ(GetIDERootDir(*store, "22.0"), "/b/%ORVANE_TEST_UNSET%/%/");
    }
    {
        // Empty: as if missing. The root dir's candidate fails silently, the
        // common dir falls back to the documents folder.
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(maintenance));
        ASSERT_TRUE(store->CreateKey(env));
        ASSERT_TRUE(store->SetValue(env, SzValue("BDSCatalogRepositoryAllUsers", "")));
        EXPECT_THROW(GetIDERootDir(*store, "22.0"), ESilentAbort);
        EXPECT_EQ(FindDefaultIDEDir(*store), std::nullopt);
        EXPECT_EQ(GetIDECommonDir(*store, "22.0"), "/home/u/Docs/Embarcadero/Studio/22.0/");
    }
    for (const std::string& relative :
         {std::string("relative/22.0"), std::string("%ORVANE_TEST_UNSET%/22.0")}) {
        SCOPED_TRACE(relative);
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(maintenance));
        ASSERT_TRUE(store->SetValue(maintenance, expandable("InstallDir", relative)));
        ASSERT_TRUE(store->CreateKey(env));
        ASSERT_TRUE(store->SetValue(env, expandable("BDSCatalogRepositoryAllUsers", relative)));
        try {
            GetIDECommonDir(*store, "22.0");
            ADD_FAILURE() << "no error";
        } catch (const ERelativeIDEPath& e) {
            EXPECT_EQ(std::string(e.what()),
                      "The registry value \"BDSCatalogRepositoryAllUsers\" of "
                      "HKEY_CURRENT_USER\\" +
                          env + "\\ is not an absolute folder: \"" + relative + "\"");
        }
        EXPECT_THROW(GetIDERootDir(*store, "22.0"), ERelativeIDEPath);
        EXPECT_EQ(FindDefaultIDEDir(*store), std::nullopt);
    }
}

TEST(IDELocations, RootDirOfAMissingVersionIsASilentAbort) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey(kBDS + "22.0"));
    try {
        GetIDERootDir(*store, "22.0");
        ADD_FAILURE() << "no abort";
    } catch (const ESilentAbort& e) {
        EXPECT_STREQ(e.what(),
                     "registry key missing: SOFTWARE\\Embarcadero\\BDS\\22.0\\Maintenance\\");
    }
}

TEST(IDELocations, CommonDirFromTheCatalogRepositoryOrTheDocumentsFolder) {
    setenv("XDG_DOCUMENTS_DIR", "/home/u/Docs", 1);
    const std::string env = kBDS + "22.0\\Environment Variables";
    struct TCase {
        const char* Name;
        bool CreateKey;
        std::optional<TRegValue> Value;
        std::string Expected;
    };
    const std::vector<TCase> cases{
        {"catalog repository", true,
         SzValue("BDSCatalogRepositoryAllUsers", "/pub/Embarcadero/Studio/22.0/CatalogRepository"),
         "/pub/Embarcadero/Studio/22.0/"},
        {"expandable text without a variable", true,
         TypedValue("BDSCatalogRepositoryAllUsers", rtExpandSz, SzValue("", "/pub/$(X)/Repo").Data),
         "/pub/$(X)/"},
        {"no Environment Variables key", false, std::nullopt,
         "/home/u/Docs/Embarcadero/Studio/22.0/"},
        {"value of another type", true, DwordValue("BDSCatalogRepositoryAllUsers", 5),
         "/home/u/Docs/Embarcadero/Studio/22.0/"},
        {"key without the value", true, std::nullopt, "/home/u/Docs/Embarcadero/Studio/22.0/"},
    };
    for (const auto& c : cases) {
        TTempStore store;
        if (c.CreateKey) {
            ASSERT_TRUE(store->CreateKey(env));
        }
        if (c.Value) {
            ASSERT_TRUE(store->SetValue(env, *c.Value));
        }
        EXPECT_EQ(GetIDECommonDir(*store, "22.0"), c.Expected) << c.Name;
    }
}

TEST(IDELocations, FallbacksWithoutADocumentsFolder) {
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("HOME");
    setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
    TTempStore store;
    EXPECT_EQ(GetIDECommonDir(*store, "22.0"), "/Embarcadero/Studio/22.0/");
    EXPECT_EQ(DefaultDownloadDir(), "/Orvane/");
}

TEST(IDELocations, DefaultDownloadDirIsBelowTheDocumentsFolder) {
    setenv("XDG_DOCUMENTS_DIR", "/home/u/Docs/", 1);
    EXPECT_EQ(DefaultDownloadDir(), "/home/u/Docs/Orvane/");
}

} // namespace
} // namespace orvane::test
