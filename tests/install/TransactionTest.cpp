// A version's installation as one transaction: a failure at any change, or a
// kill between any two, leaves the IDE's folders and registry as they were.
// Real zips, a registry store of its own (a SQLite file here, a scratch key of
// the Win32 registry under Wine) and real folders in a temp folder; the package
// lies in the download folder already, so no server is needed.
#include "../registry/RegistryTestSupport.h"
#include "TestZip.h"

#include "install/InstallEngine.h"
#include "install/InstallManifest.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "server/Protocol.h"
#include "server/Sha256.h"
#include "support/FileText.h"
#include "support/RegContents.h"
#include "support/ScriptedHost.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using orvane::TQuestionId;
using testing::HasSubstr;

namespace {

const std::string CBds = "SOFTWARE\\Embarcadero\\BDS\\";

orvane::TRegValue Text(const std::string& AName, const std::string& AText) {
    return {AName, orvane::rtSz, orvane::ToUtf16Le(AText, true)};
}

// Every file below AFolder with its bytes, and every folder: what a rollback
// must bring back.
std::string FolderContents(const fs::path& AFolder) {
    std::map<std::string, std::string> LEntries;
    for (const auto& LEntry : fs::recursive_directory_iterator(AFolder)) {
        const std::string LName = fs::relative(LEntry.path(), AFolder).generic_string();
        LEntries[LName] = LEntry.is_directory() ? "<folder>" : ReadFileText(LEntry.path());
    }
    std::string LText;
    for (const auto& [LName, LData] : LEntries) {
        LText += LName + " = " + LData + "\n";
    }
    return LText;
}

class TransactionTest : public testing::Test {
protected:
    void SetUp() override {
        WriteFileText(FTemp / "exe" / "libeay32.dll", "libeay");
        WriteFileText(FTemp / "exe" / "ssleay32.dll", "ssleay");
        fs::create_directories(FTemp / "data");
        // A download folder without the marker word in its path, as many users choose.
        FDownloads = fs::temp_directory_path() / ("pkgs-" + std::to_string(std::random_device()()));
        fs::create_directories(FDownloads);
        FStore = FTempStore.Store;
        for (const char* LVersion : {"22.0", "23.0"}) {
            fs::create_directories(FTemp / "ide" / LVersion / "bin");
            const std::string LKey = CBds + LVersion + "\\Environment Variables";
            ASSERT_TRUE(FStore->CreateKey(LKey));
            ASSERT_TRUE(FStore->SetValue(
                LKey, Text("BDSCatalogRepositoryAllUsers", CommonDir(LVersion) + "Catalog")));
            ASSERT_TRUE(FStore->CreateKey(CBds + LVersion + "\\Known Packages"));
            for (const char* LPlatform : {"Win32", "Win64"}) {
                const std::string LLibrary = CBds + LVersion + "\\Library\\" + LPlatform;
                ASSERT_TRUE(FStore->CreateKey(LLibrary));
                ASSERT_TRUE(FStore->SetValue(LLibrary, Text("Search Path", "$(BDSLIB)")));
            }
            const std::string LCpp = CBds + LVersion + "\\C++\\Paths\\Win32";
            ASSERT_TRUE(FStore->CreateKey(LCpp));
            ASSERT_TRUE(FStore->SetValue(LCpp, Text("IncludePath", "$(BDSINCLUDE)")));
        }
        WriteTestZip(FDownloads / "a.zip", {{"Win32/Release/Orvane_Core.bpl", "core32"},
                                            {"Win32/Release/Orvane_Core.dcp", "dcp32"},
                                            {"Win64/Release/Orvane_Core.bpl", "core64"},
                                            {"Win32/Release/Orvane.dll", "dll"}});
    }

    std::string Root() const { return DirText(FTemp.Path()); }
    // Paths as the engine writes them: the platform's separator throughout.
    static std::string N(const std::string& APath) { return orvane::test::Native(APath); }
    std::string IDEDir() const { return N(Root() + "ide/"); }
    void TearDown() override {
        std::error_code LIgnored;
        fs::remove_all(FDownloads, LIgnored);
    }
    std::string DownloadDir() const { return DirText(FDownloads); }
    std::string CommonDir(const std::string& AVersion) const {
        return N(Root() + "common/" + AVersion + "/");
    }

    // The reused package is asked about at each try.
    std::shared_ptr<TScriptedHost> NewHost() {
        FHost = std::make_shared<TScriptedHost>();
        for (int LTry = 0; LTry < 4; ++LTry) {
            FHost->Answer(TQuestionId::ExistingZip, false);
            FHost->Answer(TQuestionId::OlderVersionInstalled, true);
        }
        return FHost;
    }

    orvane::TInstallEngine Engine(orvane::TRegistryStore& AStore,
                                  std::function<void(const orvane::TRecordLine&)> AHook = {}) {
        orvane::TInstallSettings LSettings;
        LSettings.ApiUrl = "http://127.0.0.1:9/";
        LSettings.ExeDir = DirText(FTemp / "exe");
        LSettings.IDEProcessName = "bds-transaction-test-none.exe";
        LSettings.BeforeChange = std::move(AHook);
        LSettings.DataDir = FTemp / "data";
        return orvane::TInstallEngine(NewHost(), AStore, LSettings);
    }

    const rapidjson::Value& Entry(const std::string& AVersion) {
        auto LDocument = std::make_unique<rapidjson::Document>();
        const std::string LText = R"({"name": "Orvane", "version": ")" + AVersion +
                                  R"(", "file": "a.zip", "url": "file/",
            "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp",
            "dlls": "Win32/Release/Orvane.dll", "platforms": "Win32,Win64"})";
        LDocument->Parse<orvane::KAnswerParseFlags>(LText.c_str());
        FDocuments.push_back(std::move(LDocument));
        return *FDocuments.back();
    }

    // The registry, and the IDE folders and the data folder but the store itself.
    std::string MachineState() {
        std::string LState = RegContents(*FStore, "") + FolderContents(FTemp / "ide") +
                             (fs::exists(FTemp / "common") ? FolderContents(FTemp / "common") : "");
        for (const auto& LEntry : fs::recursive_directory_iterator(FTemp / "data")) {
            if (!LEntry.is_directory()) {
                LState += "data: " + LEntry.path().generic_string() + "\n";
            }
        }
        return LState;
    }

    std::size_t JournalCount() const {
        return orvane::TInstallJournal::Unfinished(FTemp / "data").size();
    }

    // The user's own build of the package, which the installation replaces.
    void PutUsersOwnBpl() {
        WriteFileText(CommonDir("22.0") + "Bpl/Orvane_Core.bpl", "the user's own build\r\n\x01");
    }

    TTempDir FTemp;
    orvane::test::TTempStore FTempStore;
    fs::path FDownloads;
    std::shared_ptr<orvane::TRegistryStore> FStore;
    std::shared_ptr<TScriptedHost> FHost;
    std::vector<std::unique_ptr<rapidjson::Document>> FDocuments;
};

struct EStopHere : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST_F(TransactionTest, AFailureAtEachChangeLeavesTheMachineAsBefore) {
    PutUsersOwnBpl();
    // Another version's installation stays as it is.
    orvane::WriteRegistryData(*FStore,
                              orvane::TOrvaneRegistryData::Create("23.0", "1.0", "DEVELOPER", "",
                                                                  DownloadDir() + "23.0/"));
    const std::string LBefore = MachineState();
    std::set<std::string> LKindsUndone;
    int LStep = 1;
    for (;; ++LStep) {
        SCOPED_TRACE("failing at change " + std::to_string(LStep));
        int LChanges = 0;
        std::string LKind;
        auto LEngine = Engine(*FStore, [&](const orvane::TRecordLine& ARecord) {
            if (++LChanges == LStep) {
                LKind = ARecord.Kind;
                throw EStopHere("the disk went away at " + ARecord.Kind);
            }
        });
        try {
            if (LEngine.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir())) {
                break;
            }
            ADD_FAILURE() << "neither installed nor failed with an error";
            break;
        } catch (const std::exception& AError) {
            EXPECT_EQ(std::string(AError.what()),
                      "22.0 was rolled back: the disk went away at " + LKind);
        }
        LKindsUndone.insert(LKind);
        EXPECT_EQ(MachineState(), LBefore);
        ASSERT_LT(LStep, 40) << "the installation never ends";
    }
    // Folders, new files, the replaced file, the registry step and the manifest.
    EXPECT_GE(LStep, 10);
    EXPECT_EQ(LKindsUndone, (std::set<std::string>{"created", "folder", "registry", "replaced"}));
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"), "core32");
    EXPECT_TRUE(fs::is_empty(FTemp / "data" / "Journals"));
}

TEST_F(TransactionTest, ARegistryValueOfTheWrongTypeRollsBackTheVersionAlone) {
    PutUsersOwnBpl();
    ASSERT_TRUE(FStore->SetValue(CBds + "22.0\\Library\\Win64",
                                 {"Search Path", orvane::rtDword, {1, 0, 0, 0}}));
    const std::string LBefore = MachineState();
    auto LEngine = Engine(*FStore);
    const orvane::TInstallRun LRun = LEngine.InstallVersions(
        {&Entry("22.0")}, [this] { return IDEDir(); }, DownloadDir());

    ASSERT_EQ(LRun.Versions.size(), 1u);
    EXPECT_EQ(LRun.Versions[0].Result, orvane::vrFailed);
    EXPECT_THAT(LRun.Versions[0].Reason,
                testing::StartsWith("22.0 was rolled back: Invalid data type for 'Search Path'"));
    EXPECT_THAT(LRun.FailureReport, HasSubstr("22.0 was rolled back: "));
    EXPECT_THAT(FHost->Lines, testing::Contains(HasSubstr("<ERROR> 22.0 was rolled back: ")));
    EXPECT_EQ(MachineState(), LBefore);
}

TEST_F(TransactionTest, UninstallFromAFolderWithoutTheMarkerLeavesTheRegistryAsBefore) {
    // The user's own folder, which merely contains the word, stays.
    const std::string LUsers = "C:\\Work\\orvane-helpers\\lib";
    ASSERT_TRUE(FStore->SetValue(CBds + "22.0\\Library\\Win32",
                                 Text("Search Path", "$(BDSLIB);" + LUsers)));
    // The library lists compared as lists: the clean-up rule ends every entry with ";".
    const auto LLists = [this] {
        std::string LText = RegContents(*FStore, "SOFTWARE\\Embarcadero\\BDS");
        for (std::size_t LAt; (LAt = LText.find(";\"\r\n")) != std::string::npos;) {
            LText.erase(LAt, 1);
        }
        return LText;
    };
    const std::string LBefore = LLists();
    for (int LTime = 0; LTime < 2; ++LTime) {
        auto LEngine = Engine(*FStore);
        ASSERT_TRUE(LEngine.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    }
    // Installed twice: one entry, not one per installation.
    const std::string LEntry = N(DownloadDir() + "22.0/Win32/Release/");
    EXPECT_EQ(orvane::FromUtf16Le(
                  FStore->GetValue(CBds + "22.0\\Library\\Win32", "Search Path")->Data, true),
              "$(BDSLIB);" + LUsers + ";" + LEntry + ";");
    fs::path LManifestFile;
    const auto LManifest = orvane::ReadRecordManifest(*FStore, "22.0", &LManifestFile);
    ASSERT_TRUE(LManifest);
    EXPECT_EQ(LManifest->VersionDir, N(DownloadDir() + "22.0/"));
    EXPECT_THAT(LManifest->Values, testing::Contains(orvane::TManifestValue{
                                       CBds + "22.0\\Library\\Win32", "Search Path", LEntry, ""}));
    EXPECT_THAT(LManifest->Values,
                testing::Contains(orvane::TManifestValue{
                    CBds + "22.0\\Known Packages", N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"), "",
                    "Orvane_Core.bpl"}));
    // The second installation found the SSL libraries there: the first one's
    // manifest entries for them carry over.
    ASSERT_EQ(LManifest->Files.size(), 6u);
    EXPECT_EQ(LManifest->Files[0].Path, N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"));
    EXPECT_EQ(LManifest->Files[0].Size, 6u);
    EXPECT_EQ(LManifest->Files[0].Sha256, orvane::Sha256OfFile(LManifest->Files[0].Path));

    auto LEngine = Engine(*FStore);
    LEngine.UninstallVersion("22.0");

    EXPECT_EQ(LLists(), LBefore);
    EXPECT_FALSE(fs::exists(LManifestFile));
    // Files stay unless asked.
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"), "core32");
}

TEST_F(TransactionTest, UninstallRemovingFilesTakesTheUnchangedOnesAndNamesTheChanged) {
    for (const char* LVersion : {"22.0", "23.0"}) {
        auto LEngine = Engine(*FStore);
        ASSERT_TRUE(LEngine.InstallPackage(&Entry(LVersion), IDEDir(), DownloadDir()));
    }
    const std::string LChanged = N(IDEDir() + "22.0/bin/Orvane.dll");
    WriteFileText(LChanged, "patched by the user");

    auto LEngine = Engine(*FStore);
    LEngine.UninstallVersion("22.0", true);

    EXPECT_FALSE(fs::exists(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"));
    EXPECT_FALSE(fs::exists(CommonDir("22.0") + "Dcp/Orvane_Core.dcp"));
    EXPECT_FALSE(fs::exists(IDEDir() + "22.0/bin/libeay32.dll"));
    EXPECT_FALSE(fs::exists(DownloadDir() + "22.0"));
    EXPECT_EQ(ReadFileText(LChanged), "patched by the user");
    EXPECT_THAT(FHost->Warnings, testing::ElementsAre("Kept \"" + LChanged +
                                                      "\": it was changed since the installation"));
    // The package, the backups and the other version stay.
    EXPECT_TRUE(fs::exists(DownloadDir() + "a.zip"));
    EXPECT_FALSE(fs::is_empty(DownloadDir() + "Backups"));
    EXPECT_EQ(ReadFileText(CommonDir("23.0") + "Bpl/Orvane_Core.bpl"), "core32");
    EXPECT_TRUE(fs::exists(DownloadDir() + "23.0/Win32/Release/Orvane_Core.bpl"));
}

TEST_F(TransactionTest, VerifyFindsWhatIsBrokenAndRepairMendsIt) {
    {
        auto LEngine = Engine(*FStore);
        ASSERT_TRUE(LEngine.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
        EXPECT_TRUE(LEngine.Verify({}).Problems.empty());
    }
    const std::string LBpl = N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl");
    const std::string LDcp = N(CommonDir("22.0") + "Dcp/Orvane_Core.dcp");
    const std::string LKnown = CBds + "22.0\\Known Packages";
    const std::string LCopy = Root() + "getit/Orvane_Core.bpl";
    fs::remove(LBpl);
    WriteFileText(LDcp, "damaged");
    ASSERT_TRUE(FStore->DeleteValue(LKnown, LBpl));
    ASSERT_TRUE(FStore->CreateKey(CBds + "22.0\\Disabled Packages"));
    ASSERT_TRUE(FStore->SetValue(CBds + "22.0\\Disabled Packages", Text(LCopy, "GetIt copy")));
    // The extracted copy of the DCP is damaged too: it comes from the zip.
    WriteFileText(DownloadDir() + "22.0/Win32/Release/Orvane_Core.dcp", "also damaged");

    auto LEngine = Engine(*FStore);
    std::vector<std::string> LLines;
    for (const orvane::TVerifyProblem& LProblem : LEngine.Verify({"22.0"}).Problems) {
        LLines.push_back(LProblem.Text);
    }
    EXPECT_THAT(LLines,
                testing::UnorderedElementsAre(
                    "22.0: missing file \"" + LBpl + "\"",
                    testing::StartsWith("22.0: changed file \"" + LDcp + "\" (SHA-256 "),
                    "22.0: missing registry value \"" + LBpl + "\" in HKEY_CURRENT_USER\\" + LKnown,
                    "22.0: another copy of \"Orvane_Core.bpl\" is registered: \"" + LCopy +
                        "\" in HKEY_CURRENT_USER\\" + CBds + "22.0\\Disabled Packages"));

    const orvane::TVerifyReport LAfter = LEngine.Repair({"22.0"}, false);
    ASSERT_EQ(LAfter.Problems.size(), 1u);
    EXPECT_EQ(LAfter.Problems[0].Kind, orvane::TVerifyProblem::vkConflict);
    EXPECT_EQ(ReadFileText(LBpl), "core32");
    EXPECT_EQ(ReadFileText(LDcp), "dcp32");
    EXPECT_EQ(orvane::FromUtf16Le(FStore->GetValue(LKnown, LBpl)->Data, true), "Orvane_Core.bpl");
    EXPECT_TRUE(FStore->GetValue(CBds + "22.0\\Disabled Packages", LCopy));
    EXPECT_EQ(JournalCount(), 0u);

    const std::size_t LBackups = FHost->Backups.size();
    EXPECT_TRUE(LEngine.Repair({"22.0"}, true).Problems.empty());
    EXPECT_FALSE(FStore->GetValue(CBds + "22.0\\Disabled Packages", LCopy));
    ASSERT_EQ(FHost->Backups.size(), LBackups + 1);
    const std::string LBackup = ReadFileText(FHost->Backups.back());
    ASSERT_GT(LBackup.size(), 2u);
    EXPECT_THAT(orvane::FromUtf16Le(reinterpret_cast<const std::uint8_t*>(LBackup.data()) + 2,
                                    LBackup.size() - 2, false),
                HasSubstr("GetIt copy"));
}

TEST_F(TransactionTest, AnInstallationWithoutAManifestIsReportedAsUnverifiable) {
    orvane::WriteRegistryData(*FStore,
                              orvane::TOrvaneRegistryData::Create("23.0", "1.0", "DEVELOPER", "",
                                                                  DownloadDir() + "23.0/"));
    auto LEngine = Engine(*FStore);
    const orvane::TVerifyReport LReport = LEngine.Verify({});
    ASSERT_EQ(LReport.Problems.size(), 1u);
    EXPECT_EQ(LReport.Problems[0].Text,
              "23.0: installed without a manifest; it cannot be verified");
    // And it is still uninstalled as before.
    LEngine.UninstallVersion("23.0");
    orvane::TOrvaneRegistryData LRecord;
    EXPECT_FALSE(orvane::ReadRegistryData(*FStore, "23.0", LRecord));
}

#ifndef _WIN32
// The child installs and is killed (it ends on the spot, as SIGKILL would end
// it) after the journal announced change AStep; a cut-off extraction leaves
// its temporary file. Returns whether the child installed the whole version.
bool InstallKilledAt(
    const fs::path& AStoreFile,
    const std::function<orvane::TInstallEngine(
        orvane::TRegistryStore&, std::function<void(const orvane::TRecordLine&)>)>& AEngine,
    const rapidjson::Value& AEntry, const std::string& AIDEDir, const std::string& ADownloadDir,
    int AStep) {
    const pid_t LChild = fork();
    if (LChild == 0) {
        int LChanges = 0;
        const auto LStore = orvane::OpenSqliteRegistryStore(AStoreFile);
        auto LEngine = AEngine(*LStore, [&](const orvane::TRecordLine& ARecord) {
            if (++LChanges == AStep) {
                if (ARecord.Kind == "created" || ARecord.Kind == "replaced") {
                    WriteFileText(ARecord.Fields[0] + ".part", "half a file");
                }
                _exit(9);
            }
        });
        try {
            _exit(LEngine.InstallPackage(&AEntry, AIDEDir, ADownloadDir) ? 0 : 1);
        } catch (...) {
            _exit(2);
        }
    }
    int LStatus = 0;
    waitpid(LChild, &LStatus, 0);
    EXPECT_TRUE(WIFEXITED(LStatus));
    EXPECT_NE(WEXITSTATUS(LStatus), 1);
    EXPECT_NE(WEXITSTATUS(LStatus), 2);
    return WEXITSTATUS(LStatus) == 0;
}

TEST_F(TransactionTest, ARunKilledBetweenAnyTwoChangesIsRolledBackAtTheNextStart) {
    PutUsersOwnBpl();
    const std::string LBefore = MachineState();
    int LStep = 1;
    const auto LEngine = [this](orvane::TRegistryStore& AStore,
                                std::function<void(const orvane::TRecordLine&)> AHook) {
        return Engine(AStore, std::move(AHook));
    };
    for (;; ++LStep) {
        SCOPED_TRACE("killed after change " + std::to_string(LStep));
        if (InstallKilledAt(FTempStore.Dir / "registry.sqlite", LEngine, Entry("22.0"), IDEDir(),
                            DownloadDir(), LStep)) {
            break;
        }
        EXPECT_EQ(JournalCount(), 1u);
        auto LNextStart = Engine(*FStore);
        const std::vector<std::string> LReports = LNextStart.RecoverUnfinished();

        EXPECT_EQ(MachineState(), LBefore);
        ASSERT_EQ(LReports.size(), 1u);
        EXPECT_EQ(LReports[0], "22.0 was rolled back: its installation was interrupted before "
                               "it was done");
        EXPECT_EQ(FHost->Warnings, LReports);
        EXPECT_THAT(FHost->Lines, testing::Contains("<ERROR> " + LReports[0]));
        ASSERT_LT(LStep, 40) << "the installation never ends";
    }
    EXPECT_GE(LStep, 10);
    EXPECT_TRUE(Engine(*FStore).RecoverUnfinished().empty());
    EXPECT_EQ(ReadFileText(CommonDir("22.0") + "Bpl/Orvane_Core.bpl"), "core32");
    orvane::TOrvaneRegistryData LRecord;
    EXPECT_TRUE(orvane::ReadRegistryData(*FStore, "22.0", LRecord));
}
#endif

} // namespace
