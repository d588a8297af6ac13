#include "app/ActivityIndicator.h"
#include "app/Unit2.h"
#include "registry/RegistryStore.h"
#include "server/Downloader.h"
#include "server/MachineIdentifier.h"
#include "app/PackageList.h"
#include "server/Protocol.h"
#include "support/LocalApiServer.h"
#include "support/NetworkSettings.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

using namespace orvane;

void PrintTo(const QString& AText, std::ostream* AOut) {
    *AOut << '"' << AText.toStdString() << '"';
}

namespace {

const QString KReadFailure = QStringLiteral("Failed to read configuration from server!");

class TConfigurationFormTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TLocalApiServer::TOptions LOptions;
        LOptions.AccountsJson =
            R"({"accounts": [{"user": "buyer+1@x.test", "password": "s3cret pw"}]})";
        FServer = new TLocalApiServer(LOptions);
    }
    static void TearDownTestSuite() {
        delete FServer;
        FServer = nullptr;
    }

    void SetUp() override {
        FServer->Clear();
        FDialogs = std::make_shared<TScriptedDialogs>();
        TForm2Options LOptions;
        LOptions.ApiUrl = FServer->BaseUrl();
        LOptions.ExeDir = FTemp / "bin";
        std::filesystem::create_directories(LOptions.ExeDir);
        LOptions.RegistryStore = OpenSqliteRegistryStore(FTemp / "registry.sqlite");
        LOptions.Dialogs = FDialogs;
        FForm = std::make_unique<TForm2>(std::move(LOptions));
    }

    void TearDown() override {
        if (FForm) {
            WaitForDownloads();
        }
        FForm.reset();
    }

    // Processes events until the configuration download has delivered its end.
    void WaitForDownloads() {
        QElapsedTimer LTimer;
        LTimer.start();
        while ((TDownloader::ActiveTransfers() > 0 ||
                FForm->DownloadVersionsIndicator->IsAnimating()) &&
               LTimer.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(1);
        }
        EXPECT_EQ(TDownloader::ActiveTransfers(), 0);
        EXPECT_FALSE(FForm->DownloadVersionsIndicator->IsAnimating());
        EXPECT_TRUE(FForm->DownloadVersionsIndicator->isHidden());
    }

    void DeveloperDownload(const std::string& ADocument) {
        FServer->WriteConfig("dev", ADocument);
        // The edition buttons only work on the Welcome page, as for a user.
        FForm->SwitchPage(wpWelcome);
        FForm->DeveloperButton->click();
        WaitForDownloads();
    }

    QStringList Captions() const {
        QStringList Result;
        for (int I = 0; I < FForm->ListBox1->count(); ++I) {
            Result << FForm->ListBox1->item(I)->text();
        }
        return Result;
    }

    std::vector<bool> EnabledStates() const {
        std::vector<bool> Result;
        for (int I = 0; I < FForm->ListBox1->count(); ++I) {
            Result.push_back(FForm->ListBox1->item(I)->flags().testFlag(Qt::ItemIsEnabled));
        }
        return Result;
    }

    static TLocalApiServer* FServer;
    TTempDir FTemp;
    std::shared_ptr<TScriptedDialogs> FDialogs;
    std::unique_ptr<TForm2> FForm;
};

TLocalApiServer* TConfigurationFormTest::FServer = nullptr;

struct TListCase {
    const char* Name;
    std::string Document;
    QStringList Captions;
    std::vector<bool> Enabled;
    QString Label;
    QStringList Warnings;
};

TEST_F(TConfigurationFormTest, DeveloperListCases) {
    const TListCase KCases[] = {
        {"two available of three, unnamed elements skipped",
         R"({"url": "https://cdn.test/", "ide": [
              {"name": "Alpha", "file": "Orvane_22.0_1.4.2.zip"},
              {"file": "Orvane_22.0_9.9.9.zip"},
              {"name": true, "file": "x.zip"},
              {"name": "Beta", "file": ""},
              {"name": "Gamma", "file": "Orvane_23.0_2.0.zip"}]})",
         {"Alpha (v1.4.2)", "Beta", "Gamma (v2.0)"},
         {true, false, true},
         "Downloadable Packages (2 / 3)",
         {}},
        {"file_version wins, also when empty",
         R"({"ide": [{"name": "A", "file": "Orvane_22.0_1.4.2.zip", "file_version": ""},
                     {"name": "B", "file": "Orvane_22.0_1.4.2.zip", "file_version": " 7.1 "},
                     {"name": "C", "file_version": "3"}]})",
         {"A", "B (v7.1)", "C (v3)"},
         {true, true, true},
         "Downloadable Packages (2 / 3)",
         {}},
        {"entry without file is listed, enabled, not available",
         R"({"ide": [{"name": 42}, {"name": "\"Quoted\""}]})",
         {"42", "Quoted"},
         {true, true},
         "Downloadable Packages (0 / 2)",
         {}},
        {"no ide member", R"({"url": "x"})", {}, {}, "Downloadable Packages (0 / 0)", {}},
        {"ide not an array",
         R"({"ide": {"name": "A"}})",
         {},
         {},
         "Downloadable Packages (0 / 0)",
         {KReadFailure}},
        {"element not an object keeps earlier items",
         R"({"ide": [{"name": "A", "file": "a_1.zip"}, 5, {"name": "B"}]})",
         {"A (v1)"},
         {true},
         "Downloadable Packages (0 / 0)",
         {KReadFailure}},
        {"JSON but not an object",
         R"(["A"])",
         {},
         {},
         "Downloadable Packages (0 / 0)",
         {KReadFailure}},
        {"not JSON at all",
         "<html>maintenance</html>",
         {},
         {},
         "Downloadable Packages (0 / 0)",
         {KReadFailure}},
        {"empty answer", "", {}, {}, "Downloadable Packages (0 / 0)", {KReadFailure}},
        // Two million open arrays once overflowed the GUI thread's stack; the
        // rows after it show the window still lists documents.
        {"nesting bomb",
         R"({"url": "x", "ide": [{"name": "A", "file": "a_1.zip", "x": )" +
             std::string(2000000, '['),
         {},
         {},
         "Downloadable Packages (0 / 0)",
         {KReadFailure}},
        {"UTF-8 byte-order mark",
         "\xEF\xBB\xBF{\"ide\": [{\"name\": \"Caf\xC3\xA9\", \"file\": \"p_5.zip\"}]}",
         {QString::fromUtf8("Caf\xC3\xA9 (v5)")},
         {true},
         "Downloadable Packages (1 / 1)",
         {}},
    };
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        // A previous state proves the list and label are rebuilt each time.
        FForm->DownloadablePackagesLabel->setText("stale");
        FDialogs->ClearCalls();
        DeveloperDownload(C.Document);
        EXPECT_EQ(FForm->TabControl1->currentIndex(), int(wpVersions));
        EXPECT_EQ(Captions(), C.Captions);
        EXPECT_EQ(EnabledStates(), C.Enabled);
        EXPECT_EQ(FForm->DownloadablePackagesLabel->text(), C.Label);
        EXPECT_EQ(FDialogs->Texts(dkWarning), C.Warnings);
        for (int I = 0; I < FForm->ListBox1->count(); ++I) {
            const QListWidgetItem* LItem = FForm->ListBox1->item(I);
            EXPECT_TRUE(LItem->flags().testFlag(Qt::ItemIsUserCheckable));
            EXPECT_EQ(LItem->checkState(), Qt::Unchecked);
            const rapidjson::Value* LEntry = TForm2EntryOf(LItem);
            ASSERT_NE(LEntry, nullptr);
            EXPECT_TRUE(LItem->text().startsWith(
                QString::fromStdString(ReadMemberTextOrEmpty(*LEntry, "name"))));
        }
    }
}

TEST_F(TConfigurationFormTest, EntriesCarryBaseUrlOwnedByTheDocument) {
    DeveloperDownload(R"({"url": " https://cdn.test/pkgs/ ", "ide": [
        {"name": "A", "file": "a_1.zip", "url": "sub/"},
        {"name": "B", "file": "b_1.zip", "base_url": "https://server.test/"}]})");
    ASSERT_EQ(FForm->ListBox1->count(), 2);
    ASSERT_TRUE(FForm->FConfig);
    const rapidjson::Value* LFirst = TForm2EntryOf(FForm->ListBox1->item(0));
    const rapidjson::Value* LSecond = TForm2EntryOf(FForm->ListBox1->item(1));
    EXPECT_EQ(LFirst, &(*FForm->FConfig)["ide"][0]);
    EXPECT_EQ(ReadMemberTextOrEmpty(*LFirst, "base_url"), "https://cdn.test/pkgs/");
    EXPECT_EQ(PackageEndpoint(*LFirst), "https://cdn.test/pkgs/sub/a_1.zip");
    // The server's own member comes first and counts; ours is appended after it.
    EXPECT_EQ(ReadMemberTextOrEmpty(*LSecond, "base_url"), "https://server.test/");
    EXPECT_EQ(LSecond->MemberCount(), 4u);
    EXPECT_TRUE(FDialogs->Calls().empty());
}

TEST_F(TConfigurationFormTest, RequestCarriesEditionAndMachineDigest) {
    DeveloperDownload(R"({"ide": []})");
    std::string LMachine;
    try {
        LMachine = MD5Text(GetMACAddress());
    } catch (const std::exception&) {
    }
    const auto LRequests = FServer->Requests();
    ASSERT_EQ(LRequests.size(), 2u);
    EXPECT_EQ(LRequests[0], "/token/");
    EXPECT_EQ(LRequests[1].rfind("/cfg/?mode=dev&mac=" + LMachine + "&token=", 0), 0u)
        << LRequests[1];
}

TEST_F(TConfigurationFormTest, CommercialLoginListsItsEdition) {
    FServer->WriteConfig("com", R"({"ide": [{"name": "Game GAMEPACKAGE", "file": "g_3.zip"}]})");
    FForm->CommercialButton->click();
    FForm->Edt_User->setText("buyer+1@x.test");
    FForm->Edt_Password->setText("s3cret pw");
    FForm->LoginButton->click();
    WaitForDownloads();
    EXPECT_EQ(FForm->TabControl1->currentIndex(), int(wpVersions));
    EXPECT_EQ(Captions(), QStringList{"Game GAMEPACKAGE (v3)"});
    EXPECT_TRUE(FDialogs->Calls().empty());
    const auto LRequests = FServer->Requests();
    ASSERT_FALSE(LRequests.empty());
    EXPECT_EQ(LRequests[0], "/token/?user=buyer%2B1%40x.test&pwd=" + MD5Text("s3cret pw"));
}

struct TFailureCase {
    const char* Name;
    bool Commercial;
    const char* FaultPrefix; // nullptr: a wrong password instead of a fault
    const char* Fault;
    int Code;
    QString Warning;
    bool BeforeClickReturns; // the token request fails on the GUI thread
};

TEST_F(TConfigurationFormTest, FailedDownloads) {
    const TFailureCase KCases[] = {
        {"developer token status", false, "/token/", "status", 500,
         "The requested URL returned error: 500", true},
        {"developer token without token", false, "/token/", "nonjson", 0,
         "failed to retrieve api token", true},
        {"developer transfer status", false, "/cfg/", "status", 503,
         "The requested URL returned error: 503", false},
        {"developer transfer dropped", false, "/cfg/", "drop", 0, "Empty reply from server", false},
        {"commercial wrong password", true, nullptr, nullptr, 0,
         "The requested URL returned error: 401", true},
        {"commercial transfer status", true, "/cfg/", "status", 500,
         "The requested URL returned error: 500", false},
    };
    FServer->WriteConfig("dev", R"({"ide": [{"name": "A", "file": "a_1.zip"}]})");
    FServer->WriteConfig("com", R"({"ide": [{"name": "A", "file": "a_1.zip"}]})");
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        FServer->Clear();
        FDialogs->ClearCalls();
        // A filled list first: a failure must leave it empty.
        DeveloperDownload(R"({"ide": [{"name": "A", "file": "a_1.zip"}]})");
        ASSERT_EQ(FForm->ListBox1->count(), 1);
        if (C.FaultPrefix) {
            FServer->SetFault(C.Fault, C.FaultPrefix, -1, C.Code);
        }
        FForm->SwitchPage(wpWelcome);
        if (C.Commercial) {
            FForm->CommercialButton->click();
            FForm->Edt_User->setText("buyer+1@x.test");
            FForm->Edt_Password->setText(C.FaultPrefix ? "s3cret pw" : "wrong");
            FForm->LoginButton->click();
        } else {
            FForm->DeveloperButton->click();
        }
        if (C.BeforeClickReturns) {
            EXPECT_EQ(FDialogs->Texts(dkWarning), QStringList{C.Warning});
        }
        WaitForDownloads();
        FServer->Clear();
        ASSERT_EQ(FDialogs->Texts(dkWarning).size(), 1);
        EXPECT_TRUE(FDialogs->Texts(dkWarning)[0].contains(C.Warning))
            << FDialogs->Texts(dkWarning)[0].toStdString();
        EXPECT_EQ(FForm->ListBox1->count(), 0);
        EXPECT_FALSE(FForm->FConfig);
        if (C.Commercial) {
            EXPECT_EQ(FForm->TabControl1->currentIndex(), int(wpWelcome));
            EXPECT_EQ(FForm->FCredentials.Mode, imDeveloper);
            EXPECT_EQ(FForm->FCredentials.Username, "");
            EXPECT_EQ(FForm->FCredentials.Password, "");
            EXPECT_EQ(FForm->FCredentials.Package, "GAMEPACKAGE");
        } else {
            EXPECT_EQ(FForm->TabControl1->currentIndex(), int(wpVersions));
        }
    }
}

TEST_F(TConfigurationFormTest, IndicatorRunsWhileTheDocumentIsOnItsWay) {
    FServer->WriteConfig("dev", std::string(200 * 1024, ' ') + R"({"ide": [{"name": "A"}]})");
    FServer->SetFault("slow", "/cfg/", 1, 0, 30);
    FForm->DeveloperButton->click();
    // Back on the event loop with the transfer running: the page is usable.
    EXPECT_TRUE(FForm->DownloadVersionsIndicator->IsAnimating());
    EXPECT_FALSE(FForm->DownloadVersionsIndicator->isHidden());
    EXPECT_EQ(FForm->ListBox1->count(), 0);
    WaitForDownloads();
    EXPECT_EQ(Captions(), QStringList{"A"});
}

// Only the newest request may fill the list: the older one's answer is dropped
// and its transfer stopped, however late it would have ended.
TEST_F(TConfigurationFormTest, OverlappingDownloadsOnlyTheNewestFillsTheList) {
    // A Commercial download with a slow answer (at least 3.7 s), then a Developer one.
    FServer->WriteConfig("com", std::string(600 * 1024, ' ') + R"({"ide": [{"name": "Slow"}]})");
    FServer->WriteConfig("dev", R"({"ide": [{"name": "Fast"}, {"name": "Fast 2"}]})");
    FServer->SetFault("slow", "/cfg/?mode=com", 1, 0, 100);
    FForm->CommercialButton->click();
    FForm->Edt_User->setText("buyer+1@x.test");
    FForm->Edt_Password->setText("s3cret pw");
    FForm->LoginButton->click();
    ASSERT_EQ(TDownloader::ActiveTransfers(), 1);
    FForm->InstallBackButton->click();
    QElapsedTimer LTimer;
    LTimer.start();
    FForm->DeveloperButton->click();
    WaitForDownloads();
    EXPECT_LT(LTimer.elapsed(), 3000) << "the older transfer ran to its end";
    EXPECT_EQ(Captions(), (QStringList{"Fast", "Fast 2"}));
    EXPECT_EQ(FForm->DownloadablePackagesLabel->text(), "Downloadable Packages (0 / 2)");
    EXPECT_EQ(FForm->FCredentials.Mode, imDeveloper);
    EXPECT_TRUE(FDialogs->Calls().empty());
}

TEST_F(TConfigurationFormTest, InvalidModeEscapesToTheCaller) {
    FForm->FCredentials.Mode = static_cast<TUserMode>(5);
    const int LLiveBefore = TDownloader::LiveCount();
    try {
        FForm->DownloadConfiguration();
        FAIL() << "no exception";
    } catch (const std::exception& E) {
        EXPECT_STREQ(E.what(), "invalid user mode");
    }
    EXPECT_EQ(TDownloader::LiveCount(), LLiveBefore);
    EXPECT_TRUE(FServer->Requests().empty());
    // The loading state stays as the failure left it.
    EXPECT_TRUE(FForm->DownloadVersionsIndicator->IsAnimating());
    FForm->DownloadVersionsIndicator->SetAnimating(false);
    FForm->DownloadVersionsIndicator->setVisible(false);
}

TEST_F(TConfigurationFormTest, ClosingTheWindowAbortsTheDownloadQuietly) {
    FServer->WriteConfig("dev", std::string(400 * 1024, ' ') + R"({"ide": []})");
    FServer->SetFault("slow", "/cfg/", 1, 0, 100);
    FForm->show();
    FForm->DeveloperButton->click();
    ASSERT_EQ(TDownloader::ActiveTransfers(), 1);
    QElapsedTimer LTimer;
    LTimer.start();
    FForm->close();
    EXPECT_EQ(TDownloader::ActiveTransfers(), 0);
    EXPECT_LT(LTimer.elapsed(), 5000);
    EXPECT_TRUE(FDialogs->Calls().empty());
}

TEST_F(TConfigurationFormTest, ClosingTheWindowDuringASilentTokenRequestEndsIt) {
    // Default limits: a stall of 30 s, so only the closing window ends it soon.
    FServer->SetFault("accept-silent", "/token/", -1, 0, 0, 60000);
    FForm->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(FForm.get()));
    const int LLiveBefore = TDownloader::LiveCount();
    int LTicks = 0;
    QTimer LTicker;
    LTicker.setInterval(20);
    QObject::connect(&LTicker, &QTimer::timeout, [&LTicks] { ++LTicks; });
    LTicker.start();
    int LTicksBeforeClose = -1;
    QTimer::singleShot(500, FForm.get(), [this, &LTicks, &LTicksBeforeClose] {
        LTicksBeforeClose = LTicks;
        FForm->close();
    });
    QElapsedTimer LTimer;
    LTimer.start();
    FForm->DeveloperButton->click();
    EXPECT_LT(LTimer.elapsed(), 10000);
    // The window's events ran while the request waited, and it closed.
    EXPECT_GT(LTicksBeforeClose, 5);
    EXPECT_TRUE(FForm->IsClosing());
    EXPECT_FALSE(FForm->isVisible());
    EXPECT_EQ(TDownloader::ActiveTransfers(), 0);
    EXPECT_EQ(TDownloader::LiveCount(), LLiveBefore);
    EXPECT_TRUE(FDialogs->Calls().empty());
    EXPECT_EQ(FServer->Requests(), std::vector<std::string>{"/token/"});
    // Nothing that outlives the window may reach it afterwards.
    FForm.reset();
    QTest::qWait(200);
}

} // namespace
