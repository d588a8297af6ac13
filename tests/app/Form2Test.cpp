#include "app/ActivityIndicator.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "platform/ProductVersion.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/Registry.h"
#include "registry/RegistryStore.h"
#include "server/Downloader.h"
#include "support/LocalApiServer.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

QString ReadText(const std::filesystem::path& APath) {
    QFile File(QString::fromStdString(APath.string()));
    return File.open(QIODevice::ReadOnly) ? QString::fromUtf8(File.readAll()) : QString();
}

// Accounts of the local API server: the credentials the flows type, and none.
const char* const Accounts = R"({"accounts": [
    {"user": " me@example.org ", "password": "p\u00e4ss word"},
    {"user": "", "password": ""}]})";

class Form2Test : public testing::Test {
protected:
    // One server for all tests: the edition buttons start real configuration
    // downloads, and they must reach something local.
    static void SetUpTestSuite() {
        FServer =
            new TLocalApiServer({.Tls = false, .SamplePackages = true, .AccountsJson = Accounts});
    }
    static void TearDownTestSuite() {
        delete FServer;
        FServer = nullptr;
    }

    void SetUp() override {
        FRoot = FTemp.Path();
        std::filesystem::create_directories(FRoot / "bin");
        FStore = orvane::OpenSqliteRegistryStore(FRoot / "reg.sqlite");
        FDialogs = std::make_shared<TScriptedDialogs>();
    }

    void TearDown() override {
        // Downloads still running end here, not in a later test.
        orvane::TDownloader::AbortAll();
        EXPECT_EQ(FDialogs->PendingAnswers(), 0u) << "answers left over";
    }

    TForm2Options Options(const std::filesystem::path& AExeDir) const {
        TForm2Options Result;
        Result.ApiUrl = FServer->BaseUrl();
        Result.ExeDir = AExeDir;
        Result.RegistryStore = FStore;
        Result.Dialogs = FDialogs;
        return Result;
    }

    std::unique_ptr<TForm2> NewForm() { return std::make_unique<TForm2>(Options(FRoot / "bin")); }

    std::filesystem::path LogPath() const { return FRoot / "bin" / "install.log"; }

    static std::vector<int> EnabledTabs(const TForm2& AForm) {
        std::vector<int> Enabled;
        for (int I = 0; I < AForm.TabControl1->count(); ++I)
            if (AForm.TabControl1->isTabEnabled(I))
                Enabled.push_back(I);
        return Enabled;
    }

    // A configuration download may still be running after a click; let it end
    // before the window goes.
    static void WaitForConfiguration(TForm2& AForm) {
        QElapsedTimer Timer;
        Timer.start();
        while (AForm.DownloadVersionsIndicator->isVisibleTo(&AForm) && Timer.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }

    static inline TLocalApiServer* FServer = nullptr;
    TTempDir FTemp;
    std::filesystem::path FRoot;
    std::shared_ptr<orvane::TRegistryStore> FStore;
    std::shared_ptr<TScriptedDialogs> FDialogs;
};

TEST_F(Form2Test, StartsOnWelcomeWithTheVersionedTitle) {
    auto Form = NewForm();
    const auto Version = orvane::GetProductVersion();
    ASSERT_TRUE(Version.has_value());
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Orvane Installer %1.%2.%3")
                                       .arg(Version->Major)
                                       .arg(Version->Minor)
                                       .arg(Version->Build));
    EXPECT_EQ(Form->TabControl1->currentIndex(), int(wpWelcome));
    EXPECT_EQ(EnabledTabs(*Form), std::vector<int>{wpWelcome});
    EXPECT_EQ(Form->ProgressLabel->text(), QStringLiteral("..."));
    EXPECT_FALSE(Form->CheckBox1->isChecked());
    EXPECT_FALSE(Form->DownloadVersionsIndicator->isVisibleTo(Form.get()));
}

TEST_F(Form2Test, SwitchPageEnablesExactlyTheShownTab) {
    auto Form = NewForm();
    const struct {
        int Value;
        int Tab;
    } Cases[] = {{wpWelcome, 0}, {wpCredentials, 1}, {wpVersions, 2}, {wpInstall, 3}, {wpDone, 4},
                 {5, 4},         {255, 4},           {wpWelcome, 0}};
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Value);
        Form->SwitchPage(TWizardPage(Case.Value));
        EXPECT_EQ(Form->TabControl1->currentIndex(), Case.Tab);
        EXPECT_EQ(EnabledTabs(*Form), std::vector<int>{Case.Tab});
        EXPECT_EQ(Form->TabControl1->count(), 5);
        // The controls of the other pages take no input.
        for (int I = 0; I < Form->TabControl1->count(); ++I)
            EXPECT_EQ(Form->TabControl1->widget(I)->isEnabled(), I == Case.Tab) << I;
    }
}

TEST_F(Form2Test, InstalledVersionsLabelListsTheRecords) {
    {
        auto Form = NewForm();
        EXPECT_EQ(Form->InstalledVersions->text(), QStringLiteral("Installed Versions:\r\n"));
        EXPECT_TRUE(Form->FInstalledVersions.empty());
        EXPECT_FALSE(Form->UninstallButton->isEnabled());
    }
    orvane::TOrvaneRegistryData Data{"22.0",      "1.2.3",     "2024-04-08 19:38:03",
                                     "Developer", "DEVELOPER", "/tmp/x/22.0/"};
    orvane::WriteRegistryData(*FStore, Data);
    auto Form = NewForm();
    EXPECT_EQ(Form->InstalledVersions->text(),
              QStringLiteral("Installed Versions:\r\n"
                             "1.2.3 @ 22.0 (2024-04-08 19:38:03) Developer [DEVELOPER]\r\n"));
    ASSERT_EQ(Form->FInstalledVersions.size(), 1u);
    EXPECT_EQ(Form->FInstalledVersions[0].Path, Data.Path);
    EXPECT_TRUE(Form->UninstallButton->isEnabled());

    // A refresh after the record is gone (as after an uninstall) empties the list again.
    Form->SwitchPage(wpDone);
    orvane::DeleteRegistryData(*FStore, "22.0");
    Form->RefreshInstalledVersions();
    EXPECT_EQ(Form->TabControl1->currentIndex(), int(wpWelcome));
    EXPECT_EQ(Form->InstalledVersions->text(), QStringLiteral("Installed Versions:\r\n"));
    EXPECT_FALSE(Form->UninstallButton->isEnabled());
}

// Each step clicks a real button (or types into an edit) of the window.
enum TStep { sDeveloper, sCommercial, sTypeUser, sTypePassword, sLogin, sBack, sInstallBack };

struct TFlowCase {
    const char* Name;
    std::vector<TStep> Steps;
    int Page;
    orvane::TUserMode Mode;
    std::string Username;
    std::string Password;
    std::string Package;
    QString UserEdit;
};

class Form2FlowTest : public Form2Test, public testing::WithParamInterface<TFlowCase> {};

TEST_P(Form2FlowTest, CredentialsAndPageAfterClicks) {
    const TFlowCase& Case = GetParam();
    auto Form = NewForm();
    for (TStep Step : Case.Steps) {
        switch (Step) {
        case sDeveloper:
            Form->DeveloperButton->click();
            break;
        case sCommercial:
            Form->CommercialButton->click();
            break;
        case sTypeUser:
            Form->Edt_User->setText(QStringLiteral(" me@example.org "));
            break;
        case sTypePassword:
            Form->Edt_Password->setText(QStringLiteral("p\u00e4ss word"));
            break;
        case sLogin:
            Form->LoginButton->click();
            break;
        case sBack:
            Form->BackButton->click();
            break;
        case sInstallBack:
            Form->InstallBackButton->click();
            break;
        }
    }
    WaitForConfiguration(*Form);
    EXPECT_TRUE(FDialogs->Calls().empty()) << "no warning expected";
    EXPECT_EQ(Form->TabControl1->currentIndex(), Case.Page);
    EXPECT_EQ(EnabledTabs(*Form), std::vector<int>{Case.Page});
    EXPECT_EQ(Form->FCredentials.Mode, Case.Mode);
    EXPECT_EQ(Form->FCredentials.Username, Case.Username);
    EXPECT_EQ(Form->FCredentials.Password, Case.Password);
    EXPECT_EQ(Form->FCredentials.Package, Case.Package);
    EXPECT_EQ(Form->Edt_User->text(), Case.UserEdit);
    // The password never survives a login in the edit.
    if (!Case.Steps.empty() && Case.Steps.back() == sLogin) {
        EXPECT_TRUE(Form->Edt_Password->text().isEmpty());
    }
}

const std::string TypedUser = " me@example.org ";
const std::string TypedPassword = "p\xC3\xA4ss word";

INSTANTIATE_TEST_SUITE_P(
    Flows, Form2FlowTest,
    testing::Values(
        TFlowCase{
            "Developer", {sDeveloper}, wpVersions, orvane::imDeveloper, "", "", "DEVELOPER", ""},
        TFlowCase{"Commercial",
                  {sCommercial},
                  wpCredentials,
                  orvane::imCommercial,
                  "",
                  "",
                  "GAMEPACKAGE",
                  ""},
        TFlowCase{"LoginTakesTextsAsTyped",
                  {sCommercial, sTypeUser, sTypePassword, sLogin},
                  wpVersions,
                  orvane::imCommercial,
                  TypedUser,
                  TypedPassword,
                  "GAMEPACKAGE",
                  QString::fromStdString(TypedUser)},
        TFlowCase{"LoginWithEmptyEdits",
                  {sCommercial, sLogin},
                  wpVersions,
                  orvane::imCommercial,
                  "",
                  "",
                  "GAMEPACKAGE",
                  ""},
        TFlowCase{"CommercialBackDeveloper",
                  {sCommercial, sTypeUser, sBack, sDeveloper},
                  wpVersions,
                  orvane::imDeveloper,
                  "",
                  "",
                  "DEVELOPER",
                  QString::fromStdString(TypedUser)},
        TFlowCase{"BackKeepsCredentials",
                  {sCommercial, sTypeUser, sTypePassword, sLogin, sInstallBack},
                  wpWelcome,
                  orvane::imCommercial,
                  TypedUser,
                  TypedPassword,
                  "GAMEPACKAGE",
                  QString::fromStdString(TypedUser)},
        TFlowCase{"SecondCommercialEmptiesCredentialsKeepsEmail",
                  {sCommercial, sTypeUser, sTypePassword, sLogin, sInstallBack, sCommercial},
                  wpCredentials,
                  orvane::imCommercial,
                  "",
                  "",
                  "GAMEPACKAGE",
                  QString::fromStdString(TypedUser)},
        TFlowCase{"DeveloperAfterCommercialLogin",
                  {sCommercial, sTypeUser, sTypePassword, sLogin, sInstallBack, sDeveloper},
                  wpVersions,
                  orvane::imDeveloper,
                  "",
                  "",
                  "DEVELOPER",
                  QString::fromStdString(TypedUser)}),
    [](const testing::TestParamInfo<TFlowCase>& AInfo) { return AInfo.param.Name; });

TEST_F(Form2Test, PasswordRevealTogglesEchoMode) {
    auto Form = NewForm();
    ASSERT_TRUE(Form->Edt_Password->actions().contains(Form->PasswordEditButton1));
    EXPECT_EQ(Form->Edt_Password->echoMode(), QLineEdit::Password);
    Form->PasswordEditButton1->trigger();
    EXPECT_EQ(Form->Edt_Password->echoMode(), QLineEdit::Normal);
    Form->PasswordEditButton1->trigger();
    EXPECT_EQ(Form->Edt_Password->echoMode(), QLineEdit::Password);
}

TEST_F(Form2Test, DirectoryPickersAddOneTrailingSeparator) {
    auto Form = NewForm();
    Form->DeveloperButton->click();
    WaitForConfiguration(*Form);
    const QString Sep = QDir::separator();
    const QString Picked = QString::fromStdString(FRoot.string()) + "/IDE folder";
    const struct {
        std::optional<QString> Answer;
        QString Shown; // what the edit holds afterwards
    } Cases[] = {
        {Picked, QDir::toNativeSeparators(Picked) + Sep},
        {std::nullopt, QDir::toNativeSeparators(Picked) + Sep}, // cancel keeps the text
        {QStringLiteral("/"), QStringLiteral("/")},             // a root already ends with one
        {Picked + "/", QDir::toNativeSeparators(Picked) + Sep},
    };
    struct {
        QLineEdit* Edit;
        QAction* Button;
        QString Title;
    } const Pickers[] = {
        {Form->Edit1, Form->EllipsesEditButton1,
         QStringLiteral("Please select your IDE installation directory ...")},
        {Form->Edit2, Form->EllipsesEditButton2,
         QStringLiteral("Please select your temporary download directory ...")},
    };
    for (const auto& Picker : Pickers) {
        SCOPED_TRACE(Picker.Title.toStdString());
        ASSERT_TRUE(Picker.Edit->actions().contains(Picker.Button));
        EXPECT_TRUE(Picker.Edit->isReadOnly());
        EXPECT_FALSE(Picker.Button->icon().isNull());
        for (const auto& Case : Cases) {
            FDialogs->ClearCalls();
            FDialogs->AnswerFolder(Case.Answer);
            Picker.Button->trigger();
            EXPECT_EQ(FDialogs->Calls(),
                      (std::vector<TDialogCall>{{dkSelectFolder, Picker.Title}}));
            EXPECT_EQ(Picker.Edit->text(), Case.Shown);
        }
    }
}

TEST_F(Form2Test, EveryEntryIntoVersionsRestoresTheDefaultFolders) {
    {
        orvane::TRegistry Registry(*FStore);
        ASSERT_TRUE(Registry.OpenKey("SOFTWARE\\Embarcadero\\BDS\\23.0\\Maintenance", true));
        Registry.WriteString("InstallDir", (FRoot / "Studio" / "23.0").string());
    }
    const QString IDEDir = QString::fromStdString((FRoot / "Studio").string() + "/");
    const QString DownloadDir = QString::fromStdString(orvane::DefaultDownloadDir());
    const QString Picked = QString::fromStdString((FRoot / "picked").string());

    auto Form = NewForm();
    // Each way into the page: the edition button, the login, and the page switch itself.
    const std::function<void()> Entries[] = {
        [&] { Form->DeveloperButton->click(); },
        [&] {
            Form->CommercialButton->click();
            Form->Edt_User->setText(QStringLiteral(" me@example.org "));
            Form->Edt_Password->setText(QStringLiteral("p\u00e4ss word"));
            Form->LoginButton->click();
        },
        [&] { Form->SwitchPage(wpVersions); },
    };
    for (const auto& Enter : Entries) {
        Enter();
        WaitForConfiguration(*Form);
        ASSERT_EQ(Form->TabControl1->currentIndex(), int(wpVersions));
        EXPECT_EQ(Form->Edit1->text(), IDEDir);
        EXPECT_EQ(Form->Edit2->text(), DownloadDir);
        FDialogs->AnswerFolder(Picked).AnswerFolder(Picked);
        Form->EllipsesEditButton1->trigger();
        Form->EllipsesEditButton2->trigger();
        EXPECT_EQ(Form->Edit1->text(), Picked + "/");
        EXPECT_EQ(Form->Edit2->text(), Picked + "/");
        Form->InstallBackButton->click();
    }
    EXPECT_TRUE(FDialogs->Texts(dkWarning).isEmpty());
}

// With no IDE registered the IDE folder field keeps its starting text, which
// must name a folder that exists on this system, not a Windows path that would
// become a folder below the working directory.
TEST_F(Form2Test, WithoutAnIdeTheIdeFolderIsAnExistingFolder) {
    const std::filesystem::path Home = FRoot / "home";
    std::filesystem::create_directories(Home);
    const QByteArray SavedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(Home.string()));
    auto Form = NewForm();
    Form->DeveloperButton->click();
    WaitForConfiguration(*Form);
    qputenv("HOME", SavedHome);

    ASSERT_EQ(Form->TabControl1->currentIndex(), int(wpVersions));
    const QString Text = Form->Edit1->text();
    EXPECT_EQ(Text, QString::fromStdString(Home.string()) + "/");
    EXPECT_TRUE(QDir::isAbsolutePath(Text)) << Text.toStdString();
    EXPECT_TRUE(QDir(Text).exists()) << Text.toStdString();
}

TEST_F(Form2Test, TermsTextOpensTheTermsDialog) {
    auto Form = NewForm();
    Form->DeveloperButton->click();
    EXPECT_EQ(Form->SpeedButton1->text(), QStringLiteral("Accept our terms && conditions"));
    WaitForConfiguration(*Form);
    FDialogs->ClearCalls();
    Form->SpeedButton1->click();
    EXPECT_TRUE(FDialogs->Calls().empty()) << "no terms dialog handed over yet";

    QDialog Terms;
    Terms.setWindowTitle(QStringLiteral("Terms"));
    Form->SetTermsDialog(&Terms);
    std::vector<QDialog*> Shown;
    // The window ignores the dialog's result, whichever it is.
    for (int Result : {int(mrOk), int(mrCancel)}) {
        FDialogs->AnswerDialog([&Shown, Result](QDialog& ADialog) {
            Shown.push_back(&ADialog);
            return Result;
        });
        Form->SpeedButton1->click();
        EXPECT_EQ(Form->TabControl1->currentIndex(), int(wpVersions));
    }
    EXPECT_EQ(Shown, (std::vector<QDialog*>{&Terms, &Terms}));
    EXPECT_EQ(FDialogs->Texts(dkExecDialog), (QStringList{"Terms", "Terms"}));
}

// The real terms dialog as main hands it over: its buttons drive the tick box
// of the Versions page, and the window ignores how it was closed.
TEST_F(Form2Test, TermsDialogTicksTheTermsBox) {
    auto Form = NewForm();
    TForm1 Terms(Form.get());
    Form->SetTermsDialog(&Terms);
    Form->DeveloperButton->click();
    WaitForConfiguration(*Form);
    FDialogs->ClearCalls();
    const struct {
        const char* Button;
        bool Ticked;
    } Steps[] = {{"I Deny", false}, {"I Accept", true}, {"I Deny", true}, {"I Accept", true}};
    for (const auto& Step : Steps) {
        SCOPED_TRACE(Step.Button);
        FDialogs->AnswerDialog([&Step](QDialog& ADialog) {
            return TScriptedDialogs::ClickButton(ADialog, QString::fromLatin1(Step.Button));
        });
        Form->SpeedButton1->click();
        EXPECT_EQ(Form->CheckBox1->isChecked(), Step.Ticked);
        EXPECT_FALSE(Terms.isVisible());
        EXPECT_EQ(Form->TabControl1->currentIndex(), int(wpVersions));
    }
    EXPECT_EQ(FDialogs->Texts(dkExecDialog).size(), 4);
}

TEST_F(Form2Test, MessageBoxesGoThroughTheDialogService) {
    auto Form = NewForm();
    Form->ShowWarning(QStringLiteral("warn"));
    Form->ShowInfo(QStringLiteral("info"));
    const struct {
        int Answer;
        bool Result;
    } Cases[] = {{mrYes, true}, {mrNo, false}, {mrCancel, false}, {mrOk, false}};
    for (const auto& Case : Cases) {
        FDialogs->AnswerQuestion(Case.Answer);
        EXPECT_EQ(Form->Confirmation(QStringLiteral("sure?")), Case.Result) << Case.Answer;
    }
    const TDialogCall Sure{dkConfirmationQuestion, QStringLiteral("sure?")};
    EXPECT_EQ(FDialogs->Calls(), (std::vector<TDialogCall>{{dkWarning, QStringLiteral("warn")},
                                                           {dkWarning, QStringLiteral("info")},
                                                           Sure,
                                                           Sure,
                                                           Sure,
                                                           Sure}));
}

TEST_F(Form2Test, ProgressTakesByteCountsBeyondIntRange) {
    auto Form = NewForm();
    constexpr std::int64_t GiB = std::int64_t(1) << 30;
    const struct {
        std::int64_t Max;
        std::int64_t Value;
        double Fraction;
    } Cases[] = {
        {100, 0, 0.0},
        {100, 50, 0.5},
        {100, 100, 1.0},
        {5 * GiB, 0, 0.0},
        {5 * GiB, 5 * GiB / 2, 0.5},
        {5 * GiB, 5 * GiB, 1.0},
        {5 * GiB, 6 * GiB, 1.0},
        {5 * GiB, -1, 0.0},
        {INT64_MAX, INT64_MAX, 1.0},
        {0, 0, 0.0},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(testing::Message() << Case.Max << " / " << Case.Value);
        Form->SetProgressRange(Case.Max);
        Form->SetProgressValue(Case.Value);
        const QProgressBar& Bar = *Form->ProgressBar;
        EXPECT_EQ(Bar.minimum(), 0);
        if (Case.Max == 0) {
            EXPECT_EQ(Bar.value(), 0);
            continue;
        }
        EXPECT_GT(Bar.maximum(), 0);
        EXPECT_NEAR(double(Bar.value()) / Bar.maximum(), Case.Fraction, 1e-6);
        if (Case.Fraction == 1.0) {
            EXPECT_EQ(Bar.value(), Bar.maximum());
        }
    }
}

TEST_F(Form2Test, CloseButtonClosesTheWindow) {
    auto Form = NewForm();
    Form->show();
    Form->SwitchPage(wpDone);
    EXPECT_FALSE(Form->IsClosing());
    Form->FinishButton->click();
    EXPECT_TRUE(Form->IsClosing());
    EXPECT_FALSE(Form->isVisible());
}

TEST_F(Form2Test, LogUpdatesTheLabelAndAppendsStampedEntries) {
    const QString Stamp = QStringLiteral("<\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}> ");
    {
        auto Form = NewForm();
        Form->SwitchPage(wpWelcome); // the label changes on a hidden page too
        Form->Log(QStringLiteral("first"));
        EXPECT_EQ(Form->ProgressLabel->text(), QStringLiteral("first"));
        Form->Log(QString());
        EXPECT_EQ(Form->ProgressLabel->text(), QString());
    }
    {
        auto Form = NewForm(); // a second run appends below the first
        Form->Log(QStringLiteral("<ERROR> a\r\nb"));
        EXPECT_EQ(Form->ProgressLabel->text(), QStringLiteral("<ERROR> a\r\nb"));
        EXPECT_EQ(Form->ProgressLabel->textFormat(), Qt::PlainText);
    }
    const QRegularExpression Expected(
        QStringLiteral("\\A%1first\\r\\n%1\\r\\n%1<ERROR> a\\r\\nb\\r\\n\\z").arg(Stamp));
    const QString Text = ReadText(LogPath());
    EXPECT_TRUE(Expected.match(Text).hasMatch()) << Text.toStdString();
}

TEST_F(Form2Test, NonAsciiLogEntryMakesTheFileUtf8) {
    auto Form = NewForm();
    Form->Log(QStringLiteral("plain"));
    const QString Path = QStringLiteral("C:\\Temp\\M\u00fcller\\");
    Form->Log(Path);
    Form->Log(QStringLiteral("after"));
    QFile File(QString::fromStdString(LogPath().string()));
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    const QByteArray Bytes = File.readAll();
    ASSERT_TRUE(Bytes.startsWith("\xEF\xBB\xBF"));
    const QStringList Lines = QString::fromUtf8(Bytes.mid(3)).split(QStringLiteral("\r\n"));
    ASSERT_EQ(Lines.size(), 4);
    EXPECT_TRUE(Lines[0].endsWith(QStringLiteral("> plain")));
    EXPECT_TRUE(Lines[1].endsWith("> " + Path));
    EXPECT_TRUE(Lines[2].endsWith(QStringLiteral("> after")));
    EXPECT_TRUE(Lines[3].isEmpty());
}

TEST_F(Form2Test, LogIntoAnUnwritableFolderStillUpdatesTheLabel) {
    std::filesystem::create_directories(LogPath()); // install.log is a folder
    const std::filesystem::path ExeDirs[] = {FRoot / "bin", FRoot / "no" / "such" / "dir"};
    for (const auto& Dir : ExeDirs) {
        SCOPED_TRACE(Dir.string());
        TForm2 Form(Options(Dir));
        for (const QString& Message : {QStringLiteral("ascii"), QStringLiteral("\u00e4")}) {
            EXPECT_NO_THROW(Form.Log(Message));
            EXPECT_EQ(Form.ProgressLabel->text(), Message);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(FRoot / "no"));
}

TEST_F(Form2Test, ControlsCarryTheirLayoutNames) {
    auto Form = NewForm();
    const char* Names[] = {"TabControl1",
                           "TbItm_Welcome",
                           "TbItm_Credentials",
                           "TbItm_Versions",
                           "TbItm_Install",
                           "TbItm_Completed",
                           "StatusLabel",
                           "Image1",
                           "Label7",
                           "DeveloperButton",
                           "CommercialButton",
                           "InstalledVersions",
                           "UninstallButton",
                           "Label8",
                           "Label5",
                           "Edt_User",
                           "Label6",
                           "Edt_Password",
                           "PasswordEditButton1",
                           "LoginButton",
                           "BackButton",
                           "Label1",
                           "Edit1",
                           "EllipsesEditButton1",
                           "Label3",
                           "Edit2",
                           "EllipsesEditButton2",
                           "DownloadablePackagesLabel",
                           "ListBox1",
                           "DownloadVersionsIndicator",
                           "CheckBox1",
                           "SpeedButton1",
                           "InstallButton",
                           "InstallBackButton",
                           "ProgressLabel",
                           "ProgressBar",
                           "Label4",
                           "FinishButton"};
    for (const char* Name : Names)
        EXPECT_NE(Form->findChild<QObject*>(QLatin1String(Name)), nullptr) << Name;

    const QStringList Tabs = {"Welcome", "Credentials", "Versions", "Install", "Done"};
    for (int I = 0; I < Tabs.size(); ++I)
        EXPECT_EQ(Form->TabControl1->tabText(I), Tabs[I]);
}

TEST_F(Form2Test, WindowGeometryFollowsTheLayout) {
    auto Form = NewForm();
    Form->show();
    // Hidden pages are laid out when first shown.
    for (int Page = wpDone; Page >= wpWelcome; --Page)
        Form->SwitchPage(TWizardPage(Page));
    EXPECT_EQ(Form->size(), QSize(1280, 800));
    EXPECT_EQ(Form->minimumSize(), QSize(1024, 640));
    EXPECT_EQ(Form->TabControl1->tabBar()->tabRect(0).height(), 40);
    EXPECT_EQ(Form->StatusBar1->height(), 40);
    EXPECT_TRUE(Form->StatusBar1->isSizeGripEnabled());
    EXPECT_TRUE(Form->StatusLabel->text().isEmpty());

    const struct {
        QWidget* Widget;
        int Height;
    } Heights[] = {
        {Form->Image1, 201},
        {Form->Label7, 48},
        {Form->DeveloperButton, 40},
        {Form->CommercialButton, 40},
        {Form->UninstallButton, 40},
        {Form->Label8, 64},
        {Form->Edt_User, 32},
        {Form->Edt_Password, 32},
        {Form->LoginButton, 40},
        {Form->BackButton, 50},
        {Form->Label1, 40},
        {Form->Edit1, 32},
        {Form->Label3, 40},
        {Form->Edit2, 32},
        {Form->DownloadablePackagesLabel, 40},
        {Form->ListBox1, 168},
        {Form->CheckBox1, 48},
        {Form->SpeedButton1, 46},
        {Form->InstallButton, 40},
        {Form->InstallBackButton, 50},
        {Form->ProgressBar, 40},
        {Form->FinishButton, 40},
    };
    for (const auto& Case : Heights)
        EXPECT_EQ(Case.Widget->height(), Case.Height) << Case.Widget->objectName().toStdString();
    EXPECT_EQ(Form->FinishButton->width(), 268);

    // The groups are centred on their pages, with the layout's widths.
    const struct {
        QWidget* Member;
        int Width;
    } Groups[] = {{Form->DeveloperButton, 256}, {Form->Label8, 380}, {Form->Edit1, 544}};
    for (const auto& Case : Groups) {
        QWidget* Group = Case.Member->parentWidget();
        QWidget* Page = Group->parentWidget();
        Form->SwitchPage(Page == Form->TbItm_Welcome       ? wpWelcome
                         : Page == Form->TbItm_Credentials ? wpCredentials
                                                           : wpVersions);
        EXPECT_EQ(Group->width(), Case.Width);
        EXPECT_NEAR(Group->geometry().center().x(), Page->rect().center().x(), 1);
        EXPECT_NEAR(Group->geometry().center().y(), Page->rect().center().y(), 1);
    }
    // The indented credentials controls start 128 to the right of the group's edge.
    for (QWidget* Widget :
         {static_cast<QWidget*>(Form->Edt_User), static_cast<QWidget*>(Form->Edt_Password),
          static_cast<QWidget*>(Form->LoginButton), static_cast<QWidget*>(Form->BackButton)})
        EXPECT_EQ(Widget->x(), 128) << Widget->objectName().toStdString();
    EXPECT_EQ(Form->SpeedButton1->x(), 48);
}

TEST_F(Form2Test, DoneTextNeverRunsUnderTheCloseButton) {
    auto Form = NewForm();
    Form->show();
    Form->SwitchPage(wpDone);
    QString Summary;
    for (int I = 0; I < 4; ++I)
        Summary +=
            QStringLiteral("<ERROR> Failed to create directory: \"C:\\Temp\\2%1.0\\\"\r\n\r\n")
                .arg(I);
    const QString Texts[] = {Form->Label4->text(), Summary};
    for (const QString& Text : Texts) {
        SCOPED_TRACE(Text.toStdString());
        Form->Label4->setText(Text);
        QCoreApplication::processEvents();
        const QRect Label = Form->Label4->geometry();
        const QRect Button = Form->FinishButton->geometry();
        EXPECT_LE(Label.bottom(), Button.top());
        EXPECT_GE(Label.height(), Form->Label4->heightForWidth(Label.width())) << "text cut off";
        EXPECT_NEAR(Button.center().x(), Form->TbItm_Completed->rect().center().x(), 1);
        EXPECT_GT(Button.top(), Form->TbItm_Completed->rect().center().y() - 20);
    }
}

TEST_F(Form2Test, ActivityIndicatorCoversTheListAndLetsClicksThrough) {
    auto Form = NewForm();
    Form->show();
    Form->SwitchPage(wpVersions);
    TActivityIndicator& Indicator = *Form->DownloadVersionsIndicator;
    EXPECT_TRUE(Indicator.testAttribute(Qt::WA_TransparentForMouseEvents));
    Indicator.setVisible(true);
    Indicator.SetAnimating(true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Indicator.IsAnimating());
    EXPECT_EQ(Indicator.geometry(), Form->ListBox1->geometry());
    EXPECT_EQ(Indicator.parentWidget(), Form->ListBox1->parentWidget());
    Indicator.SetAnimating(false);
    Indicator.setVisible(false);
    EXPECT_FALSE(Indicator.IsAnimating());
}

} // namespace
