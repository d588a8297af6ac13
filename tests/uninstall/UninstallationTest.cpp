#include "app/Unit2.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/Registry.h"
#include "registry/RegistryStore.h"
#include "support/FileText.h"
#include "support/ForwardingStore.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

using namespace orvane;

namespace {

// Two IDE versions with the framework registered in both: the IDE's own
// entries must survive an uninstallation, the framework's must go.
const char* const KIdeFixture = R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\SOFTWARE\Embarcadero\BDS\22.0\Known Packages]
"$(BDS)\\bin\\dclIndyCore280.bpl"="Indy 10 Core Design Time"
"C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\22.0\\Bpl\\Orvane_Core.bpl"="Orvane_Core.bpl"

[HKEY_CURRENT_USER\SOFTWARE\Embarcadero\BDS\22.0\Disabled Packages]
"C:\\Old\\Orvane_Legacy.bpl"="old"
"$(BDS)\\bin\\dcloffice2k280.bpl"="Office 2000 Servers"

[HKEY_CURRENT_USER\SOFTWARE\Embarcadero\BDS\22.0\Library\Win32]
"Search Path"="$(BDSLIB)\\$(Platform)\\release;C:\\Temp\\Orvane\\22.0\\Win32\\Release\\;"

[HKEY_CURRENT_USER\SOFTWARE\Embarcadero\BDS\22.0\C++\Paths\Win32]
"IncludePath"="$(BDSINCLUDE);C:\\Temp\\Orvane\\22.0\\Win32\\Release\\C\\hpp\\;"
"LibraryPath"="$(BDSLIB)\\$(Platform)\\release;C:\\Temp\\Orvane\\22.0\\Win32\\Release\\C\\lib\\;"

[HKEY_CURRENT_USER\SOFTWARE\Embarcadero\BDS\23.0\Known Packages]
"$(BDS)\\bin\\dclIndyCore290.bpl"="Indy 10 Core Design Time"
"C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\23.0\\Bpl\\Orvane_Core.bpl"="Orvane_Core.bpl"

[HKEY_CURRENT_USER\SOFTWARE\Embarcadero\BDS\23.0\Library\Win64]
"Search Path"="$(BDSLIB)\\$(Platform)\\release;C:\\Temp\\Orvane\\23.0\\Win64\\Release\\;"
)";

class UninstallationTest : public testing::Test {
protected:
    void SetUp() override {
        FStore = OpenSqliteRegistryStore(FTemp / "registry.sqlite");
        ApplyRegFile(*FStore, ParseRegFile(KIdeFixture));
    }

    void Record(const std::string& AIDEVersion, const std::string& AVersion) {
        WriteRegistryData(*FStore, TOrvaneRegistryData::Create(AIDEVersion, AVersion, "DEVELOPER",
                                                               "DEVELOPER",
                                                               DownloadDir() + AIDEVersion + "/"));
    }

    // The uninstallation keeps its registry backups beside the recorded package.
    std::string DownloadDir() const { return (FTemp.Path() / "Orvane").string() + "/"; }

    std::unique_ptr<TForm2> MakeForm() {
        TForm2Options options;
        options.ApiUrl = "http://127.0.0.1:9";
        options.ExeDir = FTemp.Path() / "bin";
        std::filesystem::create_directories(options.ExeDir);
        options.RegistryStore = FStore;
        options.Dialogs = FDialogs;
        return std::make_unique<TForm2>(options);
    }

    std::string SearchPath(const std::string& AKey) {
        TRegistry reg(*FStore, raRead);
        EXPECT_TRUE(reg.OpenKey(AKey, false));
        return reg.ReadString("Search Path");
    }

    std::vector<std::string> ValueNames(const std::string& AKey) {
        return FStore->ValueNames(AKey);
    }

    std::string LogText() { return ReadFileText(FTemp.Path() / "bin" / "install.log"); }

    // Option dialog script: untick the given options, then press the button.
    static TScriptedDialogs::TDialogScript Choose(QStringList AUntick, QString AButton) {
        return [AUntick, AButton](QDialog& ADialog) {
            for (QCheckBox* box : ADialog.findChildren<QCheckBox*>())
                if (AUntick.contains(box->text()))
                    box->setChecked(false);
            return TScriptedDialogs::ClickButton(ADialog, AButton);
        };
    }

    TTempDir FTemp;
    std::shared_ptr<TRegistryStore> FStore;
    std::shared_ptr<TScriptedDialogs> FDialogs = std::make_shared<TScriptedDialogs>();
};

TEST_F(UninstallationTest, NothingRecordedShowsThePlainMessageOnly) {
    auto form = MakeForm();
    form->UninstallButtonClick();
    EXPECT_EQ(FDialogs->Calls(),
              (std::vector<TDialogCall>{{dkMessage, "No installations found to be uninstalled"}}));
}

TEST_F(UninstallationTest, RemovesTheChosenVersionsLastListedFirstAndKeepsTheIdesOwnEntries) {
    Record("22.0", "1.4.2");
    Record("23.0", "1.5.0");
    auto form = MakeForm();
    ASSERT_EQ(form->FInstalledVersions.size(), 2u);

    FDialogs->AnswerDialog([](QDialog& ADialog) {
        // Options in the order of the records, values are the IDE versions.
        QStringList texts;
        for (QCheckBox* box : ADialog.findChildren<QCheckBox*>())
            texts << box->text();
        texts.sort();
        EXPECT_EQ(texts, (QStringList{"22.0 (1.4.2)", "23.0 (1.5.0)"}));
        EXPECT_EQ(ADialog.windowTitle(), "Which versions you would like to uninstall?");
        return TScriptedDialogs::ClickButton(ADialog, "OK");
    });
    form->UninstallButtonClick();

    EXPECT_EQ(FDialogs->Texts(dkMessage), (QStringList{"Version 23.0 successfully uninstalled",
                                                       "Version 22.0 successfully uninstalled"}));
    EXPECT_TRUE(ReadInstalledVersions(*FStore).empty());
    EXPECT_TRUE(FStore->KeyExists("SOFTWARE\\Embarcadero\\Orvane"));

    EXPECT_EQ(ValueNames("SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages"),
              (std::vector<std::string>{"$(BDS)\\bin\\dclIndyCore280.bpl"}));
    EXPECT_EQ(ValueNames("SOFTWARE\\Embarcadero\\BDS\\22.0\\Disabled Packages"),
              (std::vector<std::string>{"$(BDS)\\bin\\dcloffice2k280.bpl"}));
    EXPECT_EQ(SearchPath("SOFTWARE\\Embarcadero\\BDS\\22.0\\Library\\Win32"),
              "$(BDSLIB)\\$(Platform)\\release;");
    EXPECT_EQ(SearchPath("SOFTWARE\\Embarcadero\\BDS\\23.0\\Library\\Win64"),
              "$(BDSLIB)\\$(Platform)\\release;");
    {
        TRegistry reg(*FStore, raRead);
        ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Embarcadero\\BDS\\22.0\\C++\\Paths\\Win32", false));
        EXPECT_EQ(reg.ReadString("IncludePath"), "$(BDSINCLUDE);");
        EXPECT_EQ(reg.ReadString("LibraryPath"), "$(BDSLIB)\\$(Platform)\\release;");
    }

    // Refreshed: back on Welcome with an empty list and Uninstall disabled.
    EXPECT_TRUE(form->FInstalledVersions.empty());
    EXPECT_EQ(form->InstalledVersions->text(), "Installed Versions:\r\n");
    EXPECT_FALSE(form->UninstallButton->isEnabled());

    // Every step is in the log, in order, 23.0 first.
    const std::string log = LogText();
    std::size_t at = 0;
    for (const char* line :
         {"Uninstallation started ...",
          "Cleaning up GetIt Installation: ", "Removing Delphi registry entries for \"23.0\"",
          "Removing CPP registry entries for \"23.0\"", "Removing IDE registry entries done",
          "Deleting Orvane registry entry for \"23.0\"", "Deleting Orvane registry entry done",
          "Uninstallation done", "Removing Delphi registry entries for \"22.0\""}) {
        const std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found;
    }
}

TEST_F(UninstallationTest, CancelRemovesNothingAndDoesNotRefresh) {
    Record("22.0", "1.4.2");
    auto form = MakeForm();
    Record("23.0", "1.5.0"); // recorded behind the window's back
    FDialogs->AnswerDialog(Choose({}, "Cancel"));
    form->UninstallButtonClick();

    EXPECT_TRUE(FDialogs->Texts(dkMessage).isEmpty());
    EXPECT_EQ(ReadInstalledVersions(*FStore).size(), 2u);
    EXPECT_EQ(form->FInstalledVersions.size(), 1u);
}

TEST_F(UninstallationTest, OkWithNothingTickedRemovesNothingButRefreshes) {
    Record("22.0", "1.4.2");
    auto form = MakeForm();
    Record("23.0", "1.5.0");
    FDialogs->AnswerDialog(Choose({"22.0 (1.4.2)"}, "OK"));
    form->UninstallButtonClick();

    EXPECT_TRUE(FDialogs->Texts(dkMessage).isEmpty());
    EXPECT_EQ(ReadInstalledVersions(*FStore).size(), 2u);
    EXPECT_EQ(form->FInstalledVersions.size(), 2u);
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Welcome);
}

TEST_F(UninstallationTest, ASearchPathThatIsNotAStringFailsThatVersionAndKeepsItsRecord) {
    Record("22.0", "1.4.2");
    Record("23.0", "1.5.0");
    TRegValue dword{"Search Path", rtDword, {1, 0, 0, 0}};
    ASSERT_TRUE(FStore->SetValue("SOFTWARE\\Embarcadero\\BDS\\22.0\\Library\\Win32", dword));
    auto form = MakeForm();

    FDialogs->AnswerDialog(Choose({}, "OK"));
    form->UninstallButtonClick();

    EXPECT_EQ(
        FDialogs->Texts(dkMessage),
        (QStringList{"Version 23.0 successfully uninstalled",
                     "Failed to uninstall version 22.0 - Invalid data type for 'Search Path'"}));
    const auto records = ReadInstalledVersions(*FStore);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].IDEVersion, "22.0");
    ASSERT_EQ(form->FInstalledVersions.size(), 1u);
    EXPECT_TRUE(form->UninstallButton->isEnabled());
}

TEST_F(UninstallationTest, GetItElementIsOfferedInEveryRemovalAndADeclineIsNoFailure) {
    Record("22.0", "1.4.2");
    Record("23.0", "1.5.0");
    const std::string element =
        "SOFTWARE\\Embarcadero\\BDS\\23.0\\CatalogRepository\\Elements\\Orvane-Framework-1.4";
    ASSERT_TRUE(FStore->CreateKey(element));
    auto form = MakeForm();

    FDialogs->AnswerDialog(Choose({}, "OK")).AnswerNo().AnswerNo();
    form->UninstallButtonClick();

    const QString question = "A Orvane GetIt Installation exists for BDS Orvane-Framework-1.4. "
                             "Do you want to remove it now?";
    EXPECT_EQ(FDialogs->Texts(dkConfirmationQuestion), (QStringList{question, question}));
    EXPECT_EQ(FDialogs->Texts(dkMessage), (QStringList{"Version 23.0 successfully uninstalled",
                                                       "Version 22.0 successfully uninstalled"}));
    EXPECT_TRUE(FStore->KeyExists(element));
    EXPECT_EQ(FDialogs->PendingAnswers(), 0u);
}

TEST_F(UninstallationTest, AVersionWhoseIdeKeysAreGoneStillSucceeds) {
    Record("30.0", "2.0.0"); // no BDS keys for 30.0 at all
    auto form = MakeForm();
    FDialogs->AnswerDialog(Choose({}, "OK"));
    form->UninstallButtonClick();
    EXPECT_EQ(FDialogs->Texts(dkMessage), (QStringList{"Version 30.0 successfully uninstalled"}));
    EXPECT_TRUE(ReadInstalledVersions(*FStore).empty());
    EXPECT_FALSE(FStore->KeyExists("SOFTWARE\\Embarcadero\\BDS\\30.0"));
}

// Another tool left ORVANE_LICENSE as a DWORD: the window still opens, lists
// the clean record and names the bad one, and Uninstall removes the bad one
// like any other version.
TEST_F(UninstallationTest, ARecordThatCannotBeReadIsListedAndCanBeUninstalled) {
    Record("22.0", "1.4.2");
    Record("23.0", "1.5.0");
    ASSERT_TRUE(FStore->SetValue("SOFTWARE\\Embarcadero\\Orvane\\22.0",
                                 TRegValue{"ORVANE_LICENSE", rtDword, {1, 0, 0, 0}}));
    std::unique_ptr<TForm2> form;
    ASSERT_NO_THROW(form = MakeForm());
    const QStringList lines = form->InstalledVersions->text().split("\r\n");
    ASSERT_EQ(lines.size(), 4); // header, two records, the empty rest after the last CR LF
    EXPECT_EQ(lines[1], "22.0: the record cannot be read (Invalid data type for 'ORVANE_LICENSE')");
    EXPECT_TRUE(lines[2].startsWith("1.5.0 @ 23.0 (")) << lines[2].toStdString();
    EXPECT_TRUE(form->UninstallButton->isEnabled());

    FDialogs->AnswerDialog([](QDialog& ADialog) {
        QStringList texts;
        for (QCheckBox* box : ADialog.findChildren<QCheckBox*>()) {
            texts << box->text();
            box->setChecked(box->text().startsWith("22.0"));
        }
        texts.sort();
        EXPECT_EQ(texts, (QStringList{"22.0 (the record cannot be read)", "23.0 (1.5.0)"}));
        return TScriptedDialogs::ClickButton(ADialog, "OK");
    });
    form->UninstallButton->click();

    EXPECT_EQ(FDialogs->Texts(dkMessage), QStringList{"Version 22.0 successfully uninstalled"});
    EXPECT_FALSE(FStore->KeyExists("SOFTWARE\\Embarcadero\\Orvane\\22.0"));
    EXPECT_EQ(ValueNames("SOFTWARE\\Embarcadero\\BDS\\22.0\\Known Packages"),
              (std::vector<std::string>{"$(BDS)\\bin\\dclIndyCore280.bpl"}));
    EXPECT_EQ(SearchPath("SOFTWARE\\Embarcadero\\BDS\\22.0\\Library\\Win32"),
              "$(BDSLIB)\\$(Platform)\\release;");
    ASSERT_EQ(form->FInstalledVersions.size(), 1u);
    EXPECT_EQ(form->FInstalledVersions[0].IDEVersion, "23.0");
    EXPECT_FALSE(form->InstalledVersions->text().contains("22.0"));
}

// A real SQLite store that goes bad once armed and a record is deleted, as a
// store failing between the removal and the refresh would: the product key can
// no longer be listed.
class TListingFailsStore : public TForwardingStore {
public:
    using TForwardingStore::TForwardingStore;
    bool Armed = false;

    bool DeleteKey(const std::string& AKey) override {
        const bool LDeleted = TForwardingStore::DeleteKey(AKey);
        FBad = FBad || (Armed && AKey.rfind(KProductKey + "\\", 0) == 0);
        return LDeleted;
    }
    std::vector<std::string> SubKeyNames(const std::string& AKey) override {
        if (FBad && AKey == KProductKey)
            throw ERegistryStoreError("Registry store: disk I/O error");
        return TForwardingStore::SubKeyNames(AKey);
    }

private:
    const std::string KProductKey = "SOFTWARE\\Embarcadero\\Orvane";
    bool FBad = false;
};

// The refresh after an uninstallation fails: the old list (with the version
// just removed) must not stay on offer.
TEST_F(UninstallationTest, ARefreshThatFailsLeavesNoStaleListBehind) {
    Record("22.0", "1.4.2");
    Record("23.0", "1.5.0");
    auto failing = std::make_shared<TListingFailsStore>(FStore);
    FStore = failing;
    auto form = MakeForm();
    ASSERT_EQ(form->FInstalledVersions.size(), 2u);

    FDialogs->AnswerDialog([failing](QDialog& ADialog) {
        failing->Armed = true;
        for (QCheckBox* box : ADialog.findChildren<QCheckBox*>())
            box->setChecked(box->text().startsWith("23.0"));
        return TScriptedDialogs::ClickButton(ADialog, "OK");
    });
    form->UninstallButton->click();

    EXPECT_EQ(FDialogs->Texts(dkMessage), QStringList{"Version 23.0 successfully uninstalled"});
    EXPECT_TRUE(form->FInstalledVersions.empty());
    EXPECT_FALSE(form->UninstallButton->isEnabled());
    EXPECT_EQ(form->InstalledVersions->text(),
              "Installed Versions:\r\nThe installation records cannot be read: Registry store: "
              "disk I/O error\r\n");
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Welcome);
    EXPECT_TRUE(form->DeveloperButton->isEnabled());
}

// Log pumps events during the uninstallation; clicks on the Welcome page's
// buttons then must not start a second flow inside the first.
TEST_F(UninstallationTest, ClicksOnTheWelcomePageDuringAnUninstallationDoNothing) {
    Record("22.0", "1.4.2");
    Record("23.0", "1.5.0");
    auto form = MakeForm();
    TForm2* window = form.get();
    std::vector<bool> enabledDuringTheRun;
    FDialogs->AnswerDialog([window, &enabledDuringTheRun](QDialog& ADialog) {
        // Runs at the first pump inside the uninstallation.
        QTimer::singleShot(0, window, [window, &enabledDuringTheRun] {
            for (QPushButton* button :
                 {window->DeveloperButton, window->CommercialButton, window->UninstallButton}) {
                enabledDuringTheRun.push_back(button->isEnabled());
                button->click();
            }
        });
        for (QCheckBox* box : ADialog.findChildren<QCheckBox*>())
            box->setChecked(box->text().startsWith("23.0"));
        return TScriptedDialogs::ClickButton(ADialog, "OK");
    });
    form->UninstallButton->click();

    EXPECT_EQ(enabledDuringTheRun, (std::vector<bool>{false, false, false}));
    // Only the one option dialog and the one result: no second flow asked anything.
    EXPECT_EQ(FDialogs->Calls(), (std::vector<TDialogCall>{
                                     {dkExecDialog, "Which versions you would like to uninstall?"},
                                     {dkMessage, "Version 23.0 successfully uninstalled"}}));
    EXPECT_EQ(form->FCredentials.Package, "");
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Welcome);
    // Restored: the editions again, Uninstall as the refreshed list says.
    EXPECT_TRUE(form->DeveloperButton->isEnabled());
    EXPECT_TRUE(form->CommercialButton->isEnabled());
    EXPECT_TRUE(form->UninstallButton->isEnabled());
    ASSERT_EQ(form->FInstalledVersions.size(), 1u);
}

} // namespace
