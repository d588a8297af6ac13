#include "RegistryTestSupport.h"

#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/IDEKeys.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegistryBackup.h"
#include "registry/X64Packages.h"
#include "support/RegContents.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

const std::string kBds = "SOFTWARE\\Embarcadero\\BDS\\23.0\\";

std::string Everything(TRegistryStore& AStore) {
    return RegContents(AStore, "SOFTWARE");
}

std::string Bpl(const std::string& AVersion, const std::string& ASub = "") {
    return "/common/" + AVersion + "/Bpl/" + ASub + "Orvane_Core.bpl";
}

// The keys an installation of AVersion changes, with the packages it enters.
std::vector<TBackupKey> InstallKeys(const std::string& AVersion) {
    return IDEBackupKeys(AVersion, {"Win32", "Win64", "Android", "Android64"}, {Bpl(AVersion)},
                         {Bpl(AVersion, "Win64/")});
}

// The registry routines of an installation and of an uninstallation.
void Install(TRegistryStore& AStore, const std::string& AVersion = "23.0") {
    const TKnownPackagePairs pairs{{Bpl(AVersion), "Orvane_Core.bpl"}};
    const std::string dir = "/dl/Orvane/" + AVersion + "/";
    WriteRegistryData(
        AStore, TOrvaneRegistryData::Create(AVersion, "1.4.2", "DEVELOPER", "DEVELOPER", dir));
    RegisterDelphiLibrary(AStore, AVersion, dir, pairs, {"Win32", "Win64"});
    RegisterCppPaths(AStore, AVersion, dir, pairs);
    RegisterX64Packages(AStore, AVersion, {{Bpl(AVersion, "Win64/"), "Orvane_Core.bpl"}});
}

void Uninstall(TRegistryStore& AStore) {
    UnregisterDelphiLibrary(AStore, "23.0");
    UnregisterCppPaths(AStore, "23.0");
    UnregisterX64Packages(AStore, "23.0");
    DeleteRegistryData(AStore, "23.0");
}

TEST(RegistryBackup, KeysOfAVersion) {
    const std::vector<TBackupKey> packages{
        {kBds + "Known Packages", {"/p/A.bpl"}},
        {kBds + "Disabled Packages"},
        {kBds + "Known Packages x64", {"/p/Win64/A.bpl"}},
        {kBds + "Disabled Packages x64"},
    };
    const std::vector<TBackupKey> tail{
        {kBds + "C++\\Paths\\Win32"},
        {kBds + "C++\\Paths\\Win64"},
        {kBds + "C++\\Paths\\Android"},
        // Per version, whole: the step creates or deletes it.
        {"SOFTWARE\\Embarcadero\\Orvane\\23.0", {}, true},
    };
    struct TCase {
        std::vector<std::string> Platforms;
        std::vector<std::string> Libraries;
    } const cases[] = {
        {{}, {}},
        {{"Win32", " Win64 "}, {"Win32", "Win64"}},
        // Android's library key carries its bitness; names twice or empty count once or not at all.
        {{"Android", "", "Win32", "win32", "Android32"}, {"Android32", "Win32"}},
    };
    for (const auto& c : cases) {
        std::vector<TBackupKey> expected = packages;
        for (const auto& library : c.Libraries) {
            // The library routines write "Search Path" also where it was missing.
            expected.push_back({kBds + "Library\\" + library, {"Search Path"}});
        }
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(IDEBackupKeys("23.0", c.Platforms, {"/p/A.bpl"}, {"/p/Win64/A.bpl"}), expected);
    }
}

TEST(RegistryBackup, ImportingTheBackupUndoesInstallationAndUninstallation) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-23.0.reg"));
    ASSERT_FALSE(store->KeyExists("SOFTWARE\\Embarcadero\\Orvane"));

    const std::string beforeInstall = Everything(*store);
    const auto installBackup =
        WriteRegistryBackup(*store, store.Dir / "Backups", "install", InstallKeys("23.0"));
    Install(*store);
    const std::string installed = Everything(*store);
    ASSERT_NE(installed, beforeInstall);

    const auto uninstallBackup = WriteRegistryBackup(*store, store.Dir / "Backups", "uninstall",
                                                     IDEBackupKeys("23.0", KLibraryPlatforms));
    Uninstall(*store);
    ASSERT_NE(Everything(*store), installed);

    ImportRegFile(*store, uninstallBackup);
    EXPECT_EQ(Everything(*store), installed);
    ImportRegFile(*store, installBackup);
    // The record goes; the product key the installation made for it stays,
    // empty, as it may hold other versions' records by the time of a restore.
    EXPECT_TRUE(store->SubKeyNames("SOFTWARE\\Embarcadero\\Orvane").empty());
    EXPECT_TRUE(store->ValueNames("SOFTWARE\\Embarcadero\\Orvane").empty());
    ASSERT_TRUE(store->DeleteKey("SOFTWARE\\Embarcadero\\Orvane"));
    EXPECT_EQ(Everything(*store), beforeInstall);

    // regedit's format: UTF-16LE with a byte-order mark.
    const std::string bytes = ReadFileBytes(installBackup);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFEW\0", 4));
}

// Install 23.0, then 22.0, then bring back the registry of before 23.0's
// installation: 22.0 keeps its record and keys, and 23.0's keys keep what
// others added to them since.
TEST(RegistryBackup, ARestoreLeavesAnotherVersionsInstallationAndOthersValuesAlone) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-22.0.reg"));
    ImportRegFile(*store, FixturePath("ide-23.0.reg"));
    const std::string before23 = RegContents(*store, "SOFTWARE\\Embarcadero\\BDS\\23.0");
    const auto backup23 =
        WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install", InstallKeys("23.0"));
    Install(*store, "23.0");
    WriteRegistryBackup(*store, store.Dir / "Backups", "22.0 install", InstallKeys("22.0"));
    Install(*store, "22.0");
    // The IDE enters a package of its own and a key below a changed one.
    const TRegValue vendor = SzValue("C:\\Vendor\\Grid.bpl", "Vendor grid");
    ASSERT_TRUE(store->SetValue(kBds + "Known Packages", vendor));
    ASSERT_TRUE(store->CreateKey(kBds + "Library\\Win32\\Later"));
    const std::string after22 = RegContents(*store, "SOFTWARE\\Embarcadero\\BDS\\22.0");
    const std::string record22 = RegContents(*store, "SOFTWARE\\Embarcadero\\Orvane\\22.0");

    ImportRegFile(*store, backup23);

    EXPECT_EQ(RegContents(*store, "SOFTWARE\\Embarcadero\\BDS\\22.0"), after22);
    EXPECT_EQ(RegContents(*store, "SOFTWARE\\Embarcadero\\Orvane\\22.0"), record22);
    TOrvaneRegistryData data;
    EXPECT_TRUE(ReadRegistryData(*store, "22.0", data));
    EXPECT_FALSE(ReadRegistryData(*store, "23.0", data));
    // 23.0 is as before its installation, plus what the IDE added since.
    EXPECT_EQ(ReadText(*store, kBds + "Known Packages", vendor.Name), "Vendor grid");
    EXPECT_TRUE(store->KeyExists(kBds + "Library\\Win32\\Later"));
    ASSERT_TRUE(store->DeleteValue(kBds + "Known Packages", vendor.Name));
    ASSERT_TRUE(store->DeleteKey(kBds + "Library\\Win32\\Later"));
    EXPECT_EQ(RegContents(*store, "SOFTWARE\\Embarcadero\\BDS\\23.0"), before23);
}

TEST(RegistryBackup, WhatTheBackupHolds) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-22.0.reg"));
    const std::string known = "SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages";
    const std::string text = RegistryBackupText(
        *store, {{"SOFTWARE\\Embarcadero\\Orvane\\22.0", {}, true},
                 {"SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages x64", {"/x.bpl"}},
                 {known, {"/new/Orvane_Core.bpl", "$(BDS)\\Bin\\dclstd280.bpl"}}});
    std::string values;
    for (const TRegValue& value : store->Values(known)) {
        values += RegValueText(value);
    }
    EXPECT_EQ(text, "Windows Registry Editor Version 5.00\r\n\r\n"
                    // A missing record: only its own key goes on restore.
                    "[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\Orvane\\22.0]\r\n\r\n"
                    // A missing IDE key: never created by a step, nothing to restore.
                    // An existing one: its values, and the deletion of the new one
                    // the step adds; no deletion of the key, so nothing else goes.
                    "[HKEY_CURRENT_USER\\" +
                        known + "]\r\n" + values + "\"/new/Orvane_Core.bpl\"=-\r\n\r\n");
}

// Every value type the IDE's keys can hold, and names with line breaks, come
// back byte for byte through this program's import and, on Windows, through
// regedit's: a key restored whole and one whose values are restored.
TEST(RegistryBackup, EveryValueTypeComesBackThroughTheBackup) {
    const std::string key = "SOFTWARE\\Embarcadero\\OrvaneInterop";
    struct TImporter {
        const char* Name;
        void (*Import)(TTempStore&, const std::filesystem::path&);
    } const importers[] = {
        {"this program", [](TTempStore& AStore,
                            const std::filesystem::path& AFile) { ImportRegFile(*AStore, AFile); }},
#ifdef _WIN32
        {"regedit", ImportWithRegedit},
#endif
    };
    for (const auto& importer : importers) {
        for (const bool whole : {true, false}) {
            SCOPED_TRACE(std::string(importer.Name) + (whole ? ", whole key" : ", values"));
            TTempStore store;
            ImportRegFile(*store, FixturePath("interop.reg"));
            const std::string before = RegContents(*store, key);
            ASSERT_NE(before.find("Line\\nFeed"), std::string::npos) << before;
            const auto backup = WriteRegistryBackup(*store, store.Dir / "Backups", "interop",
                                                    {{key, {"Added"}, whole}});
            ASSERT_NO_FATAL_FAILURE(ChangeAsAStepWould(*store, key, whole));
            ASSERT_NO_FATAL_FAILURE(importer.Import(store, backup));
            EXPECT_EQ(RegContents(*store, key), before);
        }
    }
}

TEST(RegistryBackup, EarlierBackupsAreNeverOverwritten) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-23.0.reg"));
    const auto keys = InstallKeys("23.0");
    const auto first = WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install", keys);
    const std::string firstBytes = ReadFileBytes(first);
    Install(*store);
    const auto second = WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install", keys);
    const auto third = WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install", keys);
    EXPECT_EQ(first.filename().string(), "23.0 install.reg");
    EXPECT_EQ(second.filename().string(), "23.0 install (2).reg");
    EXPECT_EQ(third.filename().string(), "23.0 install (3).reg");
    EXPECT_EQ(ReadFileBytes(first), firstBytes);
    EXPECT_NE(ReadFileBytes(second), firstBytes);
}

TEST(RegistryBackup, AFolderThatCannotBeMadeFailsWithItsName) {
    TTempStore store;
    WriteFileBytes(store.Dir / "Backups", "a file where the folder should be");
    try {
        WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install", {{"SOFTWARE\\X"}});
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("registry backup"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find((store.Dir / "Backups").string()),
                  std::string::npos)
            << error.what();
    }
}

TEST(RegistryBackup, NameCarriesVersionStepAndLocalTime) {
    std::tm time{};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 10;
    time.tm_hour = 13;
    time.tm_min = 45;
    time.tm_sec = 2;
    EXPECT_EQ(BackupBaseName("23.0", "install", time), "23.0 install 2026-12-10 13-45-02");
    time.tm_hour = 0;
    EXPECT_EQ(BackupBaseName("22.0", "uninstall", time), "22.0 uninstall 2026-12-10 00-45-02");
    // A record named by another tool never steers the file name.
    for (const char* name : {"../../x", "/etc/passwd", "C:\\Windows\\x", "23.0 ", "", "22..0"}) {
        EXPECT_EQ(BackupBaseName(name, "uninstall", time),
                  "other version uninstall 2026-12-10 00-45-02")
            << name;
    }
}

} // namespace
} // namespace orvane::test
