#include "TestZip.h"

#include "app/ActivityIndicator.h"
#include "app/Unit2.h"
#include "install/ZipReader.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "server/DownloadResume.h"
#include "server/Downloader.h"
#include "app/PackageList.h"
#include "server/Protocol.h"
#include "support/LocalApiServer.h"
#include "support/LocalProxy.h"
#include "support/NetworkSettings.h"
#include "support/ScriptedDialogs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

namespace fs = std::filesystem;
using testing::AllOf;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

namespace {

const char* const CBds = "SOFTWARE\\Embarcadero\\BDS\\";

orvane::TRegValue StringValue(const std::string& AName, const std::string& AText) {
    return {AName, orvane::rtSz, orvane::ToUtf16Le(AText, true)};
}

std::string TextOf(const orvane::TRegValue& AValue) {
    return orvane::FromUtf16Le(AValue.Data, true);
}

std::string FileBytes(const fs::path& AFile) {
    return ReadFileText(AFile);
}

// The version entries of a test, parsed as the configuration download parses them.
std::unique_ptr<rapidjson::Document> Json(const std::string& AText) {
    auto LDocument = std::make_unique<rapidjson::Document>();
    LDocument->Parse<orvane::KAnswerParseFlags>(AText.c_str());
    EXPECT_FALSE(LDocument->HasParseError()) << AText;
    return LDocument;
}

// ASize pseudo-random letters: compresses only so far.
std::string Letters(std::size_t ASize) {
    std::string LResult(ASize, '\0');
    unsigned LState = 11;
    for (char& LChar : LResult) {
        LState = LState * 1103515245u + 12345u;
        LChar = static_cast<char>('a' + (LState >> 16) % 26);
    }
    return LResult;
}

// A standard package for IDE version AVersion: Win32 and Win64 files, a DLL.
std::vector<TTestZipEntry> PackageFiles(const std::string& ATag = "") {
    return {{"Win32/", ""},
            {"Win32/Release/Orvane_Core.bpl", "core32" + ATag},
            {"Win32/Release/Orvane_Core.dcp", "dcp32" + ATag},
            {"Win32/Release/C/hpp/Orvane.hpp", "header"},
            {"Win64/Release/Orvane_Core.bpl", "core64" + ATag},
            {"Win64/Release/Orvane_Core.dcp", "dcp64" + ATag},
            {"Win32/Release/Orvane.dll", "dll" + ATag}};
}

class InstallFormTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(FTemp.Path() / "exe");
        WriteFileText(FTemp.Path() / "exe" / "libeay32.dll", "libeay");
        WriteFileText(FTemp.Path() / "exe" / "ssleay32.dll", "ssleay");
        FStore = orvane::OpenSqliteRegistryStore(FTemp.Path() / "registry.sqlite");
        for (const char* LVersion : {"22.0", "23.0", "24.0"}) {
            AddIDE(LVersion);
        }
        FDialogs = std::make_shared<TScriptedDialogs>();
        CreateForm(FDialogs);
    }

    void CreateForm(std::shared_ptr<TDialogService> ADialogs, const std::string& AApiUrl = {}) {
        TForm2Options LOptions;
        LOptions.ApiUrl = AApiUrl.empty() ? FServer.BaseUrl() : AApiUrl;
        LOptions.ExeDir = FTemp.Path() / "exe";
        LOptions.RegistryStore = FStore;
        LOptions.Dialogs = std::move(ADialogs);
        FForm = std::make_unique<TForm2>(LOptions);
        FForm->Edit1->setText(QString::fromStdString(IDEDir()));
        FForm->Edit2->setText(QString::fromStdString(DownloadDir()));
    }

    // An IDE version with its bin folder and a catalog repository in the store.
    void AddIDE(const std::string& AVersion) {
        fs::create_directories(FTemp.Path() / "ide" / AVersion / "bin");
        const std::string LKey = std::string(CBds) + AVersion + "\\Environment Variables";
        ASSERT_TRUE(FStore->CreateKey(LKey));
        ASSERT_TRUE(FStore->SetValue(LKey, StringValue("BDSCatalogRepositoryAllUsers",
                                                       CommonDir(AVersion) + "CatalogRepository")));
        ASSERT_TRUE(FStore->CreateKey(std::string(CBds) + AVersion + "\\Known Packages"));
        for (const char* LPlatform : {"Win32", "Win64"}) {
            const std::string LLibrary = std::string(CBds) + AVersion + "\\Library\\" + LPlatform;
            ASSERT_TRUE(FStore->CreateKey(LLibrary));
            ASSERT_TRUE(FStore->SetValue(LLibrary, StringValue("Search Path", "$(BDSLIB)")));
        }
    }

    // Empties the folders an installation writes, keeping the IDE's bin folders.
    void ResetFolders() {
        for (const char* LFolder : {"downloads", "common", "wrong-ide"}) {
            fs::remove_all(FTemp.Path() / LFolder);
        }
        for (const char* LVersion : {"22.0", "23.0", "24.0"}) {
            fs::remove_all(FTemp.Path() / "ide" / LVersion / "bin");
            fs::create_directories(FTemp.Path() / "ide" / LVersion / "bin");
        }
        fs::remove(FTemp.Path() / "exe" / "install.log");
    }

    std::string Root() const { return DirText(FTemp.Path()); }
    std::string IDEDir() const { return Root() + "ide/"; }
    std::string DownloadDir() const { return Root() + "downloads/"; }
    std::string CommonDir(const std::string& AVersion) const {
        return Root() + "common/" + AVersion + "/";
    }
    std::string BinDir(const std::string& AVersion) const { return IDEDir() + AVersion + "/bin/"; }
    std::string VersionDir(const std::string& AVersion) const {
        return DownloadDir() + AVersion + "/";
    }

    void ServePackage(const std::string& AName, const std::vector<TTestZipEntry>& AFiles) {
        const fs::path LZip = FTemp.Path() / "made" / AName;
        fs::create_directories(LZip.parent_path());
        WriteTestZip(LZip, AFiles);
        FServer.WriteFile(AName, FileBytes(LZip));
    }

    bool Install(const rapidjson::Value& AEntry, const std::string& AIDEDir = {}) {
        return FForm->InstallPackage(&AEntry,
                                     QString::fromStdString(AIDEDir.empty() ? IDEDir() : AIDEDir),
                                     QString::fromStdString(DownloadDir()));
    }

    // Messages of install.log in order (a message may span lines).
    QStringList LogMessages() const {
        const QString LText =
            QString::fromStdString(ReadFileText(FTemp.Path() / "exe" / "install.log"));
        static const QRegularExpression CStamp(
            QStringLiteral("(?:^|\\r\\n)<\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}> "));
        QStringList LParts = LText.split(CStamp);
        LParts.removeFirst();
        if (!LParts.isEmpty() && LParts.last().endsWith(QStringLiteral("\r\n"))) {
            LParts.last().chop(2);
        }
        return LParts;
    }

    std::optional<orvane::TOrvaneRegistryData> Record(const std::string& AVersion) {
        orvane::TOrvaneRegistryData LRecord;
        if (!orvane::ReadRegistryData(*FStore, AVersion, LRecord)) {
            return std::nullopt;
        }
        return LRecord;
    }

    std::map<std::string, std::string> KnownPackages(const std::string& AVersion) {
        std::map<std::string, std::string> LResult;
        const std::string LKey = std::string(CBds) + AVersion + "\\Known Packages";
        if (FStore->KeyExists(LKey)) {
            for (const std::string& LName : FStore->ValueNames(LKey)) {
                LResult[LName] = TextOf(*FStore->GetValue(LKey, LName));
            }
        }
        return LResult;
    }

    std::vector<std::string> FileRequests() const { return FServer.FileRequests(); }

    TTempDir FTemp;
    TLocalApiServer FServer;
    std::shared_ptr<orvane::TRegistryStore> FStore;
    std::shared_ptr<TScriptedDialogs> FDialogs;
    std::unique_ptr<TForm2> FForm;
};

TEST_F(InstallFormTest, LatestPackageInstallsEveryPartWithItsLogLines) {
    ServePackage("latest", PackageFiles());
    const auto LEntry = Json(R"({"name": "Orvane 22", "version": "22.0", "file_version": "1.4.2",
        "file": "latest", "url": "file/", "base_url": "", "bpls": "Orvane_Core.bpl",
        "dcps": "Orvane_Core.dcp", "dlls": "Win32/Release/Orvane.dll", "platforms": "Win32,Win64"})");

    ASSERT_TRUE(Install(*LEntry));

    ASSERT_EQ(FileRequests().size(), 1u);
    EXPECT_THAT(FileRequests()[0], StartsWith("/file/latest?token="));
    const std::string LPackage = DownloadDir() + "Orvane_22.0_1.4.2.zip";
    // The registry backup is named after the local time; it is the one file in Backups/.
    std::vector<std::string> LDownloaded = ListTree(DownloadDir());
    const auto LBackup =
        std::find_if(LDownloaded.begin(), LDownloaded.end(), [](const auto& AName) {
            return AName.rfind("Backups/22.0 install ", 0) == 0;
        });
    ASSERT_NE(LBackup, LDownloaded.end());
    const std::string LBackupFile = DownloadDir() + *LBackup;
    LDownloaded.erase(LBackup);
    EXPECT_EQ(LDownloaded,
              (std::vector<std::string>{
                  "22.0/", "22.0/Win32/", "22.0/Win32/Release/", "22.0/Win32/Release/C/",
                  "22.0/Win32/Release/C/hpp/", "22.0/Win32/Release/C/hpp/Orvane.hpp",
                  "22.0/Win32/Release/Orvane.dll", "22.0/Win32/Release/Orvane_Core.bpl",
                  "22.0/Win32/Release/Orvane_Core.dcp", "22.0/Win64/", "22.0/Win64/Release/",
                  "22.0/Win64/Release/Orvane_Core.bpl", "22.0/Win64/Release/Orvane_Core.dcp",
                  "Backups/", "Orvane_22.0_1.4.2.zip"}));
    EXPECT_EQ(ListTree(CommonDir("22.0")),
              (std::vector<std::string>{"Bpl/", "Bpl/Orvane_Core.bpl", "Bpl/Win64/",
                                        "Bpl/Win64/Orvane_Core.bpl", "Dcp/", "Dcp/Orvane_Core.dcp",
                                        "Dcp/Win64/", "Dcp/Win64/Orvane_Core.dcp"}));
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Win64/Orvane_Core.bpl"), "core64");
    EXPECT_EQ(ListTree(BinDir("22.0")),
              (std::vector<std::string>{"Orvane.dll", "libeay32.dll", "ssleay32.dll"}));

    const auto LRecord = Record("22.0");
    ASSERT_TRUE(LRecord);
    EXPECT_EQ(LRecord->Version, "1.4.2");
    EXPECT_EQ(LRecord->License, "DEVELOPER");
    EXPECT_EQ(LRecord->PackageType, "DEVELOPER");
    EXPECT_EQ(LRecord->Path, VersionDir("22.0"));
    EXPECT_EQ(KnownPackages("22.0"),
              (std::map<std::string, std::string>{
                  {CommonDir("22.0") + "Bpl/Orvane_Core.bpl", "Orvane_Core.bpl"}}));

    EXPECT_GT(FForm->ProgressBar->maximum(), 0);
    EXPECT_EQ(FForm->ProgressBar->value(), FForm->ProgressBar->maximum());
    EXPECT_TRUE(FDialogs->Calls().empty());

    const QString LCommon = QString::fromStdString(CommonDir("22.0"));
    const QString LBin = QString::fromStdString(BinDir("22.0"));
    EXPECT_EQ(
        LogMessages(),
        (QStringList{
            "Reading Orvane registry entry for \"22.0\"",
            "Downloading \"Orvane_22.0_1.4.2.zip\" ...",
            "Extracting package \"Orvane_22.0_1.4.2.zip\" ...",
            "Extracting all files for \"22.0\" into \"" +
                QString::fromStdString(VersionDir("22.0")) + "\"",
            "Extracting BPL files for \"22.0\"",
            "Copy BPL file \"Win32/Release/Orvane_Core.bpl\" to \"" + LCommon + "Bpl/\"...",
            "Copy BPL file \"Win64/Release/Orvane_Core.bpl\" to \"" + LCommon + "Bpl/Win64/\"...",
            "Extracting DCP files for \"22.0\"",
            "Copy DCP file \"Win32/Release/Orvane_Core.dcp\" to \"" + LCommon + "Dcp/\" ...",
            "Copy DCP file \"Win64/Release/Orvane_Core.dcp\" to \"" + LCommon + "Dcp/Win64/\" ...",
            "Extracting DLL files for \"22.0\"",
            "Copy DLL file \"Win32/Release/Orvane.dll\" ...",
            "Copying SSL libraries from \"" + QString::fromStdString(Root()) + "exe/\" to \"" +
                LBin + "\"",
            "Registry backup written to \"" + QString::fromStdString(LBackupFile) + "\"",
            "Writing Orvane registry entries ...",
            "Writing Orvane registry entries done",
            "Editing registry entries ...",
            "Editing registry entries done.",
            "Extracting package \"Orvane_22.0_1.4.2.zip\" done.",
            "Installation done.",
        }));
}

TEST_F(InstallFormTest, RecordTakesFileVersionEditionAndPackageType) {
    const struct {
        orvane::TUserMode Mode;
        const char* Name;
        const char* FileVersionMember;
        const char* Version;
        const char* License;
        const char* Type;
    } LCases[] = {
        {orvane::imDeveloper, "Orvane 22", "", "1.4.2", "DEVELOPER", "DEVELOPER"},
        {orvane::imCommercial, "Orvane 22", "", "1.4.2", "COMMERCIAL", ""},
        {orvane::imCommercial, "Orvane GAMEPACKAGE", R"("file_version": 7,)", "7", "COMMERCIAL",
         "GAMEPACKAGE"},
        {orvane::imDeveloper, "Orvane BASICPACKAGE", R"("file_version": "2.0.1",)", "2.0.1",
         "DEVELOPER", "BASIC"},
    };
    for (const auto& LCase : LCases) {
        orvane::DeleteRegistryData(*FStore, "22.0");
        ResetFolders();
        // Reused from the download folder: a Commercial login would need an account.
        fs::create_directories(DownloadDir());
        WriteTestZip(DownloadDir() + "Orvane_22.0_1.4.2.zip", PackageFiles());
        FDialogs->AnswerNo();
        FForm->FCredentials.Mode = LCase.Mode;
        const auto LEntry = Json(std::string(R"({"name": ")") + LCase.Name + "\", " +
                                 LCase.FileVersionMember + R"( "version": "22.0",
            "file": "Orvane_22.0_1.4.2.zip", "url": "file/", "bpls": "Orvane_Core.bpl",
            "dcps": "", "platforms": "Win32"})");
        EXPECT_TRUE(Install(*LEntry)) << LCase.Name << "\n"
                                      << LogMessages().join("\n").toStdString();
        const auto LRecord = Record("22.0");
        ASSERT_TRUE(LRecord) << LCase.Name;
        EXPECT_EQ(LRecord->Version, LCase.Version) << LCase.Name;
        EXPECT_EQ(LRecord->License, LCase.License) << LCase.Name;
        EXPECT_EQ(LRecord->PackageType, LCase.Type) << LCase.Name;
        EXPECT_EQ(LRecord->IDEVersion, "22.0");
    }
}

TEST_F(InstallFormTest, DownloadUrlFormsAndFailedDownloads) {
    ServePackage("tok.zip", PackageFiles());
    const std::string LBase = FServer.BaseUrl();
    const struct {
        std::string Url;
        std::string BaseUrl;
        std::string File;
        std::string Request; // exact, or a prefix when it ends in "token="
        bool Installed;
    } LCases[] = {
        // absolute: fetched unchanged, without a token (so this server refuses it)
        {LBase + "/file/", "https://elsewhere.example/", "abs.zip", "/file/abs.zip", false},
        // "file/": relative to the API server, with a token
        {"file/", "https://elsewhere.example/", "tok.zip", "/file/tok.zip?token=", true},
        // below "base_url"
        {"pkg/", LBase + "/", "rel.zip", "/pkg/rel.zip", false},
    };
    for (const auto& LCase : LCases) {
        FServer.Clear();
        const auto LEntry =
            Json(R"({"name": "Orvane", "version": "22.0", "url": ")" + LCase.Url +
                 R"(", "base_url": ")" + LCase.BaseUrl + R"(", "file": ")" + LCase.File +
                 R"(", "bpls": "", "dcps": "", "platforms": "Win32"})");
        orvane::DeleteRegistryData(*FStore, "22.0");
        EXPECT_EQ(Install(*LEntry), LCase.Installed) << LCase.File;
        ASSERT_EQ(FileRequests().size(), 1u) << LCase.File;
        if (LCase.Request.ends_with("token=")) {
            EXPECT_THAT(FileRequests()[0], StartsWith(LCase.Request));
            EXPECT_GT(FileRequests()[0].size(), LCase.Request.size());
        } else {
            EXPECT_EQ(FileRequests()[0], LCase.Request);
        }
        if (!LCase.Installed) {
            const std::string LPath = DownloadDir() + LCase.File;
            EXPECT_FALSE(fs::exists(LPath)) << LCase.File;
            EXPECT_THAT(LogMessages().last().toStdString(),
                        StartsWith("Failed to download package: " + LCase.File + " (Temporary=\"" +
                                   LPath + "\")\r\n"));
            EXPECT_GT(LogMessages().last().size(),
                      QString::fromStdString("Failed to download package: " + LCase.File +
                                             " (Temporary=\"" + LPath + "\")\r\n")
                          .size())
                << "the downloader's message follows";
            EXPECT_FALSE(Record("22.0"));
        }
    }
}

// The HTTP client's own line about the proxy it used reaches install.log and the
// window from the transfer thread, in order before the download's outcome.
TEST_F(InstallFormTest, TheProxyADownloadWentThroughIsLogged) {
    ServePackage("proxied.zip", PackageFiles());
    const TLocalProxy LProxy;
    TScopedEnv LEnv;
    UseProxy(LEnv, LProxy.Url());
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "proxied.zip", "bpls": "", "dcps": "", "platforms": "Win32"})");

    ASSERT_TRUE(Install(*LEntry));

    ASSERT_FALSE(LProxy.Requests().empty());
    const QString LLine =
        QString::fromStdString("Requests to " + FServer.BaseUrl() +
                               " go through the proxy 127.0.0.1:" + std::to_string(LProxy.Port()) +
                               " (from the proxy environment variables)");
    const QStringList LMessages = LogMessages();
    const auto LAt = LMessages.indexOf(LLine);
    ASSERT_GE(LAt, 0) << LMessages.join(QStringLiteral("\n")).toStdString();
    EXPECT_EQ(LMessages.count(LLine), 1);
    const auto LUnzip = LMessages.indexOf(QRegularExpression(QStringLiteral("^Extracting ")));
    EXPECT_TRUE(LUnzip < 0 || LAt < LUnzip) << LMessages.join(QStringLiteral("\n")).toStdString();
}

TEST_F(InstallFormTest, ExistingPackageIsReusedOrReplaced) {
    ServePackage("Orvane_22.0_1.4.2.zip", PackageFiles("-server"));
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "Orvane_22.0_1.4.2.zip", "bpls": "Orvane_Core.bpl", "dcps": "",
        "platforms": "Win32"})");
    const std::string LPackage = DownloadDir() + "Orvane_22.0_1.4.2.zip";
    const struct {
        int Answer;
        bool Downloads;
        const char* BplContent;
    } LCases[] = {{mrNo, false, "core32-local"},
                  {mrCancel, false, "core32-local"},
                  {mrYes, true, "core32-server"}};
    for (const auto& LCase : LCases) {
        FServer.Clear();
        FDialogs->ClearCalls();
        orvane::DeleteRegistryData(*FStore, "22.0");
        ResetFolders();
        fs::create_directories(DownloadDir());
        WriteTestZip(LPackage, PackageFiles("-local"));
        FForm->SetProgressRange(1000);
        FForm->SetProgressValue(123);
        const int LMax = FForm->ProgressBar->maximum();
        const int LValue = FForm->ProgressBar->value();
        FDialogs->AnswerQuestion(LCase.Answer);

        EXPECT_TRUE(Install(*LEntry));

        EXPECT_EQ(FDialogs->Calls(),
                  (std::vector<TDialogCall>{
                      {dkWarningQuestion,
                       QString::fromStdString("The package file \"" + LPackage +
                                              "\" already exists.\r\n\r\nDo you want to delete it "
                                              "and download again?"),
                       mrYes}}));
        EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"), LCase.BplContent);
        const QStringList LLog = LogMessages();
        EXPECT_THAT(
            LLog, Contains(QString::fromStdString("Package file " + LPackage + " already exists")));
        if (LCase.Downloads) {
            EXPECT_EQ(FileRequests().size(), 1u);
            EXPECT_THAT(LLog, Contains(QString::fromStdString("Deleting existing package file " +
                                                              LPackage)));
            EXPECT_EQ(FForm->ProgressBar->value(), FForm->ProgressBar->maximum());
        } else {
            EXPECT_TRUE(FileRequests().empty());
            // No download, but the extraction moves the bar to its end.
            EXPECT_NE(FForm->ProgressBar->maximum(), LMax);
            EXPECT_NE(FForm->ProgressBar->value(), LValue);
            EXPECT_EQ(FForm->ProgressBar->value(), FForm->ProgressBar->maximum());
        }
    }
}

TEST_F(InstallFormTest, AlreadyInstalledQuestionComparesDottedVersions) {
    ServePackage("Orvane.zip", PackageFiles());
    const struct {
        const char* Recorded;
        const char* New;
        bool Asked;
    } LCases[] = {
        {"1.4.2", "1.4.2", true},
        {"1.10.0", "1.9.0", true}, // a downgrade, although "1.10.0" <
                                   // "1.9.0" as text
        {"1.9.0", "1.10.0", false},
        {"1.4.2", "1.4.3", false},
        {"2.0", "1.99", true},
    };
    for (const auto& LCase : LCases) {
        for (const int LAnswer : {mrNo, mrCancel, mrAbort, mrYes}) {
            if (!LCase.Asked && LAnswer != mrYes) {
                continue;
            }
            FDialogs->ClearCalls();
            ResetFolders();
            orvane::WriteRegistryData(
                *FStore, orvane::TOrvaneRegistryData::Create("22.0", LCase.Recorded, "DEVELOPER",
                                                             "DEVELOPER", "/old/"));
            const auto LEntry = Json(std::string(R"({"name": "Orvane", "version": "22.0",
                "url": "file/", "file": "Orvane.zip", "bpls": "", "dcps": "", "platforms": "Win32",
                "file_version": ")") +
                                     LCase.New + "\"}");
            if (LCase.Asked) {
                FDialogs->AnswerQuestion(LAnswer);
            }

            const bool LResult = Install(*LEntry);

            const std::string LLabel = std::string(LCase.Recorded) + " -> " + LCase.New;
            if (LCase.Asked) {
                EXPECT_EQ(FDialogs->Texts(dkWarningQuestion),
                          QStringList{QString::fromStdString(
                              std::string("You try to install version \"") + LCase.New +
                              "\", but a Orvane version \"" + LCase.Recorded +
                              "\" is already installed.\r\n\r\nDo you want to continue?")})
                    << LLabel;
            } else {
                EXPECT_TRUE(FDialogs->Texts(dkWarningQuestion).isEmpty()) << LLabel;
            }
            EXPECT_EQ(LResult, LAnswer == mrYes) << LLabel << " answer " << LAnswer;
            EXPECT_EQ(Record("22.0")->Version, LAnswer == mrYes ? LCase.New : LCase.Recorded)
                << LLabel;
            if (LAnswer != mrYes) {
                EXPECT_EQ(LogMessages().last(),
                          QStringLiteral("Reading Orvane registry entry for \"22.0\""));
                EXPECT_FALSE(fs::exists(DownloadDir() + "Orvane.zip"));
            }
        }
    }
}

TEST_F(InstallFormTest, PlatformsDecidePlacementAndKnownPackagePairs) {
    ServePackage("Orvane.zip", {{"Win32/Release/A.bpl", "A32"},
                                {"Win64/Release/A.bpl", "A64"},
                                {"Win32/Release/A.dcp", "D32"},
                                {"Win64/Release/A.dcp", "D64"}});
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "Orvane.zip", "bpls": "A.bpl, Missing.bpl,", "dcps": "A.dcp",
        "platforms": " Win32, Win64 ,win32"})");

    ASSERT_TRUE(Install(*LEntry));

    // "win32" is not "Win32": a folder of its own, no pair; its lookup ignores case.
    EXPECT_EQ(ListTree(CommonDir("22.0")),
              (std::vector<std::string>{"Bpl/", "Bpl/A.bpl", "Bpl/Win64/", "Bpl/Win64/A.bpl",
                                        "Bpl/win32/", "Bpl/win32/A.bpl", "Dcp/", "Dcp/A.dcp",
                                        "Dcp/Win64/", "Dcp/Win64/A.dcp", "Dcp/win32/",
                                        "Dcp/win32/A.dcp"}));
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/A.bpl"), "A32");
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Win64/A.bpl"), "A64");
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Dcp/Win64/A.dcp"), "D64");
    // The missing BPL still gets its Win32 pair; the trailing comma names nothing.
    EXPECT_EQ(KnownPackages("22.0"), (std::map<std::string, std::string>{
                                         {CommonDir("22.0") + "Bpl/A.bpl", "A.bpl"},
                                         {CommonDir("22.0") + "Bpl/Missing.bpl", "Missing.bpl"}}));
    const QStringList LLog = LogMessages();
    EXPECT_EQ(LLog.filter(QStringLiteral("Copy BPL file")).size(), 3);
    EXPECT_TRUE(LLog.filter(QStringLiteral("Missing.bpl")).isEmpty());
}

TEST_F(InstallFormTest, DllsAndSslLibraries) {
    ServePackage("Orvane.zip", PackageFiles());
    const struct {
        const char* Label;
        const char* Dlls; // nullptr: member absent
        bool SslPresent;
        QStringList Warnings;
        std::vector<std::string> Bin;
    } LCases[] = {
        {"no dlls", nullptr, false, {}, {"libeay32.dll", "ssleay32.dll"}},
        {"dll",
         "Win32/Release/Orvane.dll, Missing.dll",
         false,
         {},
         {"Orvane.dll", "libeay32.dll", "ssleay32.dll"}},
        {"ssl present", nullptr, true, {"The specified file already exists"}, {"libeay32.dll"}},
        {"dll in another case",
         "win32/release/orvane.dll",
         false,
         {},
         {"Orvane.dll", "libeay32.dll", "ssleay32.dll"}},
    };
    for (const auto& LCase : LCases) {
        FDialogs->ClearCalls();
        orvane::DeleteRegistryData(*FStore, "22.0");
        ResetFolders();
        if (LCase.SslPresent) {
            WriteFileText(BinDir("22.0") + "libeay32.dll", "older");
        }
        const auto LEntry =
            Json(std::string(R"({"name": "Orvane", "version": "22.0", "url": "file/",
            "file": "Orvane.zip", "bpls": "Orvane_Core.bpl", "dcps": "", "platforms": "Win32")") +
                 (LCase.Dlls ? std::string(R"(, "dlls": ")") + LCase.Dlls + "\"" : "") + "}");

        EXPECT_TRUE(Install(*LEntry, IDEDir())) << LCase.Label;

        EXPECT_EQ(FDialogs->Texts(dkWarning), LCase.Warnings) << LCase.Label;
        const std::string LBin = IDEDir() + "22.0/bin/";
        EXPECT_EQ(ListTree(LBin), LCase.Bin) << LCase.Label;
        EXPECT_TRUE(fs::exists(CommonDir("22.0") + "Bpl/Orvane_Core.bpl")) << LCase.Label;
        EXPECT_EQ(LogMessages().last(), QStringLiteral("Installation done.")) << LCase.Label;
        EXPECT_THAT(LogMessages(), Contains(QStringLiteral("Extracting DLL files for \"22.0\"")));
        if (LCase.SslPresent) {
            EXPECT_EQ(ReadFileText(LBin + "libeay32.dll"), "older");
        }
    }
}

TEST_F(InstallFormTest, MissingMembersEndWithALineNamingThem) {
    ServePackage("Orvane.zip", PackageFiles());
    const struct {
        const char* Members;
        const char* LastLine;
        bool Extracted;
    } LCases[] = {
        {R"("bpls": "Orvane_Core.bpl", "dcps": "", "version": "22.0")",
         "<ERROR> The package entry has no \"platforms\"", true},
        {R"("platforms": "Win32", "version": "22.0")",
         "<ERROR> The package entry has no \"bpls\", \"dcps\"", true},
        {R"("bpls": "", "dcps": "", "platforms": "Win32", "version": true)",
         "<ERROR> The package entry has no \"version\"", false},
    };
    for (const auto& LCase : LCases) {
        ResetFolders();
        const auto LEntry = Json(std::string(R"({"name": "Orvane", "url": "file/",
            "file": "Orvane.zip", )") +
                                 LCase.Members + "}");

        EXPECT_FALSE(Install(*LEntry)) << LCase.Members;

        EXPECT_EQ(LogMessages().last(), QString::fromUtf8(LCase.LastLine));
        EXPECT_EQ(fs::exists(VersionDir("22.0") + "Win32/Release/Orvane_Core.bpl"),
                  LCase.Extracted);
        EXPECT_FALSE(fs::exists(VersionDir("0.0")));
        EXPECT_FALSE(Record("22.0"));
        EXPECT_TRUE(KnownPackages("22.0").empty());
        EXPECT_FALSE(fs::exists(CommonDir("22.0") + "Bpl"));
    }
}

TEST_F(InstallFormTest, HostileZipEscapesAsAnErrorWithNothingExtracted) {
    ServePackage("Orvane.zip", {{"Win32/Release/Orvane_Core.bpl", "fine"},
                                {"Win32/../../../escaped.txt", "bad"}});
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "Orvane.zip", "bpls": "Orvane_Core.bpl", "dcps": "", "platforms": "Win32"})");

    EXPECT_THAT([&] { Install(*LEntry); }, testing::ThrowsMessage<orvane::EZipError>(
                                               HasSubstr("\"Win32/../../../escaped.txt\"")));

    EXPECT_EQ(ListTree(DownloadDir()), std::vector<std::string>{"Orvane.zip"});
    EXPECT_FALSE(fs::exists(FTemp.Path() / "escaped.txt"));
    EXPECT_FALSE(Record("22.0"));
}

TEST_F(InstallFormTest, ProgressBarFollowsADownloadBeyondTwoGiB) {
    const std::uintmax_t LSize = (std::uintmax_t{1} << 31) + (64u << 20);
    FServer.MakeSizedFile("big.zip", LSize);
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "big.zip", "bpls": "", "dcps": "", "platforms": "Win32"})");
    std::vector<int> LValues;
    QObject::connect(FForm->ProgressBar, &QProgressBar::valueChanged,
                     [&LValues](int AValue) { LValues.push_back(AValue); });

    // All zeros is no zip: the error comes after the download.
    EXPECT_THROW(Install(*LEntry), orvane::EZipError);

    EXPECT_EQ(fs::file_size(DownloadDir() + "big.zip"), LSize);
    fs::remove(DownloadDir() + "big.zip");
    // From the package transfer's start (the token request may move the bar
    // before it) the bar climbs steadily to full.
    const auto LStart = std::find(LValues.rbegin(), LValues.rend(), 0).base();
    ASSERT_NE(LStart, LValues.begin()) << testing::PrintToString(LValues);
    EXPECT_GT(LValues.end() - LStart, 2);
    EXPECT_GT(FForm->ProgressBar->maximum(), 0);
    EXPECT_EQ(LValues.back(), FForm->ProgressBar->maximum());
    EXPECT_TRUE(std::is_sorted(LStart - 1, LValues.end())) << testing::PrintToString(LValues);
    EXPECT_EQ(FForm->ProgressBar->minimum(), 0);
}

TEST_F(InstallFormTest, WindowKeepsRespondingWhileALargePackageIsExtracted) {
    const std::string LLarge = Letters(24 * 1024 * 1024);
    fs::create_directories(DownloadDir());
    WriteTestZip(DownloadDir() + "Orvane.zip", {{"Win32/Release/Orvane_Core.bpl", LLarge}});
    FDialogs->AnswerNo(); // reuse it: no download
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "Orvane.zip", "bpls": "", "dcps": "", "platforms": "Win32"})");
    // Timer ticks are window events: the longest gap between two of them,
    // from the first one under the extraction's log line to the first one
    // after it, is how long the window froze while extracting.
    const QString LExtracting = QString::fromStdString("Extracting all files for \"22.0\" into \"" +
                                                       VersionDir("22.0") + "\"");
    using TClock = std::chrono::steady_clock;
    std::vector<std::pair<TClock::time_point, bool>> LTicks;
    QTimer LTimer;
    LTimer.setInterval(5);
    QObject::connect(&LTimer, &QTimer::timeout, [&] {
        LTicks.emplace_back(TClock::now(), FForm->ProgressLabel->text() == LExtracting);
    });
    LTimer.start();

    ASSERT_TRUE(Install(*LEntry));

    EXPECT_EQ(fs::file_size(VersionDir("22.0") + "Win32/Release/Orvane_Core.bpl"), LLarge.size());
    const auto LFirst =
        std::find_if(LTicks.begin(), LTicks.end(), [](auto& ATick) { return ATick.second; });
    ASSERT_NE(LFirst, LTicks.end()) << "no window event ran during the extraction";
    const auto LAfter =
        std::find_if(LFirst, LTicks.end(), [](auto& ATick) { return !ATick.second; });
    ASSERT_NE(LAfter, LTicks.end());
    TClock::duration LLongest{};
    for (auto LAt = LFirst; LAt != LAfter; ++LAt) {
        LLongest = std::max(LLongest, std::next(LAt)->first - LAt->first);
    }
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(LLongest).count(), 400)
        << "extraction blocked the window";
}

TEST_F(InstallFormTest, MissingEntryOrUncreatableDownloadDirectory) {
    EXPECT_FALSE(FForm->InstallPackage(nullptr, QString::fromStdString(IDEDir()),
                                       QString::fromStdString(DownloadDir())));
    EXPECT_TRUE(LogMessages().isEmpty());

    WriteFileText(FTemp.Path() / "a-file", "x");
    const std::string LBadDir = Root() + "a-file/downloads/";
    const auto LEntry = Json(R"({"name": "Orvane", "version": "22.0", "url": "file/",
        "file": "Orvane.zip", "bpls": "", "dcps": "", "platforms": "Win32"})");
    EXPECT_FALSE(FForm->InstallPackage(LEntry.get(), QString::fromStdString(IDEDir()),
                                       QString::fromStdString(LBadDir)));
    EXPECT_EQ(LogMessages(), QStringList{QString::fromStdString(
                                 "<ERROR> Failed to create directory: \"" + LBadDir + "\"")});
    EXPECT_TRUE(FileRequests().empty());
}

// Orchestration through the Versions page.
class InstallRunTest : public InstallFormTest {
protected:
    // Lists the entries on the Versions page as the configuration download does.
    void ListVersions(const std::string& AEntriesJson) {
        ListDocument(Json(R"({"ide": [)" + AEntriesJson + "]}"));
    }

    void ListDocument(std::unique_ptr<rapidjson::Document> ADocument) {
        FForm->SwitchPage(wpVersions);
        FForm->Edit1->setText(QString::fromStdString(IDEDir()));
        FForm->Edit2->setText(QString::fromStdString(DownloadDir()));
        FForm->ListBox1->clear();
        FForm->FConfig = std::move(ADocument);
        for (const rapidjson::Value& LEntry : (*FForm->FConfig)["ide"].GetArray()) {
            auto* LItem = new QListWidgetItem(
                QString::fromStdString(orvane::ReadMemberTextOrEmpty(LEntry, "name")),
                FForm->ListBox1);
            LItem->setFlags(LItem->flags() | Qt::ItemIsUserCheckable);
            LItem->setCheckState(Qt::Unchecked);
            TForm2AttachEntry(LItem, &LEntry);
        }
    }

    static std::string Entry(const std::string& AVersion, const std::string& AFile,
                             const std::string& AMore = "") {
        return R"({"name": "Orvane )" + AVersion + R"(", "version": ")" + AVersion +
               R"(", "url": "file/", "file": ")" + AFile +
               R"(", "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp", "platforms": "Win32")" +
               AMore + "}";
    }

    void Tick(std::initializer_list<int> ARows) {
        for (int LRow : ARows) {
            FForm->ListBox1->item(LRow)->setCheckState(Qt::Checked);
        }
    }

    QWidget* Page() const { return FForm->TabControl1->currentWidget(); }

    // Processes window events until ADone holds (at most 20 s).
    static void WaitUntil(const std::function<bool()>& ADone) {
        const auto LEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!ADone() && std::chrono::steady_clock::now() < LEnd) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    static constexpr const char* CAccounts =
        R"({"accounts": [{"user": "buyer@example.org", "password": "s3cret"}]})";
    QString DoneText() const { return FForm->Label4->text(); }
    const QString CThanks =
        QStringLiteral("Thank you for installing Orvane! You can now start working!");
};

TEST_F(InstallRunTest, SamplePackageOfTheLocalServerInstalls) {
    TLocalApiServer::TOptions LOptions;
    LOptions.SamplePackages = true;
    TLocalApiServer LServer(LOptions);
    CreateForm(FDialogs, LServer.BaseUrl());
    ListDocument(Json(ReadFileText(LServer.Root() / "config" / "dev.json")));
    FForm->CheckBox1->setChecked(true);
    Tick({0});

    FForm->InstallButtonClick();

    EXPECT_EQ(DoneText(), CThanks) << LogMessages().join("\n").toStdString();
    EXPECT_TRUE(FDialogs->Calls().empty());
    const auto LRecord = Record("22.0");
    ASSERT_TRUE(LRecord);
    EXPECT_EQ(LRecord->Version, "1.4.2");
    EXPECT_EQ(LRecord->Path, VersionDir("22.0"));
    EXPECT_EQ(KnownPackages("22.0"),
              (std::map<std::string, std::string>{
                  {CommonDir("22.0") + "Bpl/Orvane_Core.bpl", "Orvane_Core.bpl"},
                  {CommonDir("22.0") + "Bpl/Orvane_Visual.bpl", "Orvane_Visual.bpl"}}));
    const auto LSearchPath =
        FStore->GetValue(std::string(CBds) + "22.0\\Library\\Win64", "Search Path");
    ASSERT_TRUE(LSearchPath);
    EXPECT_THAT(TextOf(*LSearchPath), HasSubstr(VersionDir("22.0") + "Win64/Release/"));
    EXPECT_EQ(ListTree(BinDir("22.0")),
              (std::vector<std::string>{"OrvaneNative.dll", "libeay32.dll", "ssleay32.dll"}));
    EXPECT_TRUE(fs::exists(CommonDir("22.0") + "Dcp/Win64/Orvane_Visual.dcp"));
    EXPECT_TRUE(fs::exists(VersionDir("22.0") + "Win32/Release/C/hpp/Orvane.Core.hpp"));
}

TEST_F(InstallRunTest, SelectionReadersFollowListOrder) {
    ListVersions(Entry("22.0", "a.zip") + "," + Entry("23.0", "b.zip") + "," +
                 Entry("24.0", "c.zip"));
    ASSERT_EQ(FForm->ListBox1->count(), 3);
    Tick({2, 0});
    QStringList LNames;
    std::vector<const rapidjson::Value*> LEntries;
    FForm->GetSelectedVersionNames(LNames);
    FForm->GetSelectedVersions(LEntries);
    EXPECT_EQ(LNames,
              (QStringList{FForm->ListBox1->item(0)->text(), FForm->ListBox1->item(2)->text()}));
    ASSERT_EQ(LEntries.size(), 2u);
    EXPECT_EQ(orvane::ReadMemberTextOrEmpty(*LEntries[0], "file"), "a.zip");
    EXPECT_EQ(orvane::ReadMemberTextOrEmpty(*LEntries[1], "file"), "c.zip");
}

TEST_F(InstallRunTest, ChecksRunInOrderAndStopOnTheVersionsPage) {
    const std::string LElement =
        std::string(CBds) + "23.0\\CatalogRepository\\Elements\\Orvane-1.0";
    const struct {
        const char* Label;
        bool Terms;
        bool Tick;
        bool GetIt;
        std::vector<int> Answers;
        std::vector<TDialogCall> Calls;
    } LCases[] = {
        {"terms and selection missing",
         false,
         false,
         false,
         {},
         {{dkWarning, "You need to accept the terms and conditions before installing."}}},
        {"terms missing",
         false,
         true,
         true,
         {},
         {{dkWarning, "You need to accept the terms and conditions before installing."}}},
        {"nothing ticked",
         true,
         false,
         true,
         {},
         {{dkWarning, "You need to select at least one version to be installed."}}},
        {"GetIt cleanup declined",
         true,
         true,
         true,
         {mrNo},
         {{dkWarning, "You have installed Orvane by GetIt Package Manager. Please uninstall "
                      "first before continuing."},
          {dkConfirmationQuestion,
           "Orvane Installer offers to remove those registry entries manually.\r\nCAUTION: "
           "Removing those entries might cause path conflicts. Use it only to cleanup your "
           "installations!\r\nDo you want to remove those registry entries manually now?"}}},
    };
    ServePackage("a.zip", PackageFiles());
    for (const auto& LCase : LCases) {
        FDialogs->ClearCalls();
        FServer.Clear();
        FStore->DeleteKey(LElement);
        if (LCase.GetIt) {
            ASSERT_TRUE(FStore->CreateKey(LElement));
            ASSERT_TRUE(FStore->SetValue(LElement, StringValue("Name", "Orvane")));
        }
        ListVersions(Entry("22.0", "a.zip"));
        FForm->CheckBox1->setChecked(LCase.Terms);
        if (LCase.Tick) {
            Tick({0});
        }
        for (int LAnswer : LCase.Answers) {
            FDialogs->AnswerQuestion(LAnswer);
        }

        FForm->InstallButtonClick();

        EXPECT_EQ(FDialogs->Calls(), LCase.Calls) << LCase.Label;
        EXPECT_EQ(Page(), FForm->TbItm_Versions) << LCase.Label;
        EXPECT_TRUE(FileRequests().empty()) << LCase.Label;
        EXPECT_EQ(FStore->KeyExists(LElement), LCase.GetIt) << LCase.Label;
        EXPECT_FALSE(Record("22.0")) << LCase.Label;
    }
}

TEST_F(InstallRunTest, AcceptedGetItCleanupRunsBeforeInstalling) {
    const std::string LElement =
        std::string(CBds) + "23.0\\CatalogRepository\\Elements\\Orvane-1.0";
    ASSERT_TRUE(FStore->CreateKey(LElement));
    ASSERT_TRUE(FStore->SetValue(LElement, StringValue("Name", "Orvane")));
    ServePackage("a.zip", PackageFiles());
    ListVersions(Entry("22.0", "a.zip"));
    FForm->CheckBox1->setChecked(true);
    Tick({0});
    // Edit2 without its trailing separator: the backups still go inside it.
    FForm->Edit2->setText(QString::fromStdString(Root() + "downloads"));
    FDialogs->AnswerYes().AnswerYes();

    FForm->InstallButtonClick();

    EXPECT_EQ(FDialogs->PendingAnswers(), 0u);
    EXPECT_FALSE(FStore->KeyExists(LElement)) << LogMessages().join("\n").toStdString();
    EXPECT_TRUE(fs::exists(DownloadDir() + "Orvane-1.0.reg"));
    EXPECT_EQ(Page(), FForm->TbItm_Completed);
    EXPECT_EQ(DoneText(), CThanks);
    EXPECT_TRUE(Record("22.0"));
}

TEST_F(InstallRunTest, SecondOfThreeFailsAtDownload) {
    for (const char* LName : {"a.zip", "b.zip", "c.zip"}) {
        ServePackage(LName, PackageFiles());
    }
    FServer.SetFault("status", "/file/b.zip", -1, 500);
    ListVersions(Entry("22.0", "a.zip") + "," + Entry("23.0", "b.zip") + "," +
                 Entry("24.0", "c.zip"));
    FForm->CheckBox1->setChecked(true);
    Tick({0, 1, 2});

    FForm->InstallButtonClick();

    EXPECT_EQ(Page(), FForm->TbItm_Completed);
    const QStringList LFailures = LogMessages().filter(QStringLiteral("Failed to download"));
    ASSERT_EQ(LFailures.size(), 1);
    EXPECT_THAT(LFailures[0].toStdString(),
                StartsWith("Failed to download package: b.zip (Temporary=\"" + DownloadDir() +
                           "b.zip\")\r\n"));
    EXPECT_EQ(DoneText(), LFailures[0] + "\r\n\r\n");
    EXPECT_TRUE(Record("22.0"));
    EXPECT_FALSE(Record("23.0"));
    EXPECT_TRUE(Record("24.0"));
    EXPECT_TRUE(FDialogs->Calls().empty());
}

TEST_F(InstallRunTest, DeclinedAlreadyInstalledQuestionReportsTheRegistryLine) {
    ServePackage("a.zip", PackageFiles());
    orvane::WriteRegistryData(*FStore, orvane::TOrvaneRegistryData::Create(
                                           "22.0", "9.9", "DEVELOPER", "DEVELOPER", "/old/"));
    ListVersions(Entry("22.0", "a.zip", R"(, "file_version": "1.0")"));
    FForm->CheckBox1->setChecked(true);
    Tick({0});
    FDialogs->AnswerNo();

    FForm->InstallButtonClick();

    EXPECT_EQ(Page(), FForm->TbItm_Completed);
    EXPECT_EQ(DoneText(), QStringLiteral("Reading Orvane registry entry for \"22.0\"\r\n\r\n"));
}

TEST_F(InstallRunTest, ZipThatCannotBeOpenedIsShownAndCounted) {
    FServer.WriteFile("a.zip", "this is not a zip archive");
    ServePackage("b.zip", PackageFiles());
    ListVersions(Entry("22.0", "a.zip") + "," + Entry("23.0", "b.zip"));
    FForm->CheckBox1->setChecked(true);
    Tick({0, 1});

    FForm->InstallButtonClick();

    const QStringList LWarnings = FDialogs->Texts(dkWarning);
    ASSERT_EQ(LWarnings.size(), 1);
    EXPECT_THAT(LWarnings[0].toStdString(),
                AllOf(HasSubstr("Cannot open zip file"), HasSubstr(DownloadDir() + "a.zip")));
    EXPECT_EQ(Page(), FForm->TbItm_Completed);
    EXPECT_EQ(DoneText(), LWarnings[0] + "\r\n\r\n");
    EXPECT_EQ(LogMessages().filter(QStringLiteral("<ERROR> ")).size(), 1);
    EXPECT_FALSE(Record("22.0"));
    EXPECT_TRUE(Record("23.0"));
}

// Names from the server that would steer a write out of its folder fail their
// version before anything is downloaded or written.
TEST_F(InstallRunTest, UnusableNamesFailTheVersionBeforeAnythingIsWritten) {
    ServePackage("a.zip", PackageFiles());
    const struct {
        const char* Member;
        const char* Json; // the member's value as JSON
        const char* ReportedMember;
    } LCases[] = {
        {"file", R"("../../x.zip")", "file"},
        {"file", R"("/tmp/abs.zip")", "file"},
        {"file", R"("C:x.zip")", "file"},
        {"file", R"("sub\\x.zip")", "file"},
        {"file", R"("CON")", "file"},
        {"file", R"("nul.zip")", "file"},
        {"file", R"("a\u0000b.zip")", "file"},
        {"file", R"("")", "file"},
        {"version", R"("..\\..\\Windows")", "version"},
        {"version", R"("23.0/../../x")", "version"},
        {"version", R"("")", "version"},
        {"version", R"("/etc")", "version"},
        {"version", R"("C:")", "version"},
        {"version", R"("22.0\u0000x")", "version"},
        {"file_version", R"("1/../../x", "file": "latest")", "file_version"},
        {"bpls", R"("Orvane_Core.bpl,../../evil.bpl")", "bpls"},
        {"dcps", R"("..\\evil.dcp")", "dcps"},
        {"platforms", R"("Win32,../..")", "platforms"},
        {"platforms", R"("Win32, C:")", "platforms"},
        {"platforms", R"("COM1")", "platforms"},
        {"dlls", R"("Win32/Release/")", "dlls"},
        {"dlls", R"("Win32/Release/nul")", "dlls"},
    };
    for (const auto& LCase : LCases) {
        const std::string LLabel = std::string(LCase.Member) + " = " + LCase.Json;
        ResetFolders();
        FServer.Clear();
        FDialogs->ClearCalls();
        const std::string LRegistryBefore = orvane::ExportRegText(*FStore, "SOFTWARE");
        std::vector<std::string> LTreeBefore = ListTree(FTemp.Path());
        // A later member of the same name would not count: the first one does.
        ListVersions(R"({")" + std::string(LCase.Member) + R"(": )" + LCase.Json + "," +
                     Entry("22.0", "a.zip", R"(, "dlls": "Win32/Release/Orvane.dll")").substr(1));
        FForm->CheckBox1->setChecked(true);
        Tick({0});

        FForm->InstallButtonClick();

        EXPECT_EQ(Page(), FForm->TbItm_Completed) << LLabel;
        const std::string LPrefix = std::string("<ERROR> Unusable \"") + LCase.ReportedMember +
                                    "\" in the package entry: \"";
        EXPECT_THAT(DoneText().toStdString(), StartsWith(LPrefix)) << LLabel;
        EXPECT_EQ(DoneText(), LogMessages().last() + "\r\n\r\n") << LLabel;
        EXPECT_TRUE(FDialogs->Calls().empty()) << LLabel;
        EXPECT_TRUE(FileRequests().empty()) << LLabel;
        EXPECT_EQ(orvane::ExportRegText(*FStore, "SOFTWARE"), LRegistryBefore) << LLabel;
        std::vector<std::string> LTreeAfter = ListTree(FTemp.Path());
        std::erase(LTreeAfter, "exe/install.log");
        std::erase(LTreeBefore, "exe/install.log");
        EXPECT_EQ(LTreeAfter, LTreeBefore) << LLabel;
    }
}

// A Commercial login whose configuration answer is slow, then Back and the
// Developer Edition: the older answer must never replace the list that the
// installation started from the newer one is reading.
TEST_F(InstallRunTest, LateConfigurationAnswerNeverReplacesTheListBeingInstalled) {
    TLocalApiServer LServer({.AccountsJson = CAccounts});
    CreateForm(FDialogs, LServer.BaseUrl());
    // Big enough that its slow download outlasts the Commercial answer.
    std::vector<TTestZipEntry> LFiles = PackageFiles();
    LFiles.push_back({"Win32/Release/noise.bin", Letters(400 * 1024)});
    const fs::path LZip = FTemp.Path() / "made" / "a.zip";
    fs::create_directories(LZip.parent_path());
    WriteTestZip(LZip, LFiles);
    LServer.WriteFile("a.zip", FileBytes(LZip));
    LServer.WriteConfig("dev", R"({"ide": [)" + Entry("22.0", "a.zip") + "]}");
    LServer.WriteConfig("com", std::string(96 * 1024, ' ') +
                                   R"({"ide": [{"name": "Late", "file": "late.zip"}]})");
    LServer.SetFault("slow", "/cfg/?mode=com", 1, 0, 150);
    LServer.SetFault("slow", "/file/", -1, 0, 150);

    FForm->CommercialButton->click();
    FForm->Edt_User->setText("buyer@example.org");
    FForm->Edt_Password->setText("s3cret");
    FForm->LoginButton->click();
    FForm->InstallBackButton->click();
    FForm->DeveloperButton->click();
    WaitUntil([&] { return FForm->ListBox1->count() > 0; });
    ASSERT_EQ(FForm->ListBox1->count(), 1);
    FForm->Edit1->setText(QString::fromStdString(IDEDir()));
    FForm->Edit2->setText(QString::fromStdString(DownloadDir()));
    FForm->CheckBox1->setChecked(true);
    Tick({0});

    FForm->InstallButtonClick();
    WaitUntil([] { return orvane::TDownloader::ActiveTransfers() == 0; });

    EXPECT_EQ(DoneText(), CThanks) << LogMessages().join("\n").toStdString();
    EXPECT_TRUE(Record("22.0"));
    ASSERT_EQ(FForm->ListBox1->count(), 1);
    EXPECT_EQ(FForm->ListBox1->item(0)->text(), QStringLiteral("Orvane 22.0 (va)"));
    EXPECT_EQ(FForm->FCredentials.Mode, orvane::imDeveloper);
    EXPECT_TRUE(FDialogs->Calls().empty());
}

// A failed Commercial configuration download that ends while an uninstallation
// runs neither warns nor resets the edition nor switches pages under it.
TEST_F(InstallRunTest, LateConfigurationFailureDuringAnUninstallationIsDropped) {
    TLocalApiServer LServer({.AccountsJson = CAccounts});
    LServer.SetFault("late", "/cfg/", 1, 500, 800);
    orvane::WriteRegistryData(*FStore, orvane::TOrvaneRegistryData::Create(
                                           "22.0", "1.0", "DEVELOPER", "DEVELOPER", "/old/"));
    CreateForm(FDialogs, LServer.BaseUrl());
    FForm->CommercialButton->click();
    FForm->Edt_User->setText("buyer@example.org");
    FForm->Edt_Password->setText("s3cret");
    FForm->LoginButton->click();
    FForm->InstallBackButton->click();
    bool LEndedInDialog = false;
    FDialogs->AnswerDialog([&](QDialog& ADialog) {
        WaitUntil([] { return orvane::TDownloader::ActiveTransfers() == 0; });
        LEndedInDialog = orvane::TDownloader::ActiveTransfers() == 0;
        return TScriptedDialogs::ClickButton(ADialog, "Cancel");
    });

    FForm->UninstallButton->click();

    EXPECT_TRUE(LEndedInDialog);
    EXPECT_EQ(FDialogs->Calls().size(), 1u) << "only the option dialog";
    EXPECT_EQ(FForm->FCredentials.Mode, orvane::imCommercial);
    EXPECT_EQ(FForm->FCredentials.Username, "buyer@example.org");
    EXPECT_EQ(Page(), FForm->TbItm_Welcome);
    EXPECT_TRUE(FForm->DownloadVersionsIndicator->isHidden());
    EXPECT_THAT(LServer.Requests(), Contains(StartsWith("/cfg/?mode=com")));
}

// Changes the two directory fields when the first question comes.
class TFieldChangingDialogs : public TScriptedDialogs {
public:
    std::function<void()> OnFirstQuestion;
    int WarningQuestion(QWidget* AParent, const QString& AMessage, int ADefault) override {
        if (OnFirstQuestion) {
            std::exchange(OnFirstQuestion, nullptr)();
        }
        return TScriptedDialogs::WarningQuestion(AParent, AMessage, ADefault);
    }
};

TEST_F(InstallRunTest, IDEDirectoryIsReadPerVersionAndDownloadDirectoryOnce) {
    auto LDialogs = std::make_shared<TFieldChangingDialogs>();
    CreateForm(LDialogs);
    const std::string LOtherIDE = Root() + "other-ide/";
    fs::create_directories(LOtherIDE + "23.0");
    LDialogs->OnFirstQuestion = [&] {
        FForm->Edit1->setText(QString::fromStdString(LOtherIDE));
        FForm->Edit2->setText(QString::fromStdString(Root() + "other-downloads/"));
    };
    ServePackage("b.zip", PackageFiles());
    fs::create_directories(DownloadDir());
    WriteTestZip(DownloadDir() + "a.zip", PackageFiles());
    ListVersions(Entry("22.0", "a.zip", R"(, "dlls": "Win32/Release/Orvane.dll")") + "," +
                 Entry("23.0", "b.zip", R"(, "dlls": "Win32/Release/Orvane.dll")"));
    FForm->CheckBox1->setChecked(true);
    Tick({0, 1});
    LDialogs->AnswerNo(); // reuse a.zip

    FForm->InstallButtonClick();

    EXPECT_EQ(DoneText(), CThanks);
    EXPECT_TRUE(fs::exists(BinDir("22.0") + "Orvane.dll"));
    EXPECT_TRUE(fs::exists(LOtherIDE + "23.0/bin/Orvane.dll"));
    EXPECT_TRUE(fs::exists(DownloadDir() + "b.zip"));
    EXPECT_FALSE(fs::exists(Root() + "other-downloads"));
    EXPECT_EQ(Record("23.0")->Path, VersionDir("23.0"));
}

TEST_F(InstallRunTest, ClosingTheWindowStopsTheDownloadAndTheLoop) {
    FServer.MakeSizedFile("a.zip", 4 * 1024 * 1024);
    FServer.SetFault("slow", "/file/", -1, 500, 100);
    ServePackage("b.zip", PackageFiles());
    ListVersions(Entry("22.0", "a.zip") + "," + Entry("23.0", "b.zip"));
    FForm->CheckBox1->setChecked(true);
    Tick({0, 1});
    FForm->show();
    QTimer::singleShot(700, FForm.get(), [this] { FForm->close(); });

    const auto LStart = std::chrono::steady_clock::now();
    FForm->InstallButtonClick();
    const auto LTook = std::chrono::steady_clock::now() - LStart;

    EXPECT_LT(LTook, std::chrono::seconds(20));
    EXPECT_TRUE(FForm->IsClosing());
    EXPECT_FALSE(fs::exists(DownloadDir() + "a.zip"));
    // A stopped run keeps what arrived, with what identifies it, for the next
    // run to continue; it never takes the final name.
    ASSERT_TRUE(fs::exists(DownloadDir() + "a.zip.part"));
    const std::optional<orvane::TResumeState> LKept =
        orvane::ReadResumeState(DownloadDir() + "a.zip.resume");
    ASSERT_TRUE(LKept);
    EXPECT_GT(LKept->Size, 0);
    EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(DownloadDir() + "a.zip.part")), LKept->Size);
    const QStringList LLog = LogMessages();
    EXPECT_THAT(LLog, Contains(QString::fromStdString("The partial download " + DownloadDir() +
                                                      "a.zip.part is kept: the next run continues "
                                                      "it")));
    EXPECT_EQ(LLog.last(), QStringLiteral("Installation stopped: the window was closed; 1 "
                                          "version(s) not installed."));
    EXPECT_THAT(FileRequests(), Not(Contains(StartsWith("/file/b.zip"))));
    EXPECT_FALSE(Record("22.0"));
    EXPECT_FALSE(Record("23.0"));
}

// The next package downloads while the first installs; closing the window then
// stops that download too and leaves nothing of the version not begun.
TEST_F(InstallRunTest, ClosingTheWindowStopsTheDownloadAheadAndRemovesItsFile) {
    // Many files, so the first version installs long enough to close meanwhile.
    std::vector<TTestZipEntry> LMany = PackageFiles();
    for (int LIndex = 0; LIndex < 600; ++LIndex) {
        LMany.push_back({"Win32/Release/C/hpp/Unit" + std::to_string(LIndex) + ".hpp", "unit"});
    }
    ServePackage("a.zip", LMany);
    ServePackage("b.zip", PackageFiles());
    // Headers, then silence: only the closing ends this download.
    FServer.SetFault("stall", "/file/b.zip", -1, 200, 50, 60000);
    ListVersions(Entry("22.0", "a.zip") + "," + Entry("23.0", "b.zip"));
    FForm->CheckBox1->setChecked(true);
    Tick({0, 1});
    FForm->show();
    bool LLogHadEnded = false;
    QTimer LWatch;
    LWatch.setInterval(20);
    QObject::connect(&LWatch, &QTimer::timeout, [&] {
        const std::vector<std::string> LRequests = FileRequests();
        if (!FForm->IsClosing() &&
            std::any_of(LRequests.begin(), LRequests.end(),
                        [](const std::string& A) { return A.rfind("/file/b.zip", 0) == 0; })) {
            LLogHadEnded = LogMessages().contains(QStringLiteral("Installation done."));
            FForm->close();
        }
    });
    LWatch.start();

    const auto LStart = std::chrono::steady_clock::now();
    FForm->InstallButtonClick();
    const auto LTook = std::chrono::steady_clock::now() - LStart;
    LWatch.stop();

    EXPECT_LT(LTook, std::chrono::seconds(30));
    ASSERT_TRUE(FForm->IsClosing()) << "the second package was never asked for";
    EXPECT_FALSE(LLogHadEnded) << "closed only after the first version's turn";
    EXPECT_FALSE(fs::exists(DownloadDir() + "b.zip"));
    EXPECT_FALSE(fs::exists(DownloadDir() + "b.zip.part"));
    EXPECT_TRUE(fs::exists(DownloadDir() + "a.zip"));
    const QStringList LLog = LogMessages();
    EXPECT_EQ(LLog.filter(QStringLiteral("b.zip")), QStringList());
    EXPECT_EQ(LLog.last(), QStringLiteral("Installation stopped: the window was closed; 1 "
                                          "version(s) not installed."));
    EXPECT_FALSE(Record("23.0"));
    EXPECT_EQ(orvane::TDownloader::ActiveTransfers(), 0);
}

} // namespace
