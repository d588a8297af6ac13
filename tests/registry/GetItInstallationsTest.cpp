#include "RegistryTestSupport.h"

#include "registry/GetItInstallations.h"
#include "registry/RegFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <iterator>
#include <utility>

namespace orvane::test {
namespace {

const std::string kBDS = "SOFTWARE\\Embarcadero\\BDS\\";

std::string Elements(const std::string& AVersion) {
    return kBDS + AVersion + "\\CatalogRepository\\Elements\\";
}

std::string Question(const std::string& AElement) {
    return "A Orvane GetIt Installation exists for BDS " + AElement +
           ". Do you want to remove it now?";
}

// Records the log and the questions; answers from a script (missing answers are No).
struct TSession {
    std::vector<std::string> Log;
    std::vector<std::string> Asked;
    std::deque<bool> Answers;

    void Run(TRegistryStore& AStore, const std::string& ABackupDir) {
        CleanupGetItInstallation(
            AStore, ABackupDir, [this](const std::string& ALine) { Log.push_back(ALine); },
            [this](const std::string& AQuestion) {
                Asked.push_back(AQuestion);
                if (Answers.empty()) {
                    return false;
                }
                const bool answer = Answers.front();
                Answers.pop_front();
                return answer;
            });
    }
};

struct TFixture {
    TTempStore Store;
    std::string BackupDir;
    TFixture() {
        ImportRegFile(*Store, FixturePath("getit.reg"));
        std::filesystem::create_directory(Store.Dir / "backup");
        BackupDir = (Store.Dir / "backup").string() + "/";
    }
};

TEST(GetItInstallations, NoBDSKey) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TTempStore store;
    EXPECT_FALSE(HasGetItInstallation(*store));
    TSession session;
    session.Run(*store, "/backups/");
    EXPECT_EQ(session.Log,
              std::vector<std::string>{
                  "Cleaning up GetIt Installation: /backups/ (temporary download dir)"});
}

TEST(GetItInstallations, VersionsWithoutElements) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TTempStore store;
    ASSERT_TRUE(store->CreateKey(kBDS + "22.0\\Known Packages"));
    ASSERT_TRUE(store->CreateKey(kBDS + "23.0\\CatalogRepository"));
    EXPECT_FALSE(HasGetItInstallation(*store));
    TSession session;
    session.Run(*store, "/b/");
    const std::vector<std::string> expected{
        "Cleaning up GetIt Installation: /b/ (temporary download dir)",
        "Cleaning up registry entry: " + Elements("22.0"),
        "Cleaning up registry entry: " + Elements("23.0"),
    };
    EXPECT_EQ(session.Log, expected);
    EXPECT_TRUE(session.Asked.empty());
}

TEST(GetItInstallations, OnlyElementsStartingWithTheExactMarkerCount) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TFixture f;
    EXPECT_TRUE(HasGetItInstallation(*f.Store));
    for (const auto& key :
         {Elements("22.0") + "Orvane-Framework-5.0", Elements("23.0") + "Orvane-Demos-1.0",
          Elements("23.0") + "Orvane-Framework-5.0"}) {
        ASSERT_TRUE(f.Store->DeleteKey(key)) << key;
    }
    // Left: orvane-extra and MyOrvane-pack.
    EXPECT_FALSE(HasGetItInstallation(*f.Store));
    TSession session;
    session.Run(*f.Store, f.BackupDir);
    EXPECT_TRUE(session.Asked.empty());
    EXPECT_TRUE(f.Store->KeyExists(Elements("22.0") + "orvane-extra"));
    EXPECT_TRUE(f.Store->KeyExists(Elements("22.0") + "MyOrvane-pack"));
}

TEST(GetItInstallations, RemovesEveryAcceptedElementWithItsOwnBackup) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TFixture f;
    TSession session;
    session.Answers = {true, true, true};
    session.Run(*f.Store, f.BackupDir);

    const std::string b = f.BackupDir;
    const std::vector<std::string> expected{
        "Cleaning up GetIt Installation: " + b + " (temporary download dir)",
        "Cleaning up registry entry: " + Elements("21.0"),
        "Cleaning up registry entry: " + Elements("22.0"),
        "Installation exists: Orvane-Framework-5.0",
        "Creating registry backup at: " + b + "Orvane-Framework-5.0.reg",
        "Registry key deleted: Orvane-Framework-5.0",
        "Cleaning up registry entry done: " + Elements("22.0"),
        "Cleaning up registry entry: " + Elements("23.0"),
        "Installation exists: Orvane-Demos-1.0",
        "Creating registry backup at: " + b + "Orvane-Demos-1.0.reg",
        "Registry key deleted: Orvane-Demos-1.0",
        "Installation exists: Orvane-Framework-5.0",
        "Creating registry backup at: " + b + "Orvane-Framework-5.0 (2).reg",
        "Registry key deleted: Orvane-Framework-5.0",
        "Cleaning up registry entry done: " + Elements("23.0"),
    };
    EXPECT_EQ(session.Log, expected);
    const std::vector<std::string> asked{Question("Orvane-Framework-5.0"),
                                         Question("Orvane-Demos-1.0"),
                                         Question("Orvane-Framework-5.0")};
    EXPECT_EQ(session.Asked, asked);
    EXPECT_FALSE(HasGetItInstallation(*f.Store));
    EXPECT_EQ(f.Store->SubKeyNames(kBDS + "22.0\\CatalogRepository\\Elements"),
              (std::vector<std::string>{"MyOrvane-pack", "orvane-extra", "SVGIconImageList-2.4"}));

    // Each backup restores its own element, the two of the same name included.
    const std::pair<const char*, std::string> backups[] = {
        {"Orvane-Framework-5.0.reg", Elements("22.0") + "Orvane-Framework-5.0"},
        {"Orvane-Demos-1.0.reg", Elements("23.0") + "Orvane-Demos-1.0"},
        {"Orvane-Framework-5.0 (2).reg", Elements("23.0") + "Orvane-Framework-5.0"},
    };
    for (const auto& [file, key] : backups) {
        RestoreSavedKey(f.Store, f.Store.Dir / "backup" / file, key);
    }
    EXPECT_EQ(ReadText(*f.Store, Elements("22.0") + "Orvane-Framework-5.0", "Version"), "5.0");
    EXPECT_EQ(ReadText(*f.Store, Elements("23.0") + "Orvane-Framework-5.0", "Version"), "5.1");
    EXPECT_TRUE(f.Store->KeyExists(Elements("22.0") + "Orvane-Framework-5.0\\Files"));
    EXPECT_TRUE(f.Store->KeyExists(Elements("23.0") + "Orvane-Demos-1.0"));
}

TEST(GetItInstallations, DeclinedElementStaysAndIsOfferedAgain) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TFixture f;
    TSession first;
    first.Answers = {false, true, false};
    first.Run(*f.Store, f.BackupDir);
    EXPECT_TRUE(f.Store->KeyExists(Elements("22.0") + "Orvane-Framework-5.0"));
    EXPECT_FALSE(f.Store->KeyExists(Elements("23.0") + "Orvane-Demos-1.0"));
    EXPECT_TRUE(f.Store->KeyExists(Elements("23.0") + "Orvane-Framework-5.0"));
    EXPECT_FALSE(std::filesystem::exists(f.Store.Dir / "backup" / "Orvane-Framework-5.0.reg"));
    EXPECT_TRUE(std::filesystem::exists(f.Store.Dir / "backup" / "Orvane-Demos-1.0.reg"));
    // Declining still logs the element and the end of its IDE version.
    EXPECT_EQ(
        std::count(first.Log.begin(), first.Log.end(), "Installation exists: Orvane-Framework-5.0"),
        2);
    EXPECT_EQ(first.Log.back(), "Cleaning up registry entry done: " + Elements("23.0"));

    EXPECT_TRUE(HasGetItInstallation(*f.Store));
    TSession second;
    second.Run(*f.Store, f.BackupDir);
    EXPECT_EQ(second.Asked, (std::vector<std::string>{Question("Orvane-Framework-5.0"),
                                                      Question("Orvane-Framework-5.0")}));
}

TEST(GetItInstallations, BackupThatCannotBeSavedKeepsTheKeyAndSaysWhy) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TFixture f;
    TSession session;
    session.Answers = {true, true, true};
    const std::string missing = (f.Store.Dir / "no such folder").string() + "/";
    session.Run(*f.Store, missing);
    EXPECT_TRUE(HasGetItInstallation(*f.Store));
    for (const char* key : {"22.0\\CatalogRepository\\Elements\\Orvane-Framework-5.0",
                            "23.0\\CatalogRepository\\Elements\\Orvane-Demos-1.0",
                            "23.0\\CatalogRepository\\Elements\\Orvane-Framework-5.0"}) {
        EXPECT_TRUE(f.Store->KeyExists(kBDS + key)) << key;
    }
    EXPECT_EQ(std::count(session.Log.begin(), session.Log.end(),
                         "Failed to create registry backup for Orvane-Demos-1.0: the folder does "
                         "not exist (registry key kept)"),
              1);
    for (const auto& line : session.Log) {
        EXPECT_EQ(line.find("Registry key deleted"), std::string::npos) << line;
    }
    // Nothing was saved, so the second element of the same name keeps the plain file name.
    EXPECT_EQ(std::count(session.Log.begin(), session.Log.end(),
                         "Creating registry backup at: " + missing + "Orvane-Framework-5.0.reg"),
              2);
}

// Whatever lies in the backup folder under a backup's name stays as it was: an
// older backup (the only copy of a key already gone) or a folder.
TEST(GetItInstallations, AnythingInTheWayOfABackupIsKeptAndTheNextFreeNameTaken) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TFixture f;
    const auto dir = f.Store.Dir / "backup";
    WriteFileBytes(dir / "Orvane-Framework-5.0.reg", "older backup");
    std::filesystem::create_directory(dir / "Orvane-Framework-5.0 (2).reg");
    WriteFileBytes(dir / "Orvane-Framework-5.0 (2).reg" / "inside", "x");
    TSession session;
    session.Answers = {true, false, true};
    session.Run(*f.Store, f.BackupDir);

    EXPECT_EQ(ReadFileBytes(dir / "Orvane-Framework-5.0.reg"), "older backup");
    EXPECT_EQ(ReadFileBytes(dir / "Orvane-Framework-5.0 (2).reg" / "inside"), "x");
    const std::vector<std::string> created{
        "Creating registry backup at: " + f.BackupDir + "Orvane-Framework-5.0 (3).reg",
        "Creating registry backup at: " + f.BackupDir + "Orvane-Framework-5.0 (4).reg"};
    std::vector<std::string> logged;
    std::copy_if(session.Log.begin(), session.Log.end(), std::back_inserter(logged),
                 [](const std::string& ALine) { return ALine.rfind("Creating", 0) == 0; });
    EXPECT_EQ(logged, created);
    EXPECT_FALSE(f.Store->KeyExists(Elements("22.0") + "Orvane-Framework-5.0"));
    EXPECT_FALSE(f.Store->KeyExists(Elements("23.0") + "Orvane-Framework-5.0"));
    RestoreSavedKey(f.Store, dir / "Orvane-Framework-5.0 (3).reg",
                    Elements("22.0") + "Orvane-Framework-5.0");
    RestoreSavedKey(f.Store, dir / "Orvane-Framework-5.0 (4).reg",
                    Elements("23.0") + "Orvane-Framework-5.0");
    EXPECT_EQ(ReadText(*f.Store, Elements("22.0") + "Orvane-Framework-5.0", "Version"), "5.0");
    EXPECT_EQ(ReadText(*f.Store, Elements("23.0") + "Orvane-Framework-5.0", "Version"), "5.1");
}

// Two clean-ups into one folder (two uninstallations, or two runs with the same
// download folder): Yes for 22.0's element, No for 23.0's, then Yes for 23.0's.
// The second backup must not take the place of the first, whose key is gone.
TEST(GetItInstallations, ASecondCleanupKeepsTheFirstCleanupsBackup) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    TFixture f;
    const auto dir = f.Store.Dir / "backup";
    TSession first;
    first.Answers = {true, false, false};
    first.Run(*f.Store, f.BackupDir);
    ASSERT_FALSE(f.Store->KeyExists(Elements("22.0") + "Orvane-Framework-5.0"));
    const std::string firstBackup = ReadFileBytes(dir / "Orvane-Framework-5.0.reg");

    TSession second;
    second.Answers = {false, true};
    second.Run(*f.Store, f.BackupDir);
    ASSERT_FALSE(f.Store->KeyExists(Elements("23.0") + "Orvane-Framework-5.0"));

    EXPECT_EQ(ReadFileBytes(dir / "Orvane-Framework-5.0.reg"), firstBackup);
    RestoreSavedKey(f.Store, dir / "Orvane-Framework-5.0.reg",
                    Elements("22.0") + "Orvane-Framework-5.0");
    RestoreSavedKey(f.Store, dir / "Orvane-Framework-5.0 (2).reg",
                    Elements("23.0") + "Orvane-Framework-5.0");
    EXPECT_EQ(ReadText(*f.Store, Elements("22.0") + "Orvane-Framework-5.0", "Version"), "5.0");
    EXPECT_TRUE(f.Store->KeyExists(Elements("22.0") + "Orvane-Framework-5.0\\Files"));
    EXPECT_EQ(ReadText(*f.Store, Elements("23.0") + "Orvane-Framework-5.0", "Version"), "5.1");
}

// Element names come from whatever wrote the IDE's registry; as file names they
// must stay plain names inside the backup folder.
TEST(GetItInstallations, ElementNamesCannotSteerTheBackupOutOfItsFolder) {
    ORVANE_SKIP_WITHOUT_BACKUP_PRIVILEGES();
    struct TCase {
        std::string Element;
        std::string File;
    };
    const TCase cases[] = {
        {"Orvane-/../../x", "Orvane-_.._.._x.reg"},
        {"Orvane-a:b", "Orvane-a_b.reg"},
        {"Orvane-*", "Orvane-_.reg"},
    };
    TTempStore store;
    for (const auto& c : cases) {
        ASSERT_TRUE(store->CreateKey(Elements("22.0") + c.Element)) << c.Element;
        ASSERT_TRUE(store->SetValue(Elements("22.0") + c.Element, SzValue("Id", c.Element)));
    }
    const auto dir = store.Dir / "a" / "b" / "backup";
    std::filesystem::create_directories(dir);
    TSession session;
    session.Answers = {true, true, true};
    session.Run(*store, dir.string() + "/");

    std::vector<std::string> inFolder;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        inFolder.push_back(entry.path().filename().string());
    }
    std::sort(inFolder.begin(), inFolder.end());
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        expected.push_back(c.File);
        EXPECT_FALSE(store->KeyExists(Elements("22.0") + c.Element)) << c.Element;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(inFolder, expected);
    // Nothing landed above the backup folder.
    for (const auto& above : {store.Dir / "a", store.Dir / "a" / "b"}) {
        std::size_t entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(above)) {
            (void)entry;
            ++entries;
        }
        EXPECT_EQ(entries, 1u) << above.string();
    }
    for (const auto& c : cases) {
        RestoreSavedKey(store, dir / c.File, Elements("22.0") + c.Element);
        EXPECT_EQ(ReadText(*store, Elements("22.0") + c.Element, "Id"), c.Element);
    }
}

} // namespace
} // namespace orvane::test
