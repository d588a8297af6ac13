// The engine without a window: a scripted host answers by question id and
// records what the engine says, against the local API server, a SQLite
// registry store in a temp folder and real zips.
#include "TestZip.h"

#include "install/InstallEngine.h"
#include "install/PackageSpace.h"
#include "registry/ProductRecords.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "server/DownloadResume.h"
#include "server/Downloader.h"
#include "server/Protocol.h"
#include "support/FileText.h"
#include "support/ForwardingStore.h"
#include "support/LocalApiServer.h"
#include "support/ScriptedHost.h"
#ifndef _WIN32
#include "support/StandInProcess.h"
#endif
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using orvane::TProgressPhase;
using orvane::TQuestionId;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

const std::string CBds = "SOFTWARE\\Embarcadero\\BDS\\";

orvane::TRegValue StringValue(const std::string& AName, const std::string& AText) {
    return {AName, orvane::rtSz, orvane::ToUtf16Le(AText, true)};
}

std::vector<TTestZipEntry> PackageFiles() {
    return {{"Win32/Release/Orvane_Core.bpl", "core32"},
            {"Win32/Release/Orvane_Core.dcp", "dcp32"},
            {"Win64/Release/Orvane_Core.bpl", "core64"},
            {"Win32/Release/Orvane.dll", "dll"}};
}

class InstallEngineTest : public testing::Test {
protected:
    void SetUp() override {
        WriteFileText(FTemp / "exe" / "libeay32.dll", "libeay");
        WriteFileText(FTemp / "exe" / "ssleay32.dll", "ssleay");
        FStore = orvane::OpenSqliteRegistryStore(FTemp / "registry.sqlite");
        for (const char* LVersion : {"22.0", "23.0"}) {
            AddIDE(LVersion);
        }
        FHost = std::make_shared<TScriptedHost>();
    }

    void AddIDE(const std::string& AVersion) {
        fs::create_directories(FTemp / "ide" / AVersion / "bin");
        const std::string LKey = CBds + AVersion + "\\Environment Variables";
        ASSERT_TRUE(FStore->CreateKey(LKey));
        ASSERT_TRUE(FStore->SetValue(
            LKey, StringValue("BDSCatalogRepositoryAllUsers", CommonDir(AVersion) + "Catalog")));
        ASSERT_TRUE(FStore->CreateKey(CBds + AVersion + "\\Known Packages"));
        for (const char* LPlatform : {"Win32", "Win64"}) {
            const std::string LLibrary = CBds + AVersion + "\\Library\\" + LPlatform;
            ASSERT_TRUE(FStore->CreateKey(LLibrary));
            ASSERT_TRUE(FStore->SetValue(LLibrary, StringValue("Search Path", "$(BDSLIB)")));
        }
    }

    // Unique per process, so tests running side by side do not see each other's IDE.
    static std::string IDEName() {
        static const std::string LName =
            "bds-engine-" + std::to_string(std::random_device()()) + ".exe";
        return LName;
    }

    orvane::TInstallEngine Engine(bool AOverlap = true) {
        orvane::TInstallSettings LSettings;
        LSettings.ApiUrl = FServer.BaseUrl();
        LSettings.ExeDir = DirText(FTemp / "exe");
        LSettings.IDEProcessName = IDEName();
        LSettings.OverlapDownloads = AOverlap;
        return orvane::TInstallEngine(FHost, *FStore, LSettings);
    }

    std::string Root() const { return DirText(FTemp.Path()); }
    std::string IDEDir() const { return Root() + "ide/"; }
    std::string DownloadDir() const { return Root() + "downloads/"; }
    std::string CommonDir(const std::string& AVersion) const {
        return Root() + "common/" + AVersion + "/";
    }

    std::string ServePackage(const std::string& AName,
                             const std::vector<TTestZipEntry>& AExtra = {}) {
        const fs::path LZip = FTemp / "made" / AName;
        fs::create_directories(LZip.parent_path());
        std::vector<TTestZipEntry> LFiles = PackageFiles();
        LFiles.insert(LFiles.end(), AExtra.begin(), AExtra.end());
        WriteTestZip(LZip, LFiles);
        const std::string LBytes = ReadFileText(LZip);
        FServer.WriteFile(AName, LBytes);
        return LBytes;
    }

    // Version entries as the configuration download keeps them.
    const rapidjson::Value& Entry(const std::string& AVersion, const std::string& AFile,
                                  const std::string& AExtra = "") {
        auto LDocument = std::make_unique<rapidjson::Document>();
        const std::string LText = R"({"name": "Orvane", "version": ")" + AVersion +
                                  R"(", "file": ")" + AFile +
                                  R"(", "url": "file/", "bpls": "Orvane_Core.bpl",
            "dcps": "Orvane_Core.dcp", "dlls": "Win32/Release/Orvane.dll",
            "platforms": "Win32,Win64")" +
                                  AExtra + "}";
        LDocument->Parse<orvane::KAnswerParseFlags>(LText.c_str());
        EXPECT_FALSE(LDocument->HasParseError()) << LText;
        FDocuments.push_back(std::move(LDocument));
        return *FDocuments.back();
    }

    std::optional<orvane::TOrvaneRegistryData> Record(const std::string& AVersion) {
        orvane::TOrvaneRegistryData LRecord;
        if (!orvane::ReadRegistryData(*FStore, AVersion, LRecord)) {
            return std::nullopt;
        }
        return LRecord;
    }

    std::vector<std::string> FileRequests() const { return FServer.FileRequests(); }

    std::vector<TQuestionId> AskedIds() const {
        std::vector<TQuestionId> LIds;
        for (const auto& LAsked : FHost->Asked) {
            LIds.push_back(LAsked.Id);
        }
        return LIds;
    }

    TTempDir FTemp;
    TLocalApiServer FServer;
    std::shared_ptr<orvane::TRegistryStore> FStore;
    std::shared_ptr<TScriptedHost> FHost;
    std::vector<std::unique_ptr<rapidjson::Document>> FDocuments;
};

TEST_F(InstallEngineTest, InstallsAVersionWithProgressAsDataOnTheHostThread) {
    const std::string LZip = ServePackage("a.zip");

    ASSERT_TRUE(Engine().InstallPackage(&Entry("22.0", "a.zip"), IDEDir(), DownloadDir()));

    EXPECT_THAT(FileRequests(), ElementsAre(StartsWith("/file/a.zip?token=")));
    EXPECT_EQ(ReadFileText(DownloadDir() + "a.zip"), LZip);
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"), "core32");
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Win64/Orvane_Core.bpl"), "core64");
    EXPECT_EQ(ReadFileText(IDEDir() + "22.0/bin/Orvane.dll"), "dll");
    EXPECT_EQ(ReadFileText(IDEDir() + "22.0/bin/ssleay32.dll"), "ssleay");
    const auto LRecord = Record("22.0");
    ASSERT_TRUE(LRecord);
    EXPECT_EQ(LRecord->Path, DownloadDir() + "22.0/");
    EXPECT_EQ(LRecord->License, "DEVELOPER");
    EXPECT_EQ(orvane::FromUtf16Le(FStore
                                      ->GetValue(CBds + "22.0\\Known Packages",
                                                 CommonDir("22.0") + "Bpl/Orvane_Core.bpl")
                                      ->Data,
                                  true),
              "Orvane_Core.bpl");

    ASSERT_GE(FHost->Lines.size(), 3u);
    EXPECT_EQ(FHost->Lines.front(), "Reading Orvane registry entry for \"22.0\"");
    EXPECT_EQ(FHost->Lines[1], "Downloading \"a.zip\" ...");
    EXPECT_EQ(FHost->Lines.back(), "Installation done.");
    EXPECT_THAT(FHost->Lines, testing::Contains(StartsWith("Registry backup written to \"")));
    ASSERT_EQ(FHost->Backups.size(), 1u);
    EXPECT_EQ(FHost->BackupFolders[0], DownloadDir() + "Backups");
    EXPECT_TRUE(fs::exists(FHost->Backups[0]));
    EXPECT_TRUE(FHost->Warnings.empty());
    EXPECT_TRUE(FHost->Asked.empty());

    // Progress: the package transfer's start with the announced size (the
    // token answer before it reports too), bytes that only grow, a last report
    // at the full size, then the extraction to its end.
    const auto& LReports = FHost->Reports;
    ASSERT_FALSE(LReports.empty());
    EXPECT_TRUE(std::all_of(LReports.begin(), LReports.end(),
                            [](const auto& AReport) { return AReport.OnHostThread; }));
    const auto LStarted = std::find_if(LReports.rbegin(), LReports.rend(), [](const auto& AReport) {
        return AReport.Progress.Phase == TProgressPhase::ppDownloadStarted;
    });
    ASSERT_NE(LStarted, LReports.rend());
    EXPECT_EQ(LStarted->Progress.Total, static_cast<std::int64_t>(LZip.size()));
    std::int64_t LLast = -1;
    const orvane::TProgress* LLastDownload = nullptr;
    for (auto LReport = LStarted.base(); LReport != LReports.end(); ++LReport) {
        EXPECT_EQ(LReport->Progress.Version, "22.0");
        if (LReport->Progress.Phase == TProgressPhase::ppDownloading) {
            EXPECT_GE(LReport->Progress.Bytes, LLast);
            LLast = LReport->Progress.Bytes;
            LLastDownload = &LReport->Progress;
        }
    }
    ASSERT_NE(LLastDownload, nullptr);
    EXPECT_EQ(LLastDownload->Bytes, static_cast<std::int64_t>(LZip.size()));
    EXPECT_EQ(LReports.back().Progress.Phase, TProgressPhase::ppExtracting);
    EXPECT_EQ(LReports.back().Progress.Bytes, LReports.back().Progress.Total);
    EXPECT_GT(LReports.back().Progress.Total, 0);
}

// Each question by its id: what it asks, and what either answer does.
TEST_F(InstallEngineTest, QuestionsAreAskedByIdAndTheirAnswersDecide) {
    struct TCase {
        const char* Name;
        TQuestionId Id;
        bool Yes;
        bool Installed;
        bool Downloaded;
    };
    for (const TCase& LCase : {
             TCase{"existing zip, keep it", TQuestionId::ExistingZip, false, true, false},
             TCase{"existing zip, download again", TQuestionId::ExistingZip, true, true, true},
             TCase{"same version recorded, stop", TQuestionId::OlderVersionInstalled, false, false,
                   false},
             TCase{"same version recorded, go on", TQuestionId::OlderVersionInstalled, true, true,
                   true},
         }) {
        SCOPED_TRACE(LCase.Name);
        fs::remove_all(DownloadDir());
        orvane::DeleteRegistryData(*FStore, "22.0");
        FServer.Clear();
        FHost = std::make_shared<TScriptedHost>();
        ServePackage("a.zip");
        if (LCase.Id == TQuestionId::ExistingZip) {
            fs::create_directories(DownloadDir());
            WriteTestZip(DownloadDir() + "a.zip", PackageFiles());
        } else {
            orvane::WriteRegistryData(
                *FStore, orvane::TOrvaneRegistryData::Create("22.0", "a", "DEVELOPER", "", "/x/"));
        }
        FHost->Answer(LCase.Id, LCase.Yes);

        EXPECT_EQ(Engine().InstallPackage(&Entry("22.0", "a.zip"), IDEDir(), DownloadDir()),
                  LCase.Installed);

        ASSERT_EQ(FHost->Asked.size(), 1u);
        EXPECT_EQ(FHost->Asked[0].Id, LCase.Id);
        EXPECT_FALSE(FHost->Asked[0].Default) << "a default must never change anything";
        EXPECT_EQ(FileRequests().size(), LCase.Downloaded ? 1u : 0u);
        if (!LCase.Installed) {
            EXPECT_EQ(FHost->Lines.back(), "Reading Orvane registry entry for \"22.0\"");
        }
    }
    EXPECT_THAT(FHost->Asked[0].Text, HasSubstr("already installed"));
}

TEST_F(InstallEngineTest, ARunReportsEachFailedVersionAndGoesOn) {
    ServePackage("a.zip");
    ServePackage("c.zip");
    FServer.SetFault("status", "/file/b.zip", -1, 500);
    int LAsked = 0;
    const std::vector<const rapidjson::Value*> LEntries{
        &Entry("22.0", "a.zip"), &Entry("23.0", "b.zip"), &Entry("23.0", "c.zip")};

    const orvane::TInstallRun LRun = Engine().InstallVersions(
        LEntries,
        [&] {
            ++LAsked;
            return IDEDir();
        },
        Root() + "downloads");

    EXPECT_FALSE(LRun.Stopped);
    ASSERT_EQ(LRun.Versions.size(), 3u);
    EXPECT_EQ(LAsked, 3) << "the IDE folder is read for every version";
    EXPECT_TRUE(LRun.Versions[0].Installed());
    EXPECT_FALSE(LRun.Versions[1].Installed());
    EXPECT_TRUE(LRun.Versions[2].Installed());
    EXPECT_EQ(LRun.Failures(), 1);
    EXPECT_EQ(LRun.Versions[1].Version, "23.0");
    EXPECT_THAT(LRun.Versions[1].Reason,
                StartsWith("Failed to download package: b.zip (Temporary=\"" + DownloadDir() +
                           "b.zip\")\r\n"));
    EXPECT_EQ(LRun.FailureReport, LRun.Versions[1].Reason + "\r\n\r\n");
    EXPECT_FALSE(fs::exists(DownloadDir() + "b.zip"));
    EXPECT_FALSE(fs::exists(DownloadDir() + "b.zip.part"));
}

// A file already under the package's partial name (somebody's, or a link) is
// not the download's: the version fails and the file stays as it was.
// A file version with an escape sequence and a carriage return reaches
// neither the log nor the record as it came.
TEST_F(InstallEngineTest, ControlCharactersOfAnAnswerReachNeitherTheLogNorTheRecord) {
    ServePackage("a.zip");
    ASSERT_TRUE(
        Engine().InstallPackage(&Entry("22.0", "a.zip", R"(, "file_version": "1.4\u001b[2J\r9")"),
                                IDEDir(), DownloadDir()));
    orvane::TOrvaneRegistryData LRecord;
    ASSERT_TRUE(orvane::ReadRegistryData(*FStore, "22.0", LRecord));
    EXPECT_EQ(LRecord.Version, "1.4[2J9");
    for (const std::string& LLine : FHost->Lines) {
        EXPECT_EQ(LLine.find('\x1b'), std::string::npos) << LLine;
    }
}

TEST_F(InstallEngineTest, AFileUnderThePartialNameFailsTheVersionAndStays) {
    ServePackage("a.zip");
    fs::create_directories(DownloadDir());
    WriteFileText(DownloadDir() + "a.zip.part", "the user's own");

    const orvane::TInstallRun LRun = Engine().InstallVersions(
        {&Entry("22.0", "a.zip")}, [&] { return IDEDir(); }, Root() + "downloads");

    ASSERT_EQ(LRun.Versions.size(), 1u);
    EXPECT_FALSE(LRun.Versions[0].Installed());
    EXPECT_THAT(LRun.Versions[0].Reason, HasSubstr("The partial file \"" + DownloadDir() +
                                                   "a.zip.part\" was not left by this installer"));
    EXPECT_EQ(ReadFileText(DownloadDir() + "a.zip.part"), "the user's own");
    EXPECT_FALSE(fs::exists(DownloadDir() + "a.zip"));
    EXPECT_THAT(FHost->Lines, testing::Not(testing::Contains(HasSubstr("deleted"))));
}

// An IDE directory without the version's folder (a typing error, the default
// where no IDE is installed) fails that version naming the folder; nothing is
// downloaded and no folder of the IDE's is made up.
TEST_F(InstallEngineTest, AMissingIDEFolderFailsTheVersionAndIsNotCreated) {
    ServePackage("a.zip");
    const std::string LNowhere = Root() + "Program Files (x86)/Embarcadero/Studio/";
    for (const std::string& LIDEDir : {LNowhere, Root() + "ide-without-versions/"}) {
        SCOPED_TRACE(LIDEDir);
        const orvane::TInstallRun LRun = Engine().InstallVersions(
            {&Entry("22.0", "a.zip")}, [&] { return LIDEDir; }, Root() + "downloads");
        ASSERT_EQ(LRun.Versions.size(), 1u);
        EXPECT_FALSE(LRun.Versions[0].Installed());
        EXPECT_THAT(LRun.Versions[0].Reason,
                    StartsWith("<ERROR> The IDE folder \"" + LIDEDir + "22.0"));
        EXPECT_THAT(LRun.Versions[0].Reason, HasSubstr("\" does not exist"));
        EXPECT_FALSE(fs::exists(LIDEDir + "22.0"));
    }
    EXPECT_FALSE(fs::exists(Root() + "Program Files (x86)"));
    EXPECT_TRUE(FileRequests().empty());
    EXPECT_FALSE(Record("22.0"));
}

TEST_F(InstallEngineTest, AnErrorInsideAVersionIsWarnedLoggedAndReported) {
    FServer.WriteFile("a.zip", "this is no zip");

    const orvane::TInstallRun LRun = Engine().InstallVersions(
        {&Entry("22.0", "a.zip")}, [&] { return IDEDir(); }, DownloadDir());

    ASSERT_EQ(LRun.Versions.size(), 1u);
    EXPECT_FALSE(LRun.Versions[0].Installed());
    ASSERT_EQ(FHost->Warnings.size(), 1u);
    EXPECT_EQ(LRun.Versions[0].Reason, FHost->Warnings[0]);
    EXPECT_EQ(FHost->Lines.back(), "<ERROR> " + FHost->Warnings[0]);
    EXPECT_EQ(LRun.FailureReport, FHost->Warnings[0] + "\r\n\r\n");
    EXPECT_FALSE(Record("22.0"));
}

// A stopped run keeps what arrived, with what identifies it; the next run asks
// for the rest only, installs, and leaves no partial file behind.
TEST_F(InstallEngineTest, StoppedRunKeepsItsPartialDownloadForTheNextRun) {
    std::mt19937 LRandom(7);
    std::string LNoise(1536 * 1024, '\0');
    for (char& LByte : LNoise) {
        LByte = static_cast<char>(LRandom());
    }
    const std::string LZip = ServePackage("a.zip", {{"Docs/Noise.bin", LNoise}});
    // The first answer is slow enough to be stopped part of the way.
    FServer.SetFault("slow", "/file/a.zip", 1, 200, 50);
    FHost->OnLog = [this](const std::string& ALine) {
        if (ALine == "Downloading \"a.zip\" ...") {
            std::thread([LHost = FHost] {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
                LHost->Cancellation().Cancel("interrupted");
            }).detach();
        }
    };
    const orvane::TInstallRun LStopped = Engine().InstallVersions(
        {&Entry("22.0", "a.zip")}, [&] { return IDEDir(); }, DownloadDir());
    ASSERT_EQ(LStopped.Versions.size(), 1u);
    EXPECT_FALSE(LStopped.Versions[0].Installed());
    const std::string LPartial = DownloadDir() + "a.zip.part";
    EXPECT_THAT(FHost->Lines, testing::Contains("The partial download " + LPartial +
                                                " is kept: the next run continues it"));
    const std::optional<orvane::TResumeState> LKept =
        orvane::ReadResumeState(orvane::ResumeStateFileName(DownloadDir() + "a.zip"));
    ASSERT_TRUE(LKept);
    ASSERT_GT(LKept->Size, 0);
    EXPECT_LT(LKept->Size, static_cast<std::int64_t>(LZip.size()));
    EXPECT_EQ(ReadFileText(LPartial), LZip.substr(0, static_cast<std::size_t>(LKept->Size)));
    EXPECT_FALSE(fs::exists(DownloadDir() + "a.zip"));

    FHost = std::make_shared<TScriptedHost>();
    const orvane::TInstallRun LNext = Engine().InstallVersions(
        {&Entry("22.0", "a.zip")}, [&] { return IDEDir(); }, DownloadDir());
    ASSERT_EQ(LNext.Versions.size(), 1u);
    EXPECT_TRUE(LNext.Versions[0].Installed()) << LNext.Versions[0].Reason;
    EXPECT_THAT(FHost->Lines, testing::Contains("Resuming the download of \"a.zip\" at " +
                                                std::to_string(LKept->Size) + " bytes"));
    EXPECT_EQ(ReadFileText(DownloadDir() + "a.zip"), LZip);
    EXPECT_FALSE(fs::exists(LPartial));
    EXPECT_FALSE(fs::exists(DownloadDir() + "a.zip.resume"));
    const std::vector<std::string> LRequests = FileRequests();
    EXPECT_EQ(std::count_if(LRequests.begin(), LRequests.end(),
                            [](const std::string& A) { return A.rfind("/file/a.zip", 0) == 0; }),
              2);
}

TEST_F(InstallEngineTest, CancellingStopsTheDownloadAndTheVersionsNotBegun) {
    ServePackage("a.zip");
    ServePackage("b.zip");
    // Headers, then silence: only the cancellation ends this download.
    FServer.SetFault("stall", "/file/a.zip", -1, 200, 50, 60000);
    FHost->OnLog = [this](const std::string& ALine) {
        if (ALine == "Downloading \"a.zip\" ...") {
            std::thread([LHost = FHost] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                LHost->Cancellation().Cancel("interrupted");
            }).detach();
        }
    };
    const auto LStart = std::chrono::steady_clock::now();

    const orvane::TInstallRun LRun = Engine().InstallVersions(
        {&Entry("22.0", "a.zip"), &Entry("23.0", "b.zip")}, [&] { return IDEDir(); },
        DownloadDir());

    EXPECT_LT(std::chrono::steady_clock::now() - LStart, std::chrono::seconds(20));
    EXPECT_TRUE(LRun.Stopped);
    ASSERT_EQ(LRun.Versions.size(), 1u);
    EXPECT_FALSE(LRun.Versions[0].Installed());
    EXPECT_THAT(FHost->Lines, testing::Contains(StartsWith("Failed to download package: a.zip")));
    EXPECT_EQ(FHost->Lines.back(),
              "Installation stopped: interrupted; 1 version(s) not installed.");
    EXPECT_FALSE(fs::exists(DownloadDir() + "a.zip"));
    EXPECT_FALSE(fs::exists(DownloadDir() + "a.zip.part"));
    EXPECT_THAT(FileRequests(), ElementsAre(StartsWith("/file/a.zip")));
    EXPECT_EQ(orvane::TDownloader::ActiveTransfers(), 0);
}

TEST_F(InstallEngineTest, ARunCancelledBeforeItBeganTouchesNothing) {
    ServePackage("a.zip");
    // As a signal handler would: the flag alone, the reason by default.
    FHost->Cancellation().Cancel();

    const orvane::TInstallRun LRun = Engine().InstallVersions(
        {&Entry("22.0", "a.zip"), &Entry("23.0", "a.zip")}, [&] { return IDEDir(); },
        DownloadDir());

    EXPECT_TRUE(LRun.Stopped);
    EXPECT_TRUE(LRun.Versions.empty());
    EXPECT_THAT(FHost->Lines,
                ElementsAre("Installation stopped: the run was cancelled; 2 version(s) not "
                            "installed."));
    EXPECT_TRUE(FServer.Requests().empty());
    EXPECT_FALSE(fs::exists(DownloadDir()));
}

TEST_F(InstallEngineTest, GetItInstallationsAreOfferedBeforeInstallingAndRemovedOnYes) {
    const std::string LElements = CBds + "23.0\\CatalogRepository\\Elements\\";
    struct TCase {
        const char* Name;
        std::vector<std::pair<TQuestionId, bool>> Answers;
        bool Prepared;
        bool KeyRemains;
    };
    for (const TCase& LCase : {
             TCase{"offer declined", {{TQuestionId::GetItCleanup, false}}, false, true},
             TCase{"offer taken, element kept",
                   {{TQuestionId::GetItCleanup, true}, {TQuestionId::GetItRemove, false}},
                   true,
                   true},
             TCase{"offer taken, element removed",
                   {{TQuestionId::GetItCleanup, true}, {TQuestionId::GetItRemove, true}},
                   true,
                   false},
         }) {
        SCOPED_TRACE(LCase.Name);
        ASSERT_TRUE(FStore->CreateKey(LElements + "Orvane-Core-1.0"));
        fs::remove_all(DownloadDir());
        FHost = std::make_shared<TScriptedHost>();
        for (const auto& [LId, LYes] : LCase.Answers) {
            FHost->Answer(LId, LYes);
        }

        EXPECT_EQ(Engine().PrepareInstallation(DownloadDir()), LCase.Prepared);

        EXPECT_EQ(FHost->PendingAnswers(), 0u);
        EXPECT_EQ(FStore->KeyExists(LElements + "Orvane-Core-1.0"), LCase.KeyRemains);
        ASSERT_EQ(FHost->Warnings.size(), 1u);
        EXPECT_THAT(FHost->Warnings[0], HasSubstr("GetIt Package Manager"));
        if (!LCase.KeyRemains) {
            EXPECT_TRUE(fs::exists(DownloadDir() + "Orvane-Core-1.0.reg"));
            EXPECT_EQ(FHost->Asked[1].Text, "A Orvane GetIt Installation exists for BDS "
                                            "Orvane-Core-1.0. Do you want to remove it now?");
        }
    }
}

TEST_F(InstallEngineTest, UninstallationRemovesTheEntriesAndReportsEachVersion) {
    ServePackage("a.zip");
    ASSERT_TRUE(Engine().InstallPackage(&Entry("22.0", "a.zip"), IDEDir(), DownloadDir()));
    // 23.0 is recorded but its library key holds a value of the wrong type.
    orvane::WriteRegistryData(*FStore,
                              orvane::TOrvaneRegistryData::Create("23.0", "1.0", "DEVELOPER", "",
                                                                  DownloadDir() + "23.0/"));
    ASSERT_TRUE(FStore->SetValue(CBds + "23.0\\Library\\Win32",
                                 {"Search Path", orvane::rtDword, {1, 0, 0, 0}}));
    FHost = std::make_shared<TScriptedHost>();

    const orvane::TUninstallRun LRun = Engine().UninstallVersions({"23.0", "22.0"});

    EXPECT_FALSE(LRun.Stopped);
    EXPECT_THAT(
        FHost->Messages,
        ElementsAre("Failed to uninstall version 23.0 - Invalid data type for 'Search Path'",
                    "Version 22.0 successfully uninstalled"));
    ASSERT_EQ(LRun.Versions.size(), 2u);
    EXPECT_FALSE(LRun.Versions[0].Removed);
    EXPECT_EQ(LRun.Versions[0].Reason, "Invalid data type for 'Search Path'");
    EXPECT_TRUE(LRun.Versions[1].Removed);
    EXPECT_TRUE(Record("23.0")) << "a failed removal keeps its record";
    EXPECT_FALSE(Record("22.0"));
    EXPECT_TRUE(FStore->ValueNames(CBds + "22.0\\Known Packages").empty());
    EXPECT_EQ(FHost->Lines.back(), "Uninstallation done");
    // Files stay.
    EXPECT_TRUE(fs::exists(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"));
}

// A cancel during an uninstallation (a signal to the console program) ends it
// after the version under way: the next one keeps its record and entries.
TEST_F(InstallEngineTest, ACancelledUninstallationStopsAfterTheVersionUnderWay) {
    ServePackage("a.zip");
    ServePackage("b.zip");
    ASSERT_TRUE(Engine().InstallPackage(&Entry("22.0", "a.zip"), IDEDir(), DownloadDir()));
    ASSERT_TRUE(Engine().InstallPackage(&Entry("23.0", "b.zip"), IDEDir(), DownloadDir()));
    auto LHost = std::make_shared<TScriptedHost>();
    LHost->OnLog = [&LHost](const std::string& ALine) {
        if (ALine == "Uninstallation started ...") {
            LHost->Cancellation().Cancel("interrupted (SIGTERM)");
        }
    };
    FHost = LHost;

    const orvane::TUninstallRun LRun = Engine().UninstallVersions({"23.0", "22.0"});

    EXPECT_TRUE(LRun.Cancelled);
    EXPECT_FALSE(LRun.Stopped);
    ASSERT_EQ(LRun.Versions.size(), 1u);
    EXPECT_TRUE(LRun.Versions[0].Removed);
    EXPECT_FALSE(Record("23.0"));
    EXPECT_TRUE(Record("22.0"));
    EXPECT_FALSE(FStore->ValueNames(CBds + "22.0\\Known Packages").empty());
    EXPECT_EQ(LHost->Lines.back(),
              "Uninstallation stopped: interrupted (SIGTERM); 1 version(s) not uninstalled.");
}

// A store whose changes first wait for the host to run work posted at that
// moment: while the host thread makes a change itself, that work cannot run,
// and the change is noted as one that held the host up. After the first such
// change it stops waiting, so a failing run still ends soon.
class THostHeldStore : public TForwardingStore {
public:
    THostHeldStore(std::shared_ptr<orvane::TRegistryStore> AInner,
                   std::shared_ptr<orvane::TInstallHost> AHost)
        : TForwardingStore(std::move(AInner)), FHost(std::move(AHost)) {}

    bool SetValue(const std::string& AKey, const orvane::TRegValue& AValue) override {
        Watch("set " + AKey + "|" + AValue.Name);
        return TForwardingStore::SetValue(AKey, AValue);
    }
    bool DeleteValue(const std::string& AKey, const std::string& AName) override {
        Watch("delete " + AKey + "|" + AName);
        return TForwardingStore::DeleteValue(AKey, AName);
    }
    bool DeleteKey(const std::string& AKey) override {
        Watch("delete " + AKey);
        return TForwardingStore::DeleteKey(AKey);
    }

    int Changes = 0;
    std::vector<std::string> HeldUp;

private:
    void Watch(const std::string& AChange) {
        ++Changes;
        if (!HeldUp.empty()) {
            return;
        }
        auto LRan = std::make_shared<std::atomic<bool>>(false);
        FHost->Post([LRan] { *LRan = true; });
        const auto LGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!*LRan && std::chrono::steady_clock::now() < LGiveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!*LRan) {
            HeldUp.push_back(AChange);
        }
    }

    std::shared_ptr<orvane::TInstallHost> FHost;
};

TEST_F(InstallEngineTest, TheHostKeepsProcessingItsWorkWhileTheIDERegistryIsChanged) {
    ServePackage("a.zip");
    auto LStore = std::make_shared<THostHeldStore>(FStore, FHost);
    FStore = LStore;

    ASSERT_TRUE(Engine().InstallPackage(&Entry("22.0", "a.zip"), IDEDir(), DownloadDir()));
    ASSERT_TRUE(Record("22.0"));
    const int LInstallChanges = LStore->Changes;
    const orvane::TUninstallRun LRun = Engine().UninstallVersions({"22.0"});

    ASSERT_EQ(LRun.Versions.size(), 1u);
    EXPECT_TRUE(LRun.Versions[0].Removed);
    EXPECT_FALSE(Record("22.0"));
    // The record, Known Packages and search paths; then all of them removed.
    EXPECT_GE(LInstallChanges, 4);
    EXPECT_GE(LStore->Changes - LInstallChanges, 4);
    EXPECT_THAT(LStore->HeldUp, testing::IsEmpty());
}

#ifndef _WIN32
TEST_F(InstallEngineTest, ARunningIDEIsNamedAndOnlyYesGoesOn) {
    orvane::WriteRegistryData(*FStore,
                              orvane::TOrvaneRegistryData::Create("22.0", "1.0", "DEVELOPER", "",
                                                                  DownloadDir() + "22.0/"));
    const auto LIDE = StartIDEStandIn(FTemp / "bin", IDEName());
    ASSERT_GT(LIDE->Pid(), 0);
    for (const bool LYes : {false, true}) {
        SCOPED_TRACE(LYes ? "yes" : "no");
        FHost = std::make_shared<TScriptedHost>();
        FHost->Answer(TQuestionId::IdeRunning, LYes);
        FHost->Answer(TQuestionId::IdeRunning, LYes);

        EXPECT_EQ(Engine().PrepareInstallation(DownloadDir()), LYes);
        const orvane::TUninstallRun LRun = Engine().UninstallVersions({"22.0"});

        EXPECT_EQ(LRun.Stopped, !LYes);
        EXPECT_EQ(Record("22.0").has_value(), !LYes);
        ASSERT_EQ(FHost->Asked.size(), 2u);
        EXPECT_THAT(FHost->Asked[0].Text,
                    HasSubstr(IDEName() + " (process " + std::to_string(LIDE->Pid()) + ")"));
        EXPECT_THAT(FHost->Asked[0].Text, HasSubstr("which can undo this installation."));
        EXPECT_THAT(FHost->Asked[1].Text, HasSubstr("which can undo this uninstallation."));
        EXPECT_FALSE(FHost->Asked[0].Default);
    }
}

#endif

// Everything the user is shown, in order: log lines (backup file names, which
// carry the time, without their name), questions, warnings, and whose
// progress it is (a run of reports of one version counts once).
class TTranscriptHost : public TScriptedHost {
public:
    void Log(const std::string& ALine) override {
        static const std::string CReading = "Reading Orvane registry entry for \"";
        if (ALine.rfind(CReading, 0) == 0) {
            FTurn = ALine.substr(CReading.size(), ALine.size() - CReading.size() - 1);
        }
        const std::size_t LBackup = ALine.find("Backups/");
        Transcript.push_back(LBackup == std::string::npos ? ALine
                                                          : ALine.substr(0, LBackup) + "Backups/*");
        TScriptedHost::Log(ALine);
    }
    void Warning(const std::string& AText) override {
        Transcript.push_back("warning: " + AText);
        TScriptedHost::Warning(AText);
    }
    bool Ask(const orvane::TQuestion& AQuestion) override {
        Transcript.push_back(std::string("asked: ") + orvane::QuestionIdName(AQuestion.Id));
        return TScriptedHost::Ask(AQuestion);
    }
    void Progress(const orvane::TProgress& AProgress) override {
        const std::string LEntry = "progress of " + AProgress.Version;
        if (Transcript.empty() || Transcript.back() != LEntry) {
            Transcript.push_back(LEntry);
        }
        if (AProgress.Version != FTurn) {
            OutOfTurn.push_back(AProgress.Version + " during " + FTurn);
        }
        TScriptedHost::Progress(AProgress);
    }

    std::vector<std::string> Transcript;
    std::vector<std::string> OutOfTurn;

private:
    std::string FTurn;
};

class DownloadOverlapTest : public InstallEngineTest {
protected:
    void SetUp() override {
        InstallEngineTest::SetUp();
        AddIDE("24.0");
    }

    void TearDown() override { orvane::SetAvailableSpaceForTests(std::nullopt); }

    // A machine as SetUp left it: no downloads, installations or records.
    void ResetMachine() {
        orvane::SetAvailableSpaceForTests(std::nullopt);
        FStore.reset();
        for (const char* LName : {"registry.sqlite", "downloads", "common", "ide"}) {
            fs::remove_all(FTemp / LName);
        }
        FStore = orvane::OpenSqliteRegistryStore(FTemp / "registry.sqlite");
        for (const char* LVersion : {"22.0", "23.0", "24.0"}) {
            AddIDE(LVersion);
        }
        FServer.Clear();
        FTranscript = std::make_shared<TTranscriptHost>();
        FHost = FTranscript;
    }

    // Noise, so a package takes a few paced blocks to download.
    static std::vector<TTestZipEntry> Filler() {
        std::mt19937 LRandom(21);
        std::string LNoise(256 * 1024, '\0');
        for (char& LByte : LNoise) {
            LByte = static_cast<char>(LRandom());
        }
        return {{"filler.bin", LNoise}};
    }

    // Waits until the server has been asked for AFile, at most AWait.
    bool Requested(const std::string& AFile,
                   std::chrono::milliseconds AWait = std::chrono::seconds(5)) const {
        const auto LDeadline = std::chrono::steady_clock::now() + AWait;
        do {
            for (const std::string& LTarget : FileRequests()) {
                if (LTarget.rfind("/file/" + AFile + "?", 0) == 0) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < LDeadline);
        return false;
    }

    // The download folder without the backups, whose names carry the time.
    std::vector<std::string> DownloadFolder() const {
        std::vector<std::string> LTree = ListTree(DownloadDir());
        LTree.erase(
            std::remove_if(LTree.begin(), LTree.end(),
                           [](const std::string& A) { return A.rfind("Backups/", 0) == 0; }),
            LTree.end());
        return LTree;
    }

    std::shared_ptr<TTranscriptHost> FTranscript;
};

// What the user sees of a three-version run, and what it leaves, is the same
// whether the next package downloads while a version installs or after it.
TEST_F(DownloadOverlapTest, AnOverlappedRunShowsAndLeavesWhatASequentialRunDoes) {
    struct TCase {
        const char* Name;
        // Before each run: packages, faults, files, records, answers.
        std::function<void()> Prepare;
        std::vector<bool> Installed;
        // Packages whose download is under way by the time their turn comes.
        std::set<std::string> Ahead;
        // Packages the overlapped run downloads twice: the download ahead
        // stopped short of the room the version before it needs, or failed.
        std::set<std::string> AgainAtTheirTurn = {};
    };
    const std::string CWrongSha(64, '0');
    // Made once: both runs of a case get the same bytes.
    std::map<std::string, std::string> LPackages;
    for (const char* LName : {"a.zip", "b.zip", "c.zip"}) {
        LPackages[LName] = ServePackage(LName, Filler());
    }
    SetDeclaredSize(FTemp / "made" / "a.zip", "filler.bin", 1000);
    const std::string LBrokenA = ReadFileText(FTemp / "made" / "a.zip");
    const std::vector<TCase> LCases{
        {"three versions", [] {}, {true, true, true}, {"b.zip", "c.zip"}},
        {"the second's download fails while the first installs",
         [&] { FServer.SetFault("status", "/file/b.zip", -1, 500); },
         {true, false, true},
         {"b.zip"},
         {"b.zip"}},
        {"the second's checksum does not match", [] {}, {true, false, true}, {"b.zip"}, {"b.zip"}},

        {"the first's zip breaks while it is extracted",
         [&] { FServer.WriteFile("a.zip", LBrokenA); },
         {false, true, true},
         {"b.zip", "c.zip"}},
        {"the third's package is already there and kept",
         [&] {
             fs::create_directories(DownloadDir());
             WriteFileText(DownloadDir() + "c.zip", LPackages["c.zip"]);
             FHost->Answer(TQuestionId::ExistingZip, false);
         },
         {true, true, true},
         {"b.zip"}},
        {"the second is installed already and stays",
         [&] {
             orvane::WriteRegistryData(
                 *FStore, orvane::TOrvaneRegistryData::Create("23.0", "b", "DEVELOPER", "", "/x/"));
             FHost->Answer(TQuestionId::OlderVersionInstalled, false);
         },
         {true, false, true},
         {}},
        {"the drive has room for one version's files at a time",
         [] {
             // Each version needs about 260 KiB; the download ahead gets what
             // is left beside the version before it, and the margin.
             orvane::SetAvailableSpaceForTests(orvane::KDownloadMargin + 400 * 1024);
         },
         {true, true, true},
         {"b.zip", "c.zip"},
         {"b.zip", "c.zip"}},
    };
    for (const TCase& LCase : LCases) {
        SCOPED_TRACE(LCase.Name);
        std::vector<std::string> LTranscripts[2];
        std::vector<std::string> LFolders[2];
        std::vector<std::string> LRecords[2];
        for (const bool LOverlap : {false, true}) {
            ResetMachine();
            for (const auto& [LName, LBytes] : LPackages) {
                FServer.WriteFile(LName, LBytes);
            }
            // The case's own faults come first: the server takes the first that matches.
            LCase.Prepare();
            // Paced, so a download is still running while the version before it installs.
            FServer.SetFault("slow", "/file/", -1, 200, 10);
            const std::string LShaB =
                std::string(LCase.Name) == "the second's checksum does not match"
                    ? R"(, "sha256": ")" + CWrongSha + "\""
                    : "";
            const std::vector<const rapidjson::Value*> LEntries{
                &Entry("22.0", "a.zip"), &Entry("23.0", "b.zip", LShaB), &Entry("24.0", "c.zip")};
            // At each turn: was this package asked for before the turn began?
            // (Where that is not expected, a short look only.)
            std::set<std::string> LAhead;
            FTranscript->OnLog = [&](const std::string& ALine) {
                for (const auto& [LVersion, LFile] :
                     {std::pair{"23.0", "b.zip"}, std::pair{"24.0", "c.zip"}}) {
                    if (ALine ==
                            "Reading Orvane registry entry for \"" + std::string(LVersion) + "\"" &&
                        Requested(LFile, LOverlap && LCase.Ahead.count(LFile) != 0
                                             ? std::chrono::milliseconds(5000)
                                             : std::chrono::milliseconds(200))) {
                        LAhead.insert(LFile);
                    }
                }
            };

            const orvane::TInstallRun LRun = Engine(LOverlap).InstallVersions(
                LEntries, [&] { return IDEDir(); }, DownloadDir());

            SCOPED_TRACE(LOverlap ? "overlapped" : "sequential");
            ASSERT_EQ(LRun.Versions.size(), 3u);
            for (std::size_t LIndex = 0; LIndex < 3; ++LIndex) {
                EXPECT_EQ(LRun.Versions[LIndex].Installed(), LCase.Installed[LIndex]) << LIndex;
            }
            EXPECT_EQ(FHost->PendingAnswers(), 0u);
            EXPECT_THAT(FTranscript->OutOfTurn, testing::IsEmpty());
            EXPECT_EQ(LAhead, LOverlap ? LCase.Ahead : std::set<std::string>{});
            EXPECT_EQ(orvane::TDownloader::ActiveTransfers(), 0);
            const std::vector<std::string> LRequests = FileRequests();
            for (const std::string& LFile : LCase.AgainAtTheirTurn) {
                EXPECT_EQ(std::count_if(LRequests.begin(), LRequests.end(),
                                        [&](const std::string& ATarget) {
                                            return ATarget.rfind("/file/" + LFile + "?", 0) == 0;
                                        }),
                          LOverlap ? 2 : 1)
                    << LFile;
            }
            LTranscripts[LOverlap] = FTranscript->Transcript;
            // What a broken zip leaves of its version folder depends on the
            // extraction threads, not on when the next package downloads.
            for (const std::string& LEntry : DownloadFolder()) {
                const std::string LVersion = LEntry.substr(0, LEntry.find('/'));
                const auto LFailed =
                    std::find_if(LRun.Versions.begin(), LRun.Versions.end(), [&](const auto& A) {
                        return A.Version == LVersion && !A.Installed();
                    });
                if (LFailed == LRun.Versions.end() || LEntry == LVersion + "/") {
                    LFolders[LOverlap].push_back(LEntry);
                }
            }
            for (const char* LVersion : {"22.0", "23.0", "24.0"}) {
                const auto LRecord = Record(LVersion);
                LRecords[LOverlap].push_back(LRecord ? LRecord->Version : "-");
            }
        }
        EXPECT_EQ(LTranscripts[1], LTranscripts[0]);
        EXPECT_EQ(LFolders[1], LFolders[0]);
        EXPECT_EQ(LRecords[1], LRecords[0]);
    }
}

// A cancelled run leaves no package of a version it did not begin, whether its
// download was still running or had already finished.
TEST_F(DownloadOverlapTest, CancellingStopsTheDownloadAheadAndRemovesWhatItWrote) {
    struct TCase {
        const char* Name;
        // Cancels on this line of the first version.
        const char* At;
        bool WaitForTheNextPackage;
    };
    for (const TCase& LCase : {
             TCase{"while the next one downloads", "Extracting all files for \"22.0\"", false},
             TCase{"after the next one downloaded", "Installation done.", true},
         }) {
        SCOPED_TRACE(LCase.Name);
        ResetMachine();
        ServePackage("a.zip");
        ServePackage("b.zip");
        ServePackage("c.zip");
        if (!LCase.WaitForTheNextPackage) {
            // Headers, then silence: only the cancellation ends this download.
            FServer.SetFault("stall", "/file/b.zip", -1, 200, 50, 60000);
        }
        bool LCancelled = false;
        FTranscript->OnLog = [&](const std::string& ALine) {
            if (LCancelled || ALine.rfind(LCase.At, 0) != 0) {
                return;
            }
            EXPECT_TRUE(Requested("b.zip"));
            if (LCase.WaitForTheNextPackage) {
                const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (!fs::exists(DownloadDir() + "b.zip") &&
                       std::chrono::steady_clock::now() < LDeadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                EXPECT_TRUE(fs::exists(DownloadDir() + "b.zip"));
            }
            LCancelled = true;
            FHost->Cancellation().Cancel("interrupted");
        };
        const auto LStart = std::chrono::steady_clock::now();

        const orvane::TInstallRun LRun = Engine().InstallVersions(
            {&Entry("22.0", "a.zip"), &Entry("23.0", "b.zip"), &Entry("24.0", "c.zip")},
            [&] { return IDEDir(); }, DownloadDir());

        EXPECT_LT(std::chrono::steady_clock::now() - LStart, std::chrono::seconds(20));
        EXPECT_TRUE(LRun.Stopped);
        ASSERT_EQ(LRun.Versions.size(), 1u);
        EXPECT_TRUE(LRun.Versions[0].Installed());
        EXPECT_EQ(FHost->Lines.back(),
                  "Installation stopped: interrupted; 2 version(s) not installed.");
        EXPECT_THAT(FHost->Lines, testing::Not(testing::Contains(HasSubstr("b.zip"))));
        EXPECT_FALSE(fs::exists(DownloadDir() + "b.zip"));
        EXPECT_FALSE(fs::exists(DownloadDir() + "b.zip.part"));
        EXPECT_TRUE(fs::exists(DownloadDir() + "a.zip"));
        EXPECT_THAT(FileRequests(),
                    ElementsAre(StartsWith("/file/a.zip"), StartsWith("/file/b.zip")));
        EXPECT_EQ(orvane::TDownloader::ActiveTransfers(), 0);
    }
}

// The next version's sign-in waits on the server away from the version being
// installed: that one finishes while the token request is still unanswered.
// A download ahead that failed for a passing reason gets its own try at its
// turn, and the run shows only that one.
TEST_F(DownloadOverlapTest, TheDownloadAheadNeitherHoldsUpNorDecidesItsVersion) {
    struct TCase {
        const char* Name;
        std::function<void()> Fault;
        // Token requests and b.zip requests the run makes.
        long Tokens;
        long RequestsOfB;
    };
    const std::vector<TCase> LCases{
        // Never released: a version waiting for this answer would fail it
        // after the hold, and its turn would ask for a fourth token.
        {"the next version's token answer is held",
         [&] { FServer.SetLaterFault("hold", "/token/", 1, 1, 503, 15000); }, 3, 1},
        {"the next version's package fails once",
         [&] { FServer.SetFault("status", "/file/b.zip", 1, 500); }, 4, 2},
        {"the next version's sign-in fails once",
         [&] { FServer.SetLaterFault("status", "/token/", 1, 1, 503); }, 4, 1},
    };
    for (const TCase& LCase : LCases) {
        SCOPED_TRACE(LCase.Name);
        ResetMachine();
        ServePackage("a.zip");
        ServePackage("b.zip");
        ServePackage("c.zip");
        LCase.Fault();
        const auto LTokens = [&] {
            const std::vector<std::string> LRequests = FServer.Requests();
            return std::count_if(LRequests.begin(), LRequests.end(),
                                 [](const std::string& A) { return A.rfind("/token/", 0) == 0; });
        };
        long LTokensAtFirstDone = -1;
        FTranscript->OnLog = [&](const std::string& ALine) {
            if (ALine != "Installation done." || LTokensAtFirstDone >= 0) {
                return;
            }
            // The request may still be on its way to the server.
            const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (LTokens() < 2 && std::chrono::steady_clock::now() < LDeadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            LTokensAtFirstDone = LTokens();
            FServer.Release();
        };

        const orvane::TInstallRun LRun = Engine().InstallVersions(
            {&Entry("22.0", "a.zip"), &Entry("23.0", "b.zip"), &Entry("24.0", "c.zip")},
            [&] { return IDEDir(); }, DownloadDir());

        ASSERT_EQ(LRun.Versions.size(), 3u);
        for (const orvane::TVersionOutcome& LOutcome : LRun.Versions) {
            EXPECT_TRUE(LOutcome.Installed()) << LOutcome.Version << ": " << LOutcome.Reason;
        }
        // The sign-in for b.zip was asked for before the first version ended.
        EXPECT_EQ(LTokensAtFirstDone, 2);
        EXPECT_EQ(LTokens(), LCase.Tokens);
        const std::vector<std::string> LFiles = FileRequests();
        EXPECT_EQ(
            std::count_if(LFiles.begin(), LFiles.end(),
                          [](const std::string& A) { return A.rfind("/file/b.zip?", 0) == 0; }),
            LCase.RequestsOfB);
        EXPECT_THAT(FHost->Lines, testing::Not(testing::Contains(HasSubstr("Failed"))));
        EXPECT_THAT(FHost->Warnings, testing::IsEmpty());
        for (const std::string& LEntry : DownloadFolder()) {
            EXPECT_THAT(LEntry, testing::Not(testing::EndsWith(".part")));
        }
    }
}

TEST(QuestionIdTest, NamesAreTheStableOnesScriptsUse) {
    const std::vector<std::pair<TQuestionId, std::string>> LNames{
        {TQuestionId::ExistingZip, "ExistingZip"},
        {TQuestionId::OlderVersionInstalled, "OlderVersionInstalled"},
        {TQuestionId::GetItCleanup, "GetItCleanup"},
        {TQuestionId::GetItRemove, "GetItRemove"},
        {TQuestionId::IdeRunning, "IdeRunning"}};
    for (const auto& [LId, LName] : LNames) {
        EXPECT_EQ(orvane::QuestionIdName(LId), LName);
    }
}

TEST(QueuedHostThreadTest, WorkFromOtherThreadsRunsOnTheHostInOrderUntilShutDown) {
    orvane::TQueuedHostThread LHost;
    std::vector<int> LRan;
    std::atomic<bool> LOffHost{false};
    std::thread LWorker([&] {
        for (int LIndex = 0; LIndex < 100; ++LIndex) {
            LHost.Post([&, LIndex] {
                LOffHost = LOffHost || !LHost.IsHostThread();
                LRan.push_back(LIndex);
            });
        }
    });
    while (LRan.size() < 100) {
        LHost.WaitForWork(std::chrono::milliseconds(50));
    }
    LWorker.join();
    std::vector<int> LExpected(100);
    for (int LIndex = 0; LIndex < 100; ++LIndex) {
        LExpected[LIndex] = LIndex;
    }
    EXPECT_EQ(LRan, LExpected);
    EXPECT_FALSE(LOffHost);

    LHost.ShutDown();
    LHost.Post([&] { LRan.push_back(-1); });
    LHost.ProcessPending();
    EXPECT_EQ(LRan.size(), 100u);
    EXPECT_TRUE(LHost.IsShuttingDown());
}

// A console that ends while a download runs shuts its host down: the transfer
// must not wait for a final notification nobody will run.
TEST(QueuedHostThreadTest, ADownloadWhoseHostShutsDownEndsWithoutItsNotification) {
    TLocalApiServer LServer;
    LServer.WriteFile("a.bin", "A");
    LServer.SetFault("late", "/file/a.bin", -1, 200, 300);
    auto LHost = std::make_shared<orvane::TQueuedHostThread>();
    bool LNotified = false;
    auto* LDownloader = new orvane::TDownloader(LServer.BaseUrl(), "", LHost);
    LDownloader->OnCompleted = [&](orvane::TDownloader&) { LNotified = true; };
    LDownloader->OnError = [&](const std::exception&) { LNotified = true; };
    LDownloader->Download(LServer.BaseUrl() + "/file/a.bin", "", true);
    ASSERT_EQ(orvane::TDownloader::ActiveTransfers(), 1);

    LHost->ShutDown();
    const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (orvane::TDownloader::ActiveTransfers() > 0 &&
           std::chrono::steady_clock::now() < LDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    EXPECT_EQ(orvane::TDownloader::ActiveTransfers(), 0);
    LHost->ProcessPending();
    EXPECT_FALSE(LNotified);
    EXPECT_EQ(LServer.Requests(), std::vector<std::string>{"/file/a.bin"});
}

} // namespace
