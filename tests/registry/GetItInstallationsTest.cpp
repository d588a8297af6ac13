#include "RegistryTestSupport.h"

#include "registry/GetItInstallations.h"
#include "registry/RegFile.h"

#include <gtest/gtest.h>

#include <deque>
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
    TTempStore store;
    EXPECT_FALSE(HasGetItInstallation(*store));
    TSession session;
    session.Run(*store, "/backups/");
    EXPECT_EQ(session.Log,
              std::vector<std::string>{
                  "Cleaning up GetIt Installation: /backups/ (temporary download dir)"});
}

TEST(GetItInstallations, VersionsWithoutElements) {
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
        "Creating registry backup at: " + b + "Orvane-Framework-5.0 (23.0).reg",
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
        {"Orvane-Framework-5.0 (23.0).reg", Elements("23.0") + "Orvane-Framework-5.0"},
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
    EXPECT_NE(std::find(session.Log.begin(), session.Log.end(),
                        "Creating registry backup at: " + missing + "Orvane-Framework-5.0.reg"),
              session.Log.end());
    EXPECT_EQ(
        std::find(session.Log.begin(), session.Log.end(),
                  "Creating registry backup at: " + missing + "Orvane-Framework-5.0 (23.0).reg"),
        session.Log.end());
}

TEST(GetItInstallations, StaleBackupOfTheSameNameIsReplaced) {
    TFixture f;
    const auto stale = f.Store.Dir / "backup" / "Orvane-Demos-1.0.reg";
    WriteFileBytes(stale, "stale");
    TSession session;
    session.Answers = {false, true, false};
    session.Run(*f.Store, f.BackupDir);
    EXPECT_FALSE(f.Store->KeyExists(Elements("23.0") + "Orvane-Demos-1.0"));
    RestoreSavedKey(f.Store, stale, Elements("23.0") + "Orvane-Demos-1.0");
    EXPECT_EQ(ReadText(*f.Store, Elements("23.0") + "Orvane-Demos-1.0", "Id"), "Orvane-Demos-1.0");
}

TEST(GetItInstallations, UndeletableStaleBackupEndsTheCleanup) {
    TFixture f;
    // A folder in the way of the backup file cannot be deleted as a file.
    const auto blocker = f.Store.Dir / "backup" / "Orvane-Framework-5.0.reg";
    std::filesystem::create_directory(blocker);
    WriteFileBytes(blocker / "inside", "x");
    TSession session;
    session.Answers = {true, true, true};
    EXPECT_THROW(session.Run(*f.Store, f.BackupDir), std::runtime_error);
    EXPECT_TRUE(f.Store->KeyExists(Elements("22.0") + "Orvane-Framework-5.0"));
    EXPECT_TRUE(f.Store->KeyExists(Elements("23.0") + "Orvane-Demos-1.0"));
    EXPECT_EQ(session.Asked.size(), 1u);
}

} // namespace
} // namespace orvane::test
