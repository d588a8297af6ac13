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
#include "support/ForwardingStore.h"
#include "support/RegContents.h"
#include "support/ScriptedHost.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#ifdef _WIN32
#include "platform/Privilege.h"
#include "registry/Win32RegistryStore.h"

#include <windows.h>
#else
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

std::string EntryText(const std::string& AVersion) {
    return R"({"name": "Orvane", "version": ")" + AVersion + R"(", "file": "a.zip", "url": "file/",
            "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp",
            "dlls": "Win32/Release/Orvane.dll", "platforms": "Win32,Win64"})";
}

// The reused package is asked about at each try.
std::shared_ptr<TScriptedHost> AnsweringHost() {
    auto LHost = std::make_shared<TScriptedHost>();
    for (int LTry = 0; LTry < 4; ++LTry) {
        LHost->Answer(TQuestionId::ExistingZip, false);
        LHost->Answer(TQuestionId::OlderVersionInstalled, true);
    }
    return LHost;
}

// The SSL libraries in "exe", journals and manifests in "data" below ARoot.
orvane::TInstallSettings SettingsIn(const fs::path& ARoot,
                                    std::function<void(const orvane::TRecordLine&)> AHook) {
    orvane::TInstallSettings LSettings;
    LSettings.ApiUrl = "http://127.0.0.1:9/";
    LSettings.ExeDir = DirText(ARoot / "exe");
    LSettings.IDEProcessName = "bds-transaction-test-none.exe";
    LSettings.BeforeChange = std::move(AHook);
    LSettings.DataDir = ARoot / "data";
    return LSettings;
}

#ifdef _WIN32
// The child of the kill test below: installs version 22.0 into the parent's
// store and folders (named by the environment) and ends on the spot, as the
// task manager ends a process, when the journal announces change
// ORVANE_TEST_KILL_STEP; a cut-off extraction leaves its temporary file. It
// runs before main, so no test of this program runs in the child.
const bool KKilledChild = [] {
    const char* LStep = std::getenv("ORVANE_TEST_KILL_STEP");
    if (LStep == nullptr) {
        return false;
    }
    const auto LEnv = [](const char* AName) {
        const char* LValue = std::getenv(AName);
        return std::string(LValue ? LValue : "");
    };
    orvane::EnablePrivilege("SeBackupPrivilege", true);
    const auto LStore =
        orvane::OpenWin32RegistryStore(HKEY_CURRENT_USER, LEnv("ORVANE_TEST_KILL_STORE"));
    int LChanges = 0;
    const int LKillAt = std::atoi(LStep);
    orvane::TInstallEngine LEngine(
        AnsweringHost(), *LStore,
        SettingsIn(orvane::PathFromUtf8(LEnv("ORVANE_TEST_KILL_ROOT")),
                   [&](const orvane::TRecordLine& ARecord) {
                       if (++LChanges == LKillAt) {
                           if (ARecord.Kind == "created" || ARecord.Kind == "replaced") {
                               WriteFileText(ARecord.Fields[0] + ".part", "half a file");
                           }
                           TerminateProcess(GetCurrentProcess(), 9);
                       }
                   }));
    rapidjson::Document LEntry;
    LEntry.Parse<orvane::KAnswerParseFlags>(EntryText("22.0").c_str());
    UINT LCode = 2;
    try {
        LCode = LEngine.InstallPackage(&LEntry, LEnv("ORVANE_TEST_KILL_IDE"),
                                       LEnv("ORVANE_TEST_KILL_DOWNLOADS"))
                    ? 0
                    : 1;
    } catch (...) {
    }
    ExitProcess(LCode);
}();
#endif

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

    orvane::TInstallEngine Engine(orvane::TRegistryStore& AStore,
                                  std::function<void(const orvane::TRecordLine&)> AHook = {}) {
        FHost = AnsweringHost();
        return orvane::TInstallEngine(FHost, AStore, SettingsIn(FTemp.Path(), std::move(AHook)));
    }

    const rapidjson::Value& Entry(const std::string& AVersion) {
        auto LDocument = std::make_unique<rapidjson::Document>();
        LDocument->Parse<orvane::KAnswerParseFlags>(EntryText(AVersion).c_str());
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
    // The user's own folders, one merely with the word, one even of the
    // installer's form, stay; the lists come back byte for byte.
    const std::string LUsers = "C:\\Work\\orvane-helpers\\lib";
    const std::string LUsersRelease = "C:\\Work\\orvane-helpers\\Release\\";
    ASSERT_TRUE(FStore->SetValue(CBds + "22.0\\Library\\Win32",
                                 Text("Search Path", "$(BDSLIB);" + LUsers)));
    ASSERT_TRUE(FStore->SetValue(CBds + "22.0\\Library\\Win64",
                                 Text("Search Path", "$(BDSLIB); " + LUsersRelease)));
    const auto LLists = [this] { return RegContents(*FStore, "SOFTWARE\\Embarcadero\\BDS"); };
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
    const auto LManifest =
        orvane::ReadRecordManifest(*FStore, "22.0", FTemp / "data" / "Manifests", &LManifestFile);
    ASSERT_TRUE(LManifest);
    EXPECT_EQ(LManifest->VersionDir, N(DownloadDir() + "22.0/"));
    EXPECT_THAT(LManifest->Values,
                testing::Contains(orvane::TManifestValue{
                    CBds + "22.0\\Library\\Win32", "Search Path", LEntry, "$(BDSLIB);" + LUsers}));
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

// A C++ path value the IDE lost whole is written anew by a repair; a repair
// rolled back after that write leaves the key as it found it.
TEST_F(TransactionTest, ARepairRolledBackTakesOutTheValueItCreated) {
    {
        auto LEngine = Engine(*FStore);
        ASSERT_TRUE(LEngine.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    }
    const std::string LCpp = CBds + "22.0\\C++\\Paths\\Win32";
    ASSERT_TRUE(FStore->GetValue(LCpp, "IncludePath"));
    ASSERT_TRUE(FStore->DeleteValue(LCpp, "IncludePath"));
    const std::string LBefore = RegContents(*FStore, "");

    // The write lands, but the store reports it failed.
    struct TLostAnswerStore : TForwardingStore {
        using TForwardingStore::TForwardingStore;
        bool SetValue(const std::string& AKey, const orvane::TRegValue& AValue) override {
            const bool LWritten = TForwardingStore::SetValue(AKey, AValue);
            return LWritten && std::exchange(FAnswered, true);
        }
        bool FAnswered = false;
    };
    TLostAnswerStore LStore(FStore);
    auto LEngine = Engine(LStore);
    const orvane::TVerifyReport LAfter = LEngine.Repair({"22.0"}, false);
    // Each of the value's four entries is missing still.
    EXPECT_EQ(LAfter.Problems.size(), 4u);
    for (const orvane::TVerifyProblem& LProblem : LAfter.Problems) {
        EXPECT_THAT(LProblem.Text, HasSubstr("in \"IncludePath\" of"));
    }
    EXPECT_THAT(FHost->Warnings, testing::Contains(testing::StartsWith("22.0 was rolled back: ")));
    EXPECT_FALSE(FStore->GetValue(LCpp, "IncludePath"));
    EXPECT_EQ(RegContents(*FStore, ""), LBefore);
    EXPECT_EQ(JournalCount(), 0u);

    EXPECT_TRUE(Engine(*FStore).Repair({"22.0"}, false).Problems.empty());
    EXPECT_THAT(orvane::FromUtf16Le(FStore->GetValue(LCpp, "IncludePath")->Data, true),
                HasSubstr(N(DownloadDir() + "22.0/")));
}

// An installation recorded before manifests were kept is checked against what
// its extracted folder implies, and repaired from it.
TEST_F(TransactionTest, AnInstallationWithoutAManifestIsCheckedAgainstItsFolder) {
    {
        auto LEngine = Engine(*FStore);
        ASSERT_TRUE(LEngine.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    }
    fs::path LManifestFile;
    ASSERT_TRUE(
        orvane::ReadRecordManifest(*FStore, "22.0", FTemp / "data" / "Manifests", &LManifestFile));
    std::string LRecordKey = orvane::RecordKey("22.0");
    LRecordKey.pop_back();
    ASSERT_TRUE(FStore->DeleteValue(LRecordKey, orvane::KManifestValue));
    ASSERT_TRUE(fs::remove(LManifestFile));
    ASSERT_FALSE(orvane::ReadRecordManifest(*FStore, "22.0", FTemp / "data" / "Manifests"));

    auto LEngine = Engine(*FStore);
    const auto LTexts = [&] {
        std::vector<std::string> LLines;
        for (const orvane::TVerifyProblem& LProblem : LEngine.Verify({"22.0"}).Problems) {
            LLines.push_back(LProblem.Text);
        }
        return LLines;
    };
    EXPECT_THAT(LTexts(), testing::IsEmpty());

    const std::string LBpl = N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl");
    const std::string LBpl64 = N(CommonDir("22.0") + "Bpl/Win64/Orvane_Core.bpl");
    const std::string LKnown = CBds + "22.0\\Known Packages";
    const std::string LLibrary = CBds + "22.0\\Library\\Win64";
    const std::string LEntry64 = N(DownloadDir() + "22.0/Win64/Release/");
    fs::remove(LBpl);
    fs::remove(LBpl64);
    ASSERT_TRUE(FStore->DeleteValue(LKnown, LBpl));
    ASSERT_TRUE(FStore->SetValue(LLibrary, Text("Search Path", "$(BDSLIB)")));
    EXPECT_THAT(LTexts(),
                testing::UnorderedElementsAre(
                    "22.0: missing file \"" + LBpl + "\"", "22.0: missing file \"" + LBpl64 + "\"",
                    "22.0: missing registry value \"" + LBpl + "\" in HKEY_CURRENT_USER\\" + LKnown,
                    "22.0: missing entry \"" + LEntry64 +
                        "\" in \"Search Path\" of HKEY_CURRENT_USER\\" + LLibrary));

    EXPECT_TRUE(LEngine.Repair({"22.0"}, false).Problems.empty());
    EXPECT_EQ(ReadFileText(LBpl), "core32");
    EXPECT_EQ(ReadFileText(LBpl64), "core64");
    EXPECT_EQ(orvane::FromUtf16Le(FStore->GetValue(LKnown, LBpl)->Data, true), "Orvane_Core.bpl");

    // Only a folder that is gone leaves nothing to check against.
    fs::remove_all(DownloadDir() + "22.0");
    const orvane::TVerifyReport LGone = LEngine.Verify({"22.0"});
    ASSERT_EQ(LGone.Problems.size(), 1u);
    EXPECT_EQ(LGone.Problems[0].Kind, orvane::TVerifyProblem::vkUnverifiable);
}

TEST_F(TransactionTest, AnInstallationWithoutAManifestIsReportedAsUnverifiable) {
    orvane::WriteRegistryData(*FStore,
                              orvane::TOrvaneRegistryData::Create("23.0", "1.0", "DEVELOPER", "",
                                                                  DownloadDir() + "23.0/"));
    auto LEngine = Engine(*FStore);
    const orvane::TVerifyReport LReport = LEngine.Verify({});
    ASSERT_EQ(LReport.Problems.size(), 1u);
    EXPECT_EQ(LReport.Problems[0].Text,
              "23.0: installed without a manifest, and its folder is gone; it cannot be "
              "verified");
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

#else
// This program again, as the child that KKilledChild runs: it installs and
// is ended with TerminateProcess after the journal announced change AStep.
// Returns whether the child installed the whole version.
bool InstallKilledAt(const std::string& AStoreKey, const fs::path& ARoot,
                     const std::string& AIDEDir, const std::string& ADownloadDir, int AStep) {
    const std::vector<std::pair<const char*, std::string>> LEnvironment = {
        {"ORVANE_TEST_KILL_STEP", std::to_string(AStep)},
        {"ORVANE_TEST_KILL_STORE", AStoreKey},
        {"ORVANE_TEST_KILL_ROOT", orvane::Utf8FromPath(ARoot)},
        {"ORVANE_TEST_KILL_IDE", AIDEDir},
        {"ORVANE_TEST_KILL_DOWNLOADS", ADownloadDir}};
    for (const auto& [LName, LValue] : LEnvironment) {
        SetEnvironmentVariableA(LName, LValue.c_str());
    }
    wchar_t LExe[MAX_PATH];
    GetModuleFileNameW(nullptr, LExe, MAX_PATH);
    std::wstring LCommand = L"\"" + std::wstring(LExe) + L"\" --gtest_filter=-*";
    STARTUPINFOW LStartup{};
    LStartup.cb = sizeof(LStartup);
    PROCESS_INFORMATION LProcess{};
    const BOOL LStarted = CreateProcessW(LExe, LCommand.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                         nullptr, &LStartup, &LProcess);
    for (const auto& LVariable : LEnvironment) {
        SetEnvironmentVariableA(LVariable.first, nullptr);
    }
    EXPECT_TRUE(LStarted);
    if (!LStarted) {
        return true;
    }
    WaitForSingleObject(LProcess.hProcess, INFINITE);
    DWORD LCode = 0;
    GetExitCodeProcess(LProcess.hProcess, &LCode);
    CloseHandle(LProcess.hThread);
    CloseHandle(LProcess.hProcess);
    EXPECT_TRUE(LCode == 0 || LCode == 9) << "exit code " << LCode;
    return LCode == 0;
}
#endif

TEST_F(TransactionTest, ARunKilledBetweenAnyTwoChangesIsRolledBackAtTheNextStart) {
    PutUsersOwnBpl();
    const std::string LBefore = MachineState();
    int LStep = 1;
#ifdef _WIN32
    const auto LKilledAt = [this](int AStep) {
        return InstallKilledAt(FTempStore.HiveKey, FTemp.Path(), IDEDir(), DownloadDir(), AStep);
    };
#else
    const auto LEngine = [this](orvane::TRegistryStore& AStore,
                                std::function<void(const orvane::TRecordLine&)> AHook) {
        return Engine(AStore, std::move(AHook));
    };
    const auto LKilledAt = [&](int AStep) {
        return InstallKilledAt(FTempStore.Dir / "registry.sqlite", LEngine, Entry("22.0"), IDEDir(),
                               DownloadDir(), AStep);
    };
#endif
    for (;; ++LStep) {
        SCOPED_TRACE("killed after change " + std::to_string(LStep));
        if (LKilledAt(LStep)) {
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

// The record's "Manifest" value and the manifest it names can be written by any
// process of the user. Named outside the manifests folder, the file is never
// read or removed; a manifest naming files, sources, folders and keys outside
// the installation steers no repair, uninstallation or removal of files there.
TEST_F(TransactionTest, APlantedManifestOrRecordValueLeavesEverythingOutsideAlone) {
    const fs::path LUser = FTemp / "user";
    const std::map<fs::path, std::string> LUsersFiles{
        {LUser / "notes.txt", "the user's notes"},
        {LUser / "evil-source", "evil bytes"},
        {LUser / "victim.manifest", "the user's file with a manifest's name"},
        {LUser / "project" / "main.pas", "program Main;"}};
    for (const auto& [LFile, LBytes] : LUsersFiles) {
        WriteFileText(LFile, LBytes);
    }
    const std::string LRecordKey = "SOFTWARE\\Embarcadero\\Orvane\\22.0";
    const std::string LRun = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::string LBpl = N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl");
    const auto LOutsideUntouched = [&] {
        for (const auto& [LFile, LBytes] : LUsersFiles) {
            EXPECT_EQ(ReadFileText(LFile), LBytes) << LFile;
        }
        EXPECT_FALSE(FStore->KeyExists(LRun));
    };

    // A record value naming a file outside the manifests folder.
    {
        ASSERT_TRUE(Engine(*FStore).InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
        ASSERT_TRUE(FStore->SetValue(
            LRecordKey, Text(orvane::KManifestValue, DirText(LUser) + "victim.manifest")));
        ASSERT_TRUE(Engine(*FStore).InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
        ASSERT_TRUE(FStore->SetValue(
            LRecordKey, Text(orvane::KManifestValue, DirText(LUser) + "victim.manifest")));
        auto LEngine = Engine(*FStore);
        LEngine.UninstallVersion("22.0", true);
        LOutsideUntouched();
        EXPECT_THAT(FHost->Lines,
                    testing::Contains(testing::HasSubstr("which is not a manifest in")));
    }

    // A manifest in the right place, written by someone else.
    ASSERT_TRUE(Engine(*FStore).InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    fs::path LManifestFile;
    ASSERT_TRUE(
        orvane::ReadRecordManifest(*FStore, "22.0", FTemp / "data" / "Manifests", &LManifestFile));
    orvane::TInstallManifest LPlanted;
    LPlanted.IDEVersion = "22.0";
    LPlanted.VersionDir = DirText(LUser / "project");
    LPlanted.PackagePath = DirText(LUser) + "a.zip";
    const std::string LNotes = orvane::Utf8FromPath(LUser / "notes.txt");
    const std::string LEvil = orvane::Utf8FromPath(LUser / "evil-source");
    LPlanted.Files = {
        {LNotes, 16, orvane::Sha256OfFile(LNotes), "zip", "Win32/Release/Orvane_Core.bpl"},
        {LBpl, 10, orvane::Sha256OfFile(LEvil), "file", LEvil},
        {N(CommonDir("22.0") + "Bpl/../../../user/notes.txt"), 16, orvane::Sha256OfFile(LNotes),
         "zip", "../../user/notes.txt"}};
    LPlanted.Values = {{LRun, "evil", "", "evil.exe"}};
    fs::remove(LManifestFile);
    WriteFileText(LManifestFile, LPlanted.Text());
    fs::remove(LBpl);

    auto LEngine = Engine(*FStore);
    const orvane::TVerifyReport LFound = LEngine.Verify({"22.0"});
    std::vector<std::string> LUnverifiable;
    for (const orvane::TVerifyProblem& LProblem : LFound.Problems) {
        if (LProblem.Kind == orvane::TVerifyProblem::vkUnverifiable) {
            LUnverifiable.push_back(LProblem.Text);
        }
    }
    // The folder, the package, two files, a source and the key.
    EXPECT_EQ(LUnverifiable.size(), 6u) << testing::PrintToString(LUnverifiable);
    LEngine.Repair({"22.0"}, true);
    LOutsideUntouched();
    EXPECT_FALSE(fs::exists(LBpl)) << "restored from a source that is not the installer's";

    LEngine.UninstallVersion("22.0", true);
    LOutsideUntouched();
    EXPECT_TRUE(fs::is_directory(LUser / "project"));
    EXPECT_EQ(JournalCount(), 0u);
}

// A rollback that cannot finish (its kept copy out of reach) blocks that
// version: no install, uninstall or repair mixes with what it left, verify
// says so, and other versions go on. Once the copy is back, the next start
// finishes the rollback and the version installs whole.
TEST_F(TransactionTest, AStuckRollbackBlocksItsVersionUntilItIsFinished) {
    PutUsersOwnBpl();
    const std::string LBpl = N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl");
    const std::string LUsers = ReadFileText(LBpl);
    fs::path LKept;
    {
        orvane::TInstallJournal LJournal = orvane::TInstallJournal::Begin(FTemp / "data", "22.0");
        LJournal.FileWillBeWritten(orvane::PathFromUtf8(LBpl));
        WriteFileText(LBpl, "half an installation");
        LKept = LJournal.Folder() / "kept-1";
    }
    fs::rename(LKept, FTemp / "kept-away");
    fs::create_directories(LKept);

    auto LEngine = Engine(*FStore);
    const std::vector<std::string> LReports = LEngine.RecoverUnfinished();
    ASSERT_EQ(LReports.size(), 1u);
    EXPECT_THAT(LReports[0], HasSubstr("22.0 could not be rolled back completely"));
    const std::string LBlocked = "An earlier change of 22.0 could not be rolled back completely";

    EXPECT_FALSE(LEngine.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    EXPECT_THAT(LEngine.LastLogLine(), HasSubstr(LBlocked));
    EXPECT_EQ(ReadFileText(LBpl), "half an installation");
    const orvane::TVerifyReport LReport = LEngine.Verify({"22.0"});
    ASSERT_EQ(LReport.Problems.size(), 1u);
    EXPECT_THAT(LReport.Problems[0].Text, HasSubstr(LBlocked));
    EXPECT_THROW(LEngine.UninstallVersion("22.0"), std::runtime_error);
    EXPECT_THAT(LEngine.Repair({"22.0"}, true).Problems, testing::SizeIs(1));
    EXPECT_TRUE(LEngine.InstallPackage(&Entry("23.0"), IDEDir(), DownloadDir()));
    EXPECT_EQ(JournalCount(), 1u);

    fs::remove(LKept);
    fs::rename(FTemp / "kept-away", LKept);
    auto LNextStart = Engine(*FStore);
    ASSERT_THAT(LNextStart.RecoverUnfinished(),
                testing::ElementsAre(HasSubstr("22.0 was rolled back")));
    EXPECT_EQ(ReadFileText(LBpl), LUsers);
    EXPECT_EQ(JournalCount(), 0u);
    EXPECT_TRUE(LNextStart.InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    EXPECT_TRUE(LNextStart.Verify({}).Problems.empty());
}

// The package in the download folder is checked and used through one opening:
// another process that swaps the file under its name (a rename loop, as a
// local user of a shared download folder could run) never gets its bytes
// installed, however the swaps fall.
TEST_F(TransactionTest, APackageSwappedUnderItsNameIsNeverInstalled) {
    const fs::path LZip = FDownloads / "a.zip";
    const fs::path LEvil = FDownloads / "evil.zip";
    const fs::path LAside = FDownloads / "aside.zip";
    WriteTestZip(LEvil, {{"Win32/Release/Orvane_Core.bpl", "evil32"},
                         {"Win32/Release/Orvane_Core.dcp", "evil"},
                         {"Win64/Release/Orvane_Core.bpl", "evil64"},
                         {"Win32/Release/Orvane.dll", "evil"}});
    rapidjson::Document LEntry;
    LEntry.Parse<orvane::KAnswerParseFlags>(
        (EntryText("22.0").substr(0, EntryText("22.0").rfind('}')) + R"(, "sha256": ")" +
         orvane::Sha256OfFile(LZip) + "\"}")
            .c_str());
    ASSERT_TRUE(LEntry.IsObject());
    const std::string LBpl = N(CommonDir("22.0") + "Bpl/Orvane_Core.bpl");
    const std::string LGood = ReadFileText(LZip);
    std::atomic<bool> LStop{false};
    std::thread LSwapper([&] {
        std::error_code LIgnored;
        while (!LStop) {
            fs::rename(LZip, LAside, LIgnored);
            fs::rename(LEvil, LZip, LIgnored);
            std::this_thread::yield();
            fs::rename(LZip, LEvil, LIgnored);
            fs::rename(LAside, LZip, LIgnored);
            // A busy machine stops the swapper at its yields: in either state.
            std::this_thread::yield();
        }
    });
    // Tried until a few installations went through while the swaps ran (a
    // busy machine lets the swapper win many tries in a row).
    int LInstalled = 0;
    for (int LTry = 0; LTry < 400 && (LTry < 40 || LInstalled < 3); ++LTry) {
        auto LEngine = Engine(*FStore);
        bool LDone = false;
        try {
            LDone = LEngine.InstallPackage(&LEntry, IDEDir(), DownloadDir());
        } catch (const std::exception&) {
            // A name found missing mid-swap fails the try; that is all it may do.
        }
        if (LDone) {
            ++LInstalled;
            EXPECT_EQ(ReadFileText(LBpl), "core32") << "try " << LTry;
        }
        if (fs::exists(LBpl)) {
            EXPECT_NE(ReadFileText(LBpl), "evil32") << "try " << LTry;
        }
    }
    LStop = true;
    LSwapper.join();
    // The loop is no excuse for never installing.
    EXPECT_GT(LInstalled, 0);
    // Windows refuses renames of the file while it is held, so the swaps may
    // have stopped halfway: the package is put back before the last install.
    fs::remove(LZip);
    WriteFileText(LZip, LGood);
    EXPECT_TRUE(Engine(*FStore).InstallPackage(&LEntry, IDEDir(), DownloadDir()));
    EXPECT_EQ(ReadFileText(LBpl), "core32");
}

// The extracted folder the search paths point into is part of the
// installation: verify says it is gone, and repair brings it back from the
// package zip while that still has its SHA-256.
TEST_F(TransactionTest, AMissingPackageFolderIsFoundAndRestoredFromTheZip) {
    ASSERT_TRUE(Engine(*FStore).InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    const fs::path LFolder = FDownloads / "22.0";
    const std::string LExtracted = ReadFileText(LFolder / "Win32" / "Release" / "Orvane_Core.bpl");
    fs::remove_all(LFolder);

    auto LEngine = Engine(*FStore);
    const orvane::TVerifyReport LFound = LEngine.Verify({"22.0"});
    ASSERT_EQ(LFound.Problems.size(), 1u);
    EXPECT_EQ(LFound.Problems[0].Kind, orvane::TVerifyProblem::vkFolderMissing);
    EXPECT_THAT(LFound.Problems[0].Text, HasSubstr("missing package folder"));

    EXPECT_TRUE(LEngine.Repair({"22.0"}, false).Problems.empty());
    EXPECT_EQ(ReadFileText(LFolder / "Win32" / "Release" / "Orvane_Core.bpl"), LExtracted);

    // Without a matching zip nothing is made up: the problem stays.
    fs::remove_all(LFolder);
    WriteFileText(FDownloads / "a.zip", "not the package any more");
    const orvane::TVerifyReport LStill = LEngine.Repair({"22.0"}, false);
    ASSERT_EQ(LStill.Problems.size(), 1u);
    EXPECT_EQ(LStill.Problems[0].Kind, orvane::TVerifyProblem::vkFolderMissing);
    EXPECT_FALSE(fs::exists(LFolder));
}

// The window and the console program need not live in one folder: an
// installation made by one verifies whole from the other, and a repair takes
// the SSL libraries from the installer that runs it.
TEST_F(TransactionTest, AnotherInstallersFolderIsNoProblemForVerifyOrRepair) {
    ASSERT_TRUE(Engine(*FStore).InstallPackage(&Entry("22.0"), IDEDir(), DownloadDir()));
    WriteFileText(FTemp / "console" / "libeay32.dll", "libeay");
    WriteFileText(FTemp / "console" / "ssleay32.dll", "ssleay");
    orvane::TInstallSettings LSettings = SettingsIn(FTemp.Path(), {});
    LSettings.ExeDir = DirText(FTemp / "console");
    orvane::TInstallEngine LConsole(AnsweringHost(), *FStore, LSettings);
    EXPECT_THAT(LConsole.Verify({"22.0"}).Problems, testing::IsEmpty());

    const std::string LLibrary = N(IDEDir() + "22.0/bin/libeay32.dll");
    fs::remove(LLibrary);
    EXPECT_THAT(LConsole.Repair({"22.0"}, false).Problems, testing::IsEmpty());
    EXPECT_EQ(ReadFileText(LLibrary), "libeay");
}

} // namespace
