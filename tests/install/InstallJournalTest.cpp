// The installation journal on its own: its self-checking lines, and the undo
// of every kind of change after the process that made them is gone. Qt-free,
// so it also runs under Wine on the real Win32 registry (a scratch key).
#include "install/InstallJournal.h"

#include "../registry/RegistryTestSupport.h"
#include "install/InstallRoots.h"
#include "platform/FileNames.h"
#include "registry/RegFile.h"
#include "registry/RegistryBackup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

namespace fs = std::filesystem;

namespace orvane::test {
namespace {

const std::string CKnownPackages = "SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages";

// What version 22.0 may change: its Bpl and Dcp below AIde, journals in AData.
TInstallRoots RootsIn(const fs::path& AIde, const fs::path& AData) {
    return TInstallRoots("22.0", Utf8FromPath(AIde / ""), AData, "");
}

TEST(InstallJournalLines, RoundTripAndWhatAKillCanLeave) {
    const TRecordLine LOdd{"replaced", {"C:\\A\tB\\new\r\nline", "", "back\\slash\\t"}};
    const TRecordLine LPlain{"created", {"/ide/Bpl/Orvane_Core.bpl"}};
    const std::string LText = EncodeRecordLine(LOdd) + EncodeRecordLine(LPlain);
    EXPECT_EQ(DecodeRecordLines(LText), (std::vector<TRecordLine>{LOdd, LPlain}));

    struct TCase {
        const char* Label;
        std::string Text;
        std::size_t Lines;
    } const LCases[] = {
        {"torn last line", LText + EncodeRecordLine(LPlain).substr(0, 20), 2},
        {"last line without its end", LText.substr(0, LText.size() - 1), 1},
        {"a changed byte",
         [&] {
             std::string LBad = LText;
             LBad[LBad.find("Orvane")] = 'X';
             return LBad;
         }(),
         1},
        {"garbage after the lines", LText + "\x00\x00\x00 zeros\n", 2},
        {"empty", "", 0},
    };
    for (const TCase& LCase : LCases) {
        EXPECT_EQ(DecodeRecordLines(LCase.Text).size(), LCase.Lines) << LCase.Label;
    }
}

// Each kind of change, announced and made, then the process "dies": a new
// reader of the folder undoes them all.
TEST(InstallJournal, AnUnfinishedJournalIsUndoneByTheNextReader) {
    TTempStore LStore;
    const fs::path LData = LStore.Dir / "data";
    const fs::path LIde = LStore.Dir / "ide";
    fs::create_directories(LIde / "Bpl");
    const std::string LUsers("the user's own\r\nbytes\0\x01", 22);
    WriteFileBytes(LIde / "Bpl" / "Orvane_Core.bpl", LUsers);
    const std::string& LKey = CKnownPackages;
    ASSERT_TRUE(LStore->CreateKey(LKey));
    ASSERT_TRUE(LStore->SetValue(LKey, SzValue("keep", "as it was")));
    const std::string LRegistryBefore = ValuesOf(*LStore, LKey);

    {
        TInstallJournal LJournal = TInstallJournal::Begin(LData, "22.0");
        LJournal.FileWillBeWritten(LIde / "Bpl" / "Orvane_Core.bpl");
        WriteFileBytes(LIde / "Bpl" / "Orvane_Core.bpl", "core32");
        LJournal.CreateFolders(LIde / "Bpl" / "Win64");
        LJournal.FileWillBeWritten(LIde / "Bpl" / "Win64" / "Orvane_Core.bpl");
        WriteFileBytes(LIde / "Bpl" / "Win64" / "Orvane_Core.bpl.part", "half");
        const fs::path LBackup = WriteRegistryBackup(*LStore, LStore.Dir / "Backups", "22.0 test",
                                                     {TBackupKey(LKey, {"/ide/Bpl/new.bpl"})});
        LJournal.RegistryWillChange(LBackup);
        ASSERT_TRUE(LStore->SetValue(LKey, SzValue("/ide/Bpl/new.bpl", "new.bpl")));
        ASSERT_TRUE(LStore->SetValue(LKey, SzValue("keep", "changed")));
    }

    const std::vector<fs::path> LUnfinished = TInstallJournal::Unfinished(LData);
    ASSERT_EQ(LUnfinished.size(), 1u);
    TInstallJournal LFound = TInstallJournal::Open(LUnfinished[0]);
    EXPECT_EQ(LFound.IDEVersion(), "22.0");
    ASSERT_EQ(LFound.Records().size(), 5u);
    const TInstallJournal::TRollback LResult = LFound.RollBack(*LStore, RootsIn(LIde, LData));

    EXPECT_THAT(LResult.NotUndone, testing::IsEmpty());
    EXPECT_THAT(LResult.Refused, testing::IsEmpty());
    EXPECT_EQ(ReadFileBytes(LIde / "Bpl" / "Orvane_Core.bpl"), LUsers);
    EXPECT_FALSE(fs::exists(LIde / "Bpl" / "Win64"));
    EXPECT_EQ(ValuesOf(*LStore, LKey), LRegistryBefore);
    EXPECT_THAT(TInstallJournal::Unfinished(LData), testing::IsEmpty());
}

// What cannot be undone is named with where its backup is, and the journal
// stays for the next try. The backup's own folder is not needed: the journal
// keeps its copy.
TEST(InstallJournal, AnUndoThatCannotCompleteNamesWhatIsLeft) {
    TTempStore LStore;
    const fs::path LData = LStore.Dir / "data";
    ASSERT_TRUE(LStore->CreateKey(CKnownPackages));
    ASSERT_TRUE(LStore->SetValue(CKnownPackages, SzValue("keep", "as it was")));
    const fs::path LBackup = WriteRegistryBackup(*LStore, LStore.Dir / "Backups", "22.0 test",
                                                 {TBackupKey(CKnownPackages)});
    TInstallJournal LJournal = TInstallJournal::Begin(LData, "22.0");
    LJournal.RegistryWillChange(LBackup);
    ASSERT_TRUE(LStore->SetValue(CKnownPackages, SzValue("keep", "changed")));
    fs::remove_all(LStore.Dir / "Backups");

    TInstallJournal::TRollback LResult = TInstallJournal::Open(LJournal.Folder())
                                             .RollBack(*LStore, RootsIn(LStore.Dir.Path(), LData));
    EXPECT_THAT(LResult.NotUndone, testing::IsEmpty());
    EXPECT_EQ(ValuesOf(*LStore, CKnownPackages), "keep=as it was\n");

    TInstallJournal LSecond = TInstallJournal::Begin(LData, "22.0");
    const fs::path LBackup2 = WriteRegistryBackup(*LStore, LStore.Dir / "Backups", "22.0 test",
                                                  {TBackupKey(CKnownPackages)});
    LSecond.RegistryWillChange(LBackup2);
    fs::remove(LSecond.Folder() / "registry-1.reg");
    LResult = LSecond.RollBack(*LStore, RootsIn(LStore.Dir.Path(), LData));

    ASSERT_EQ(LResult.NotUndone.size(), 1u);
    EXPECT_THAT(LResult.NotUndone[0],
                testing::HasSubstr("their backup is \"" + Utf8FromPath(LBackup2) + "\""));
    EXPECT_EQ(TInstallJournal::Unfinished(LData).size(), 1u);
}

// A journal written by another process of the user, record by record: what
// lies outside version 22.0's folders and keys stays exactly as it was, what
// lies inside is undone, and the rest of the journal goes on.
TEST(InstallJournal, APlantedJournalTouchesNothingOutsideTheInstallation) {
    TTempStore LStore;
    const fs::path LData = LStore.Dir / "data";
    const fs::path LIde = LStore.Dir / "ide";
    const fs::path LUser = LStore.Dir / "user";
    const fs::path LJournal = LData / "Journals" / "install";
    fs::create_directories(LIde / "Bpl");
    fs::create_directories(LJournal);
    fs::create_directories(LUser / "empty");
    fs::create_directories(LUser / "22.0" / "bin");
    fs::create_directories(LStore.Dir / "bds" / "22.0" / "bin");
    const std::map<fs::path, std::string> LUsersFiles{
        {LUser / "notes.txt", "the user's notes"},
        {LUser / "overwritten.txt", "the user's text"},
        {LUser / "22.0" / "bin" / "tool.exe", "a tool"},
        {LIde / "Bpl" / "other.bpl", "another vendor's package"},
        {LStore.Dir / "bds" / "22.0" / "bin" / "ide.exe", "the IDE"}};
    for (const auto& [LFile, LBytes] : LUsersFiles) {
        WriteFileBytes(LFile, LBytes);
    }
    WriteFileBytes(LIde / "Bpl" / "planted.bpl", "planted");
    WriteFileBytes(LJournal / "kept-1", "evil bytes");
    WriteFileBytes(LUser / "evil", "evil bytes");
    ASSERT_TRUE(LStore->CreateKey("SOFTWARE\\Empty"));
    ASSERT_TRUE(LStore->CreateKey(CKnownPackages));
    WriteFileBytes(LJournal / "registry-1.reg",
                   EncodeRegFileBytes("Windows Registry Editor Version 5.00\r\n\r\n"
                                      "[HKEY_CURRENT_USER\\SOFTWARE\\Evil]\r\n\"a\"=\"b\"\r\n\r\n"
                                      "[HKEY_CURRENT_USER\\" +
                                      CKnownPackages + "]\r\n\"c:\\\\x.bpl\"=\"x\"\r\n"));
    WriteFileBytes(LJournal / "registry-2.reg",
                   EncodeRegFileBytes("Windows Registry Editor Version 5.00\r\n\r\n"
                                      "[-HKEY_CURRENT_USER\\" +
                                      CKnownPackages + "]\r\n"));
    WriteFileBytes(LJournal / "registry-3.reg",
                   EncodeRegFileBytes("Windows Registry Editor Version 5.00\r\n\r\n"
                                      "[HKEY_CURRENT_USER\\" +
                                      CKnownPackages + "]\r\n\"own\"=\"inside\"\r\n"));
    const auto P = [](const fs::path& APath) { return Utf8FromPath(APath); };
    const std::vector<TRecordLine> LRecords{
        {"begin", {"22.0"}},
        {"created", {P(LUser / "notes.txt")}},
        {"created", {P(LIde / "Bpl" / ".." / ".." / "user" / "notes.txt")}},
        {"created", {"notes.txt"}},
        {"created", {P(LUser / "22.0" / "bin" / "tool.exe")}},
        {"created", {P(LStore.Dir / "bds" / "22.0" / "bin" / "ide.exe")}},
        {"folder", {P(LUser / "empty")}},
        {"folder", {P(LUser / "notes.txt")}},
        {"replaced", {P(LUser / "overwritten.txt"), "kept-1"}},
        {"replaced", {P(LIde / "Bpl" / "other.bpl"), P(LUser / "evil")}},
        {"registry", {P(LUser / "evil")}},
        {"registry", {"registry-1.reg"}},
        {"registry", {"registry-2.reg"}},
        {"registry", {"registry-3.reg", "", "SOFTWARE\\Empty"}},
        {"created", {P(LIde / "Bpl" / "planted.bpl")}},
    };
    std::string LText;
    for (const TRecordLine& LRecord : LRecords) {
        LText += EncodeRecordLine(LRecord);
    }
    WriteFileBytes(LJournal / "journal", LText);

    const TInstallJournal::TRollback LResult =
        TInstallJournal::Open(LJournal).RollBack(*LStore, RootsIn(LIde, LData));

    for (const auto& [LFile, LBytes] : LUsersFiles) {
        EXPECT_EQ(ReadFileBytes(LFile), LBytes) << LFile;
    }
    EXPECT_TRUE(fs::is_directory(LUser / "empty"));
    EXPECT_FALSE(LStore->KeyExists("SOFTWARE\\Evil"));
    EXPECT_TRUE(LStore->KeyExists("SOFTWARE\\Empty"));
    EXPECT_TRUE(LStore->KeyExists(CKnownPackages));
    EXPECT_EQ(ValuesOf(*LStore, CKnownPackages), "own=inside\n");
    EXPECT_EQ(LResult.Refused.size(), 13u) << testing::PrintToString(LResult.Refused);
    EXPECT_THAT(LResult.NotUndone, testing::IsEmpty());
    // Inside version 22.0's own folders the journal is acted on as written.
    EXPECT_FALSE(fs::exists(LIde / "Bpl" / "planted.bpl"));
    EXPECT_FALSE(fs::exists(LJournal));
}

} // namespace
} // namespace orvane::test
