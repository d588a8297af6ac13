// The installation journal on its own: its self-checking lines, and the undo
// of every kind of change after the process that made them is gone. Qt-free,
// so it also runs under Wine on the real Win32 registry (a scratch key).
#include "install/InstallJournal.h"

#include "../registry/RegistryTestSupport.h"
#include "platform/FileNames.h"
#include "registry/RegistryBackup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace orvane::test {
namespace {

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
    const std::string LKey = "Orvane Journal Test\\Known Packages";
    ASSERT_TRUE(LStore->CreateKey(LKey));
    ASSERT_TRUE(LStore->SetValue(LKey, SzValue("keep", "as it was")));
    const std::string LRegistryBefore = ValuesOf(*LStore, LKey);

    {
        TInstallJournal LJournal = TInstallJournal::Begin(LData, "22.0");
        LJournal.FileWillBeWritten(LIde / "Bpl" / "Orvane_Core.bpl");
        WriteFileBytes(LIde / "Bpl" / "Orvane_Core.bpl", "core32");
        LJournal.CreateFolders(LIde / "Bpl" / "Win64" / "deep");
        LJournal.FileWillBeWritten(LIde / "Bpl" / "Win64" / "deep" / "Orvane_Core.bpl");
        WriteFileBytes(LIde / "Bpl" / "Win64" / "deep" / "Orvane_Core.bpl.part", "half");
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
    ASSERT_EQ(LFound.Records().size(), 6u);
    const TInstallJournal::TRollback LResult = LFound.RollBack(*LStore);

    EXPECT_THAT(LResult.NotUndone, testing::IsEmpty());
    EXPECT_EQ(ReadFileBytes(LIde / "Bpl" / "Orvane_Core.bpl"), LUsers);
    EXPECT_FALSE(fs::exists(LIde / "Bpl" / "Win64"));
    EXPECT_EQ(ValuesOf(*LStore, LKey), LRegistryBefore);
    EXPECT_THAT(TInstallJournal::Unfinished(LData), testing::IsEmpty());
}

// What cannot be undone is named with where its backup is, and the journal
// stays for the next try.
TEST(InstallJournal, AnUndoThatCannotCompleteNamesWhatIsLeft) {
    TTempStore LStore;
    const fs::path LData = LStore.Dir / "data";
    const fs::path LBackup = LStore.Dir / "gone.reg";
    TInstallJournal LJournal = TInstallJournal::Begin(LData, "23.0");
    LJournal.RegistryWillChange(LBackup);

    const TInstallJournal::TRollback LResult = LJournal.RollBack(*LStore);

    ASSERT_EQ(LResult.NotUndone.size(), 1u);
    EXPECT_THAT(LResult.NotUndone[0],
                testing::HasSubstr("their backup is \"" + Utf8FromPath(LBackup) + "\""));
    EXPECT_EQ(TInstallJournal::Unfinished(LData).size(), 1u);
}

} // namespace
} // namespace orvane::test
