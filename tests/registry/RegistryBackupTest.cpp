#include "RegistryTestSupport.h"

#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegistryBackup.h"
#include "registry/X64Packages.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

const std::string kBds = "SOFTWARE\\Embarcadero\\BDS\\23.0\\";

std::string Everything(TRegistryStore& AStore) {
    return ExportRegText(AStore, "SOFTWARE");
}

// The registry routines of an installation and of an uninstallation of 23.0.
void Install(TRegistryStore& AStore) {
    const TKnownPackagePairs pairs{{"/common/Bpl/Orvane_Core.bpl", "Orvane_Core.bpl"}};
    WriteRegistryData(AStore, TOrvaneRegistryData::Create("23.0", "1.4.2", "DEVELOPER", "DEVELOPER",
                                                          "/dl/Orvane/23.0/"));
    RegisterDelphiLibrary(AStore, "23.0", "/dl/Orvane/23.0/", pairs, {"Win32", "Win64"});
    RegisterCppPaths(AStore, "23.0", "/dl/Orvane/23.0/", pairs);
    RegisterX64Packages(AStore, "23.0", {{"/common/Bpl/Win64/Orvane_Core.bpl", "Orvane_Core.bpl"}});
}

void Uninstall(TRegistryStore& AStore) {
    UnregisterDelphiLibrary(AStore, "23.0");
    UnregisterCppPaths(AStore, "23.0");
    UnregisterX64Packages(AStore, "23.0");
    DeleteRegistryData(AStore, "23.0");
}

TEST(RegistryBackup, KeysOfAVersion) {
    const std::vector<std::string> common{
        kBds + "Known Packages",
        kBds + "Disabled Packages",
        kBds + "Known Packages x64",
        kBds + "Disabled Packages x64",
    };
    const std::vector<std::string> tail{
        kBds + "C++\\Paths\\Win32",
        kBds + "C++\\Paths\\Win64",
        kBds + "C++\\Paths\\Android",
        "SOFTWARE\\Embarcadero\\Orvane\\23.0",
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
        std::vector<std::string> expected = common;
        for (const auto& library : c.Libraries) {
            expected.push_back(kBds + "Library\\" + library);
        }
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(IDEBackupKeys("23.0", c.Platforms), expected);
    }
}

TEST(RegistryBackup, ImportingTheBackupUndoesInstallationAndUninstallation) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-23.0.reg"));
    const auto keys = IDEBackupKeys("23.0", {"Win32", "Win64", "Android", "Android64"});

    const std::string beforeInstall = Everything(*store);
    const auto installBackup = WriteRegistryBackup(*store, store.Dir / "Backups", "install", keys);
    Install(*store);
    const std::string installed = Everything(*store);
    ASSERT_NE(installed, beforeInstall);

    const auto uninstallBackup =
        WriteRegistryBackup(*store, store.Dir / "Backups", "uninstall", keys);
    Uninstall(*store);
    ASSERT_NE(Everything(*store), installed);

    ImportRegFile(*store, uninstallBackup);
    EXPECT_EQ(Everything(*store), installed);
    ImportRegFile(*store, installBackup);
    EXPECT_EQ(Everything(*store), beforeInstall);

    // regedit's format: UTF-16LE with a byte-order mark.
    const std::string bytes = ReadFileBytes(installBackup);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFEW\0", 4));
}

TEST(RegistryBackup, AMissingKeyIsOnlyDeleted) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-22.0.reg"));
    const std::string text = RegistryBackupText(
        *store, {"SOFTWARE\\Embarcadero\\Orvane\\22.0", "SOFTWARE\\Embarcadero\\Orvane\\23.0",
                 "SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages x64",
                 "SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages"});
    EXPECT_EQ(text.substr(0, text.find("[HKEY")),
              "Windows Registry Editor Version 5.00\r\n\r\n"
              // The product's key did not exist at all: it goes as a whole, once.
              "[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\Orvane]\r\n\r\n"
              "[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages x64]\r\n\r\n"
              "[-HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages]\r\n\r\n");
    EXPECT_NE(text.find("\"$(BDS)\\\\Bin\\\\dclstd280.bpl\"=\"Embarcadero Standard Components\""),
              std::string::npos);
}

TEST(RegistryBackup, EarlierBackupsAreNeverOverwritten) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-23.0.reg"));
    const auto keys = IDEBackupKeys("23.0", {"Win32"});
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
        WriteRegistryBackup(*store, store.Dir / "Backups", "23.0 install", {"SOFTWARE\\X"});
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
}

} // namespace
} // namespace orvane::test
