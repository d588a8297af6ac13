// The 64-bit IDE's package lists, the running-IDE question, registry backups,
// verified downloads and the transfer text, through the real window against
// the local API server and a sandboxed IDE 23.0 with both IDEs' keys.
#include "TestZip.h"

#include "app/PackageList.h"
#include "app/ProgressText.h"
#include "app/Unit2.h"
#include "install/InstallJournal.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "server/Protocol.h"
#include "server/Sha256.h"
#include "support/LocalApiServer.h"
#include "support/RegContents.h"
#include "support/ScopedEnv.h"
#include "support/ScriptedDialogs.h"
#include "support/StandInProcess.h"
#include "support/TestForm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>

#include <unistd.h>

namespace fs = std::filesystem;
using testing::AllOf;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string CKnown64 = "SOFTWARE\\Embarcadero\\BDS\\23.0\\Known Packages x64";
const std::string CDisabled64 = "SOFTWARE\\Embarcadero\\BDS\\23.0\\Disabled Packages x64";
const std::string CProductKey = "SOFTWARE\\Embarcadero\\Orvane";

std::vector<TTestZipEntry> Package() {
    return {{"Win32/Release/Orvane_Core.bpl", "core32"},
            {"Win64/Release/Orvane_Core.bpl", "core64"},
            {"Win64/Release/Orvane_Design.bpl", "design64"},
            {"Win32/Release/Orvane_Core.dcp", "dcp32"},
            {"Win32/Release/C/hpp/Orvane.hpp", std::string(300000, 'h')}};
}

std::string ShaOf(const std::string& ABytes) {
    auto LHasher = orvane::NewSha256Hasher();
    LHasher->Update(ABytes.data(), ABytes.size());
    return LHasher->HexDigest();
}

bool Matches(const QString& AText, const QString& APattern) {
    return QRegularExpression(QStringLiteral("^(?:%1)$").arg(APattern)).match(AText).hasMatch();
}

class InstallSafeguardsTest : public testing::Test {
protected:
    void SetUp() override { Fresh(); }

    // A new window on a new store seeded with the IDE, and no files written yet.
    void Fresh() {
        FForm.reset();
        FStore.reset();
        for (const char* LPart : {"downloads", "common", "registry.sqlite", "exe/install.log"}) {
            fs::remove_all(FTemp.Path() / LPart);
        }
        WriteFileText(FTemp.Path() / "exe" / "libeay32.dll", "libeay");
        WriteFileText(FTemp.Path() / "exe" / "ssleay32.dll", "ssleay");
        fs::create_directories(FTemp.Path() / "ide" / "23.0" / "bin");
        FStore = orvane::OpenSqliteRegistryStore(FTemp.Path() / "registry.sqlite");
        orvane::ImportRegFile(*FStore, TLocalApiServer::SourceDir() / "tests" / "registry" /
                                           "fixtures" / "ide-23.0.reg");
        ASSERT_TRUE(FStore->SetValue("SOFTWARE\\Embarcadero\\BDS\\23.0\\Environment Variables",
                                     {"BDSCatalogRepositoryAllUsers", orvane::rtSz,
                                      orvane::ToUtf16Le(CommonDir() + "CatalogRepository", true)}));
        CreateForm();
    }

    void CreateForm() {
        TForm2Options LOptions;
        LOptions.ApiUrl = FServer.BaseUrl();
        LOptions.ExeDir = FTemp.Path() / "exe";
        LOptions.RegistryStore = FStore;
        LOptions.Dialogs = FDialogs;
        LOptions.IDEProcessName = IDEName();
        FForm = std::make_unique<TForm2>(LOptions);
    }

    // Unique per process, so tests running side by side do not see each other's IDE.
    static std::string IDEName() { return "bds-" + std::to_string(getpid()) + ".exe"; }

    std::string Root() const { return DirText(FTemp.Path()); }
    std::string DownloadDir() const { return Root() + "downloads/"; }
    std::string CommonDir() const { return Root() + "common/23.0/"; }
    fs::path Backups() const { return FTemp.Path() / "downloads" / "Backups"; }

    std::string ServePackage(const std::string& AName) {
        const fs::path LZip = FTemp.Path() / "made" / AName;
        fs::create_directories(LZip.parent_path());
        WriteTestZip(LZip, Package());
        FServer.WriteFile(AName, ReadFileText(LZip));
        return orvane::Sha256OfFile(LZip);
    }

    // Lists one entry on the Versions page as the configuration download does,
    // accepts the terms and ticks it.
    void ListAndTick(const std::string& AMembers) {
        FForm->SwitchPage(wpVersions);
        FForm->Edit1->setText(QString::fromStdString(Root() + "ide/"));
        FForm->Edit2->setText(QString::fromStdString(DownloadDir()));
        FForm->ListBox1->clear();
        FForm->FConfig = std::make_unique<rapidjson::Document>();
        const std::string LText = R"({"ide": [{"name": "Orvane 23", "version": "23.0",
            "url": "file/", "bpls": "Orvane_Core.bpl,Orvane_Design.bpl", "dcps": "Orvane_Core.dcp",
            )" + AMembers + "}]}";
        FForm->FConfig->Parse<orvane::KAnswerParseFlags>(LText.c_str());
        ASSERT_FALSE(FForm->FConfig->HasParseError()) << LText;
        auto* LItem = new QListWidgetItem(QStringLiteral("Orvane 23"), FForm->ListBox1);
        LItem->setFlags(LItem->flags() | Qt::ItemIsUserCheckable);
        LItem->setCheckState(Qt::Checked);
        TForm2AttachEntry(LItem, &(*FForm->FConfig)["ide"][0]);
        FForm->CheckBox1->setChecked(true);
    }

    // Values in name order: a restore may re-create a value at the end of its key.
    std::string Everything() { return RegContents(*FStore, "SOFTWARE"); }

    std::vector<std::string> Names(const std::string& AKey) {
        auto LNames = FStore->ValueNames(AKey);
        std::sort(LNames.begin(), LNames.end());
        return LNames;
    }

    std::vector<fs::path> BackupFiles() const {
        std::vector<fs::path> LFiles;
        if (fs::is_directory(Backups())) {
            for (const auto& LEntry : fs::directory_iterator(Backups())) {
                LFiles.push_back(LEntry.path());
            }
        }
        std::sort(LFiles.begin(), LFiles.end());
        return LFiles;
    }

    QString LogText() const {
        return QString::fromStdString(ReadFileText(FTemp.Path() / "exe" / "install.log"));
    }

    // Uninstalls 23.0 through the Welcome page's button and its option dialog;
    // AIDEAnswer answers the running-IDE question.
    void Uninstall(std::optional<int> AIDEAnswer = std::nullopt) {
        FForm->RefreshInstalledVersions();
        FDialogs->AnswerDialog(
            [](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "OK"); });
        if (AIDEAnswer) {
            FDialogs->AnswerQuestion(*AIDEAnswer);
        }
        FForm->UninstallButtonClick();
    }

    QString DoneText() const { return FForm->Label4->text(); }

    TTempDir FTemp;
    TLocalApiServer FServer;
    std::shared_ptr<orvane::TRegistryStore> FStore;
    std::shared_ptr<TScriptedDialogs> FDialogs = std::make_shared<TScriptedDialogs>();
    std::unique_ptr<TForm2> FForm;
};

TEST_F(InstallSafeguardsTest, InstallAndUninstallRegisterThe64BitIDEAndLeaveRestorableBackups) {
    const std::string LSha = ServePackage("Orvane_23.0_2.0.zip");
    // Upper case is as good as lower case.
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32, Win64", "sha256": ")" +
                QString::fromStdString(LSha).toUpper().toStdString() + "\"");
    const std::string LBeforeInstall = Everything();

    FForm->InstallButtonClick();

    const QString LThanks =
        QStringLiteral("Thank you for installing Orvane! You can now start working!");
    ASSERT_EQ(DoneText(), LThanks) << LogText().toStdString();
    EXPECT_TRUE(FDialogs->Calls().empty());
    // The 64-bit IDE loads the Win64 BPLs; the other vendor's packages stay.
    const std::string LBpl64 = CommonDir() + "Bpl/Win64/";
    EXPECT_EQ(Names(CKnown64), (std::vector<std::string>{
                                   "$(BDS)\\Bin64\\dclstd290.bpl",
                                   LBpl64 + "Orvane_Core.bpl",
                                   LBpl64 + "Orvane_Design.bpl",
                                   "C:\\Vendor\\Bpl\\Win64\\VendorGrid290.bpl",
                                   "C:\\Vendor\\Bpl\\Win64\\orvane_lookalike.bpl",
                               }));
    EXPECT_EQ(Names(CDisabled64),
              (std::vector<std::string>{"C:\\Vendor\\Bpl\\Win64\\VendorCharts290.bpl"}));
    EXPECT_EQ(ReadFileText(LBpl64 + "Orvane_Design.bpl"), "design64");
    EXPECT_THAT(LogText().toStdString(), HasSubstr("Editing 64-bit IDE registry entries done."));

    // One backup; it names version and step, and the Done page names its folder.
    const auto LInstallBackups = BackupFiles();
    ASSERT_EQ(LInstallBackups.size(), 1u);
    EXPECT_TRUE(Matches(QString::fromStdString(LInstallBackups[0].filename().string()),
                        QStringLiteral(R"(23\.0 install \d{4}-\d\d-\d\d \d\d-\d\d-\d\d\.reg)")))
        << LInstallBackups[0];
    EXPECT_THAT(LogText().toStdString(),
                HasSubstr("Registry backup written to \"" + LInstallBackups[0].string() + "\""));
    EXPECT_FALSE(FForm->BackupsLabel->isHidden());
    EXPECT_THAT(FForm->BackupsLabel->text().toStdString(), HasSubstr(Backups().string()));
    // The transfer line ends with the whole file; the status line still shows the log's last line.
    EXPECT_TRUE(Matches(FForm->TransferLabel->text(),
                        QStringLiteral(R"(([0-9.]+ [KM]?B) of \1(, [0-9.]+ [KM]?B/s)?)")))
        << FForm->TransferLabel->text().toStdString();
    EXPECT_EQ(FForm->ProgressLabel->text(), QStringLiteral("Installation done."));

    const std::string LInstalled = Everything();
    Uninstall();
    EXPECT_EQ(FDialogs->Texts(dkMessage),
              QStringList{QStringLiteral("Version 23.0 successfully uninstalled")});
    EXPECT_EQ(Names(CKnown64), (std::vector<std::string>{
                                   "$(BDS)\\Bin64\\dclstd290.bpl",
                                   "C:\\Vendor\\Bpl\\Win64\\VendorGrid290.bpl",
                                   "C:\\Vendor\\Bpl\\Win64\\orvane_lookalike.bpl",
                               }));
    // The uninstallation's backup lands beside the installation's: the record
    // says where the package was extracted.
    const auto LAll = BackupFiles();
    ASSERT_EQ(LAll.size(), 2u);
    const fs::path LUninstallBackup = LAll[0] == LInstallBackups[0] ? LAll[1] : LAll[0];
    EXPECT_THAT(LUninstallBackup.filename().string(), testing::StartsWith("23.0 uninstall "));

    // Each backup imported brings back the registry as it was before its step;
    // the product key the first installation made stays, empty.
    orvane::ImportRegFile(*FStore, LUninstallBackup);
    EXPECT_EQ(Everything(), LInstalled);
    orvane::ImportRegFile(*FStore, LInstallBackups[0]);
    EXPECT_EQ(RegContents(*FStore, CProductKey), "[" + CProductKey + "]\r\n");
    ASSERT_TRUE(FStore->DeleteKey(CProductKey));
    EXPECT_EQ(Everything(), LBeforeInstall);
}

TEST_F(InstallSafeguardsTest, WithoutWin64OrWithoutThe64BitIDEItsKeysStayAsTheyWere) {
    struct TCase {
        const char* Label;
        const char* Platforms;
        bool DropKnown64;
        bool DropDisabled64;
    } const LCases[] = {
        {"package without Win64", "Win32", false, false},
        {"IDE without the 64-bit IDE", "Win32,Win64", true, true},
        {"only the 64-bit IDE's disabled list", "Win32,Win64", true, false},
    };
    const std::string LOldEntry = "C:\\Old\\Win64\\Orvane_Core.bpl";
    for (const auto& LCase : LCases) {
        Fresh();
        ServePackage("Orvane_23.0_2.0.zip");
        if (LCase.DropKnown64) {
            ASSERT_TRUE(FStore->DeleteKey(CKnown64));
        }
        if (LCase.DropDisabled64) {
            ASSERT_TRUE(FStore->DeleteKey(CDisabled64));
        }
        const std::string LKnownBefore =
            FStore->KeyExists(CKnown64) ? orvane::ExportRegText(*FStore, CKnown64) : "";
        ListAndTick(std::string(R"("file": "Orvane_23.0_2.0.zip", "platforms": ")") +
                    LCase.Platforms + "\"");
        FForm->InstallButtonClick();
        EXPECT_THAT(DoneText().toStdString(), HasSubstr("Thank you")) << LCase.Label;
        EXPECT_EQ(FStore->KeyExists(CKnown64) ? orvane::ExportRegText(*FStore, CKnown64) : "",
                  LKnownBefore)
            << LCase.Label;
        EXPECT_EQ(FStore->KeyExists(CDisabled64), !LCase.DropDisabled64) << LCase.Label;
        EXPECT_THAT(LogText().toStdString(), Not(HasSubstr("64-bit IDE"))) << LCase.Label;
        // The uninstallation cleans whichever of the 64-bit IDE's lists exists.
        if (!LCase.DropDisabled64) {
            ASSERT_TRUE(
                FStore->SetValue(CDisabled64, {LOldEntry, orvane::rtSz,
                                               orvane::ToUtf16Le("Orvane_Core.bpl", true)}));
        }
        Uninstall();
        EXPECT_EQ(FStore->KeyExists(CKnown64), !LCase.DropKnown64) << LCase.Label;
        EXPECT_EQ(FStore->KeyExists(CDisabled64), !LCase.DropDisabled64) << LCase.Label;
        EXPECT_THAT(Names(CDisabled64), Not(Contains(LOldEntry))) << LCase.Label;
        EXPECT_EQ(LogText().contains("Removing 64-bit IDE registry entries for \"23.0\""),
                  !(LCase.DropKnown64 && LCase.DropDisabled64))
            << LCase.Label;
    }
}

TEST_F(InstallSafeguardsTest, ARunningIDEIsNamedAndNoStopsBeforeAnythingChanges) {
    ServePackage("Orvane_23.0_2.0.zip");
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32,Win64")");
    const std::string LBefore = Everything();
    const auto LIDE = StartIDEStandIn(FTemp.Path() / "Embarcadero" / "bin", IDEName());
    ASSERT_GT(LIDE->Pid(), 0);

    FDialogs->AnswerNo();
    FForm->InstallButtonClick();
    ASSERT_EQ(FDialogs->Texts(dkWarningQuestion).size(), 1);
    const std::string LQuestion = FDialogs->Texts(dkWarningQuestion)[0].toStdString();
    EXPECT_THAT(LQuestion, HasSubstr(IDEName() + " (process " + std::to_string(LIDE->Pid()) + ")"));
    EXPECT_THAT(LQuestion, HasSubstr("writes its package lists and library paths back"));
    // Enter must not say Yes to going on.
    EXPECT_EQ(FDialogs->Calls()[0].Default, mrNo);
    EXPECT_EQ(FForm->TabControl1->currentWidget(), FForm->TbItm_Versions);
    EXPECT_EQ(Everything(), LBefore);
    EXPECT_FALSE(fs::exists(FTemp.Path() / "downloads"));

    // Yes goes on as without the IDE.
    FDialogs->ClearCalls();
    FDialogs->AnswerYes();
    FForm->InstallButtonClick();
    EXPECT_THAT(DoneText().toStdString(), HasSubstr("Thank you")) << LogText().toStdString();
    const std::string LInstalled = Everything();

    // Before uninstalling too: No leaves everything, the record included.
    FDialogs->ClearCalls();
    Uninstall(mrNo);
    EXPECT_EQ(FDialogs->Texts(dkWarningQuestion).size(), 1);
    EXPECT_TRUE(FDialogs->Texts(dkMessage).isEmpty());
    EXPECT_EQ(Everything(), LInstalled);
}

TEST_F(InstallSafeguardsTest, ABackupThatCannotBeWrittenStopsTheVersionBeforeAnyRegistryChange) {
    ServePackage("Orvane_23.0_2.0.zip");
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32,Win64")");
    WriteFileText(Backups(), "a file where the backup folder should be");
    const std::string LBefore = Everything();

    FForm->InstallButtonClick();

    // The files it had copied are undone with the version.
    EXPECT_THAT(DoneText().toStdString(),
                HasSubstr("23.0 was rolled back: Cannot create the registry backup folder \"" +
                          Backups().string() + "\""));
    EXPECT_THAT(LogText().toStdString(),
                HasSubstr("<ERROR> Cannot create the registry backup folder \"" +
                          Backups().string() + "\""));
    EXPECT_THAT(DoneText().toStdString(), HasSubstr("IDE version 23.0 is left unchanged"));
    EXPECT_EQ(Everything(), LBefore);
    EXPECT_TRUE(FForm->BackupsLabel->isHidden());

    // The uninstallation falls back to the default download folder when the
    // recorded one cannot take the backup, and stops the same way when that
    // one cannot either: the version stays recorded.
    fs::remove(Backups());
    FDialogs->AnswerNo(); // keep the package downloaded before
    FForm->InstallButtonClick();
    ASSERT_THAT(DoneText().toStdString(), HasSubstr("Thank you"));
    fs::remove_all(Backups());
    WriteFileText(Backups(), "blocked again");
    TScopedEnv LEnv;
    LEnv.Set("XDG_DOCUMENTS_DIR", (FTemp.Path() / "documents").string());
    const fs::path LFallback = FTemp.Path() / "documents" / "Orvane" / "Backups";
    WriteFileText(LFallback, "blocked as well");
    const std::string LInstalled = Everything();
    FDialogs->ClearCalls();
    Uninstall();
    ASSERT_EQ(FDialogs->Texts(dkMessage).size(), 1);
    EXPECT_THAT(FDialogs->Texts(dkMessage)[0].toStdString(),
                HasSubstr("Failed to uninstall version 23.0 - Cannot create the registry backup "
                          "folder \"" +
                          LFallback.string() + "\""));
    EXPECT_EQ(Everything(), LInstalled);
    EXPECT_EQ(FForm->FInstalledVersions.size(), 1u);

    fs::remove(LFallback);
    FDialogs->ClearCalls();
    Uninstall();
    EXPECT_EQ(FDialogs->Texts(dkMessage),
              QStringList{QStringLiteral("Version 23.0 successfully uninstalled")});
    EXPECT_TRUE(FForm->FInstalledVersions.empty());
    ASSERT_EQ(fs::is_directory(LFallback)
                  ? std::distance(fs::directory_iterator(LFallback), fs::directory_iterator())
                  : 0,
              1);
    const fs::path LBackup = fs::directory_iterator(LFallback)->path();
    EXPECT_THAT(LogText().toStdString(),
                HasSubstr("; the registry backup goes to \"" + LFallback.string() + "\" instead"));
    EXPECT_THAT(LogText().toStdString(),
                HasSubstr("Registry backup written to \"" + LBackup.string() + "\""));
    orvane::ImportRegFile(*FStore, LBackup);
    EXPECT_EQ(Everything(), LInstalled);
}

TEST_F(InstallSafeguardsTest, Sha256MismatchMalformedOrStaleZip) {
    const std::string LSha = ServePackage("Orvane_23.0_2.0.zip");
    const std::string LWrong(64, 'a');
    const fs::path LZip = FTemp.Path() / "downloads" / "Orvane_23.0_2.0.zip";

    // A download that does not match: deleted, logged with both digests, warned.
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32", "sha256": ")" + LWrong +
                "\"");
    const std::string LBefore = Everything();
    FForm->InstallButtonClick();
    const std::string LLine = "<ERROR> SHA-256 mismatch for \"Orvane_23.0_2.0.zip\": expected " +
                              LWrong + ", received " + LSha + "; the download is deleted";
    EXPECT_EQ(DoneText().toStdString(), LLine + "\r\n\r\n");
    EXPECT_EQ(FDialogs->Texts(dkWarning), QStringList{QString::fromStdString(LLine)});
    EXPECT_FALSE(fs::exists(LZip));
    EXPECT_FALSE(fs::exists(LZip.string() + ".part"));
    EXPECT_FALSE(fs::exists(FTemp.Path() / "downloads" / "23.0"));
    EXPECT_EQ(Everything(), LBefore);

    // Not 64 hexadecimal digits: the version fails before any request.
    FDialogs->ClearCalls();
    FServer.Clear();
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32", "sha256": "md5:1234")");
    FForm->InstallButtonClick();
    EXPECT_EQ(DoneText().toStdString(), "<ERROR> The package entry's \"sha256\" is not 64 "
                                        "hexadecimal digits: \"md5:1234\"\r\n\r\n");
    EXPECT_TRUE(FServer.Requests().empty());

    // A zip left in the download folder that does not match may be the
    // user's: it is replaced only after the existing-zip question. No keeps it
    // and fails the version; Yes downloads it again.
    FDialogs->ClearCalls();
    FServer.Clear();
    WriteFileText(LZip, "an older, damaged download");
    const std::string LMismatch = " does not match its SHA-256 (expected " + LSha + ", found " +
                                  ShaOf("an older, damaged download") + ")";
    FDialogs->AnswerNo();
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32", "sha256": ")" + LSha +
                "\"");
    const std::string LBeforeKept = Everything();
    FForm->InstallButtonClick();
    EXPECT_THAT(DoneText().toStdString(),
                AllOf(HasSubstr("<ERROR> Package file "), HasSubstr(LMismatch),
                      HasSubstr("it was kept, and the version is not installed")));
    ASSERT_EQ(FDialogs->Texts(dkWarningQuestion).size(), 1);
    EXPECT_THAT(FDialogs->Texts(dkWarningQuestion)[0].toStdString(),
                AllOf(HasSubstr("already exists"), HasSubstr("does not match the SHA-256")));
    EXPECT_EQ(ReadFileText(LZip), "an older, damaged download");
    EXPECT_TRUE(FServer.Requests().empty());
    EXPECT_EQ(Everything(), LBeforeKept);

    FDialogs->ClearCalls();
    FDialogs->AnswerYes();
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32", "sha256": ")" + LSha +
                "\"");
    FForm->InstallButtonClick();
    EXPECT_THAT(DoneText().toStdString(), HasSubstr("Thank you")) << LogText().toStdString();
    EXPECT_EQ(FDialogs->Texts(dkWarningQuestion).size(), 1);
    EXPECT_THAT(LogText().toStdString(), HasSubstr(LMismatch));
    EXPECT_EQ(orvane::Sha256OfFile(LZip), LSha);

    FDialogs->ClearCalls();
    FServer.Clear();
    FDialogs->AnswerNo();  // keep the downloaded package
    FDialogs->AnswerYes(); // the same version is already installed
    ListAndTick(R"("file": "Orvane_23.0_2.0.zip", "platforms": "Win32", "sha256": ")" + LSha +
                "\"");
    FForm->InstallButtonClick();
    EXPECT_THAT(DoneText().toStdString(), HasSubstr("Thank you")) << LogText().toStdString();
    EXPECT_THAT(FDialogs->Texts(dkWarningQuestion)[0].toStdString(), HasSubstr("already exists"));
    EXPECT_TRUE(FServer.Requests().empty());
}

TEST_F(InstallSafeguardsTest, TransferTextIsReadableAndSparseAndTheBarFollowsExtraction) {
    // A slow transfer of about a second: 16 KiB blocks 20 ms apart.
    const fs::path LMade = FTemp.Path() / "made" / "slow.zip";
    fs::create_directories(LMade.parent_path());
    std::string LNoise(800 * 1024, '\0');
    unsigned LState = 7;
    for (char& LChar : LNoise) {
        LState = LState * 1103515245u + 12345u;
        LChar = static_cast<char>(LState >> 16);
    }
    WriteTestZip(LMade, {{"Win32/Release/Orvane_Core.bpl", LNoise}});
    FServer.WriteFile("slow.zip", ReadFileText(LMade));
    FServer.SetFault("slow", "/file/", -1, 0, 20);
    ListAndTick(R"("file": "slow.zip", "platforms": "Win32")");

    QStringList LTexts;
    QTimer LTimer;
    LTimer.setInterval(2);
    QObject::connect(&LTimer, &QTimer::timeout, [&] {
        const QString LText = FForm->TransferLabel->text();
        if (!LText.isEmpty() && (LTexts.isEmpty() || LTexts.last() != LText)) {
            LTexts << LText;
        }
    });
    LTimer.start();
    const auto LStart = std::chrono::steady_clock::now();
    FForm->InstallButtonClick();
    const auto LSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - LStart).count();
    LTimer.stop();

    ASSERT_THAT(DoneText().toStdString(), HasSubstr("Thank you")) << LogText().toStdString();
    ASSERT_GE(LTexts.size(), 2) << LTexts.join("\n").toStdString();
    // At most four texts a second, and the end.
    EXPECT_LE(LTexts.size(), static_cast<int>(LSeconds * 4) + 2) << LTexts.join("\n").toStdString();
    const QRegularExpression CLine(
        QStringLiteral(R"(^[0-9.]+ (B|KB|MB) of [0-9.]+ (B|KB|MB)(, [0-9.]+ (B|KB|MB)/s)?$)"));
    for (const QString& LText : LTexts) {
        EXPECT_TRUE(CLine.match(LText).hasMatch()) << LText.toStdString();
    }
    const qint64 LZipSize = static_cast<qint64>(fs::file_size(LMade));
    EXPECT_THAT(
        LTexts.last().toStdString(),
        testing::StartsWith(FormatByteCount(LZipSize) + " of " + FormatByteCount(LZipSize)));
    // Extraction drove the bar to its end by bytes written.
    EXPECT_GT(FForm->ProgressBar->maximum(), 0);
    EXPECT_EQ(FForm->ProgressBar->value(), FForm->ProgressBar->maximum());
}

// A run killed in the middle of a version: the window's next start rolls it
// back before anything else and says so as a warning and in install.log.
TEST(WindowRecovery, AnInterruptedInstallationIsRolledBackAtStartWithAWarning) {
    TTempDir LDir;
    const fs::path LFile = LDir.Path() / "common" / "Bpl" / "Orvane_Core.bpl";
    // The IDE's registry names the common folder the journal's files are in.
    {
        const auto LStore = orvane::OpenSqliteRegistryStore(LDir.Path() / "registry.sqlite");
        const std::string LKey = "SOFTWARE\\Embarcadero\\BDS\\22.0\\Environment Variables";
        ASSERT_TRUE(LStore->CreateKey(LKey));
        ASSERT_TRUE(LStore->SetValue(
            LKey,
            {"BDSCatalogRepositoryAllUsers", orvane::rtSz,
             orvane::ToUtf16Le((LDir.Path() / "common" / "CatalogRepository").string(), true)}));
    }
    {
        orvane::TInstallJournal LJournal = orvane::TInstallJournal::Begin(LDir.Path(), "22.0");
        LJournal.CreateFolders(LFile.parent_path());
        LJournal.FileWillBeWritten(LFile);
        WriteFileText(LFile, "core32");
    }
    auto LDialogs = std::make_shared<TScriptedDialogs>();
    const auto LForm = MakeTestForm2(LDir.Path(), LDialogs);

    EXPECT_EQ(LDialogs->Texts(dkWarning),
              QStringList{"22.0 was rolled back: its installation was interrupted before it was "
                          "done"});
    EXPECT_FALSE(fs::exists(LDir.Path() / "common"));
    EXPECT_THAT(ReadFileText(LDir.Path() / "install.log"),
                HasSubstr("<ERROR> 22.0 was rolled back: its installation was interrupted"));
    EXPECT_THAT(orvane::TInstallJournal::Unfinished(LDir.Path()), testing::IsEmpty());
}

} // namespace
