// Bundles through the console program in-process: made from the local API
// server, installed from a folder with no server running and from a plain
// static web server, against a SQLite registry store in a temp folder.
#include "CliTestSupport.h"

#include "cli/Commands.h"
#include "install/FileOperations.h"
#include "install/TestZip.h"
#include "platform/ProcessLock.h"
#include "registry/ProductRecords.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "server/Bundle.h"
#include "server/DownloadResume.h"
#include "server/Protocol.h"
#include "server/Sha256.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/PythonService.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace orvane;
using namespace orvane::cli;
using testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

using TRun = TCliRun;

class BundleCommandsTest : public testing::Test {
protected:
    BundleCommandsTest() {
        FPause = RetryPauseBase();
        SetRetryPauseBase(std::chrono::milliseconds(10));

        // Two IDE versions with their common folders, the SSL libraries beside
        // the program.
        for (const char* LVersion : {"22.0", "23.0"}) {
            const std::string LKey =
                std::string("SOFTWARE\\Embarcadero\\BDS\\") + LVersion + "\\Environment Variables";
            EXPECT_TRUE(FSetup.Store->CreateKey(LKey));
            EXPECT_TRUE(
                FSetup.Store->SetValue(LKey, {"BDSCatalogRepositoryAllUsers", rtSz,
                                              ToUtf16Le(Common(LVersion) + "Catalog", true)}));
        }
        WriteFileText(FTemp.Path() / "libeay32.dll", "libeay");
        WriteFileText(FTemp.Path() / "ssleay32.dll", "ssleay");

        FServer = std::make_unique<TLocalApiServer>();
        FSetup.ApiUrl = FServer->BaseUrl();
        for (const char* LVersion : {"22.0", "23.0"}) {
            const fs::path LZip = FTemp.Path() / (std::string("made-") + LVersion + ".zip");
            WriteTestZip(LZip, {{"Win32/Release/Orvane_Core.bpl", std::string("core ") + LVersion},
                                {"Win32/Release/Orvane_Core.dcp", "dcp"},
                                {"Docs/Padding.bin", std::string(300 * 1024, 'p')}});
            FZips[LVersion] = ReadFileText(LZip);
        }
        // "latest" is asked for as it is; the bundle names it by its versions.
        FServer->WriteFile("latest", FZips["22.0"]);
        FServer->WriteFile("Orvane_23.0_1.4.2.zip", FZips["23.0"]);
        // 23.0 names its digest; 22.0 does not, so the bundle computes it.
        FConfig = R"({"url": "file/", "ide": [
            {"name": "Orvane for 23.0", "version": "23.0", "file": "Orvane_23.0_1.4.2.zip",
             "platforms": "Win32", "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp",
             "sha256": ")" +
                  Digest(FZips["23.0"]) +
                  R"("},
            {"name": "Orvane for 22.0", "version": "22.0", "file": "latest",
             "file_version": "1.4.2", "platforms": "Win32", "bpls": "Orvane_Core.bpl",
             "dcps": "Orvane_Core.dcp"},
            {"name": "Retired", "version": "21.0", "file": ""}
        ]})";
        FServer->WriteConfig("dev", FConfig);
    }
    ~BundleCommandsTest() override { SetRetryPauseBase(FPause); }

    static std::string Digest(const std::string& ABytes) {
        auto LHasher = NewSha256Hasher();
        LHasher->Update(ABytes.data(), ABytes.size());
        return LHasher->HexDigest();
    }
    std::string Common(const std::string& AVersion) const {
        return DirText(FTemp.Path() / "common" / AVersion);
    }
    std::string Bundle() const { return DirText(FTemp.Path() / "bundle"); }

    TRun Run(const std::vector<std::string>& AArgs, bool ATerminal = false) {
        return RunCliWith(AArgs, FSetup, "", ATerminal);
    }
    TRun MakeBundle(const std::string& AVersions = "", bool ATerminal = false) {
        std::vector<std::string> LArgs = {"download", "--edition", "developer", "--to", Bundle()};
        if (AVersions.empty()) {
            LArgs.push_back("--all");
        } else {
            LArgs.insert(LArgs.end(), {"--versions", AVersions});
        }
        return Run(LArgs, ATerminal);
    }
    TRun InstallFrom(const std::string& ALocation, const std::string& ARun) {
        // The IDE's version folders are there, as on a machine with the IDE.
        for (const char* LVersion : {"22.0", "23.0"}) {
            std::filesystem::create_directories(FTemp.Path() / ARun / "ide" / LVersion);
        }
        return Run({"install", "--from", ALocation, "--accept-terms", "--all", "--ide-dir",
                    DirText(FTemp.Path() / ARun / "ide"), "--download-dir",
                    DirText(FTemp.Path() / ARun / "downloads"), "--getit", "keep", "--ide-running",
                    "stop", "--installed", "reinstall"});
    }

    TTempDir FTemp;
    TCliSetup FSetup = TempCliSetup(FTemp.Path());
    std::unique_ptr<TLocalApiServer> FServer;
    std::map<std::string, std::string> FZips;
    std::string FConfig;
    std::chrono::milliseconds FPause{};
};

// Made once (a transfer cut at half finishes with the rest), made again
// without downloading anything, then installed with the server gone.
TEST_F(BundleCommandsTest, BundleMadeOnceInstallsWithNoServerRunning) {
    FServer->SetFault("half", "/file/Orvane_23.0_1.4.2.zip");
    const TRun LMade = MakeBundle();
    ASSERT_EQ(LMade.Code, ecDone) << LMade.Err;
    EXPECT_THAT(LMade.Out, HasSubstr("broke off after"));

    EXPECT_EQ(ReadFileText(Bundle() + KBundleConfigurationName), FConfig);
    const TBundle LBundle = ParseBundle(ReadFileText(Bundle() + KBundleFileName));
    EXPECT_EQ(LBundle.Edition, imDeveloper);
    EXPECT_THAT(LBundle.Created, testing::MatchesRegex("20[0-9-]+T[0-9:]+Z"));
    ASSERT_EQ(LBundle.Packages.size(), 2u);
    for (const auto& [LVersion, LFile, LFromServer] :
         {std::tuple{"23.0", "Orvane_23.0_1.4.2.zip", true},
          std::tuple{"22.0", "Orvane_22.0_1.4.2.zip", false}}) {
        const TBundlePackage* LPackage = LBundle.Find(LFile);
        ASSERT_NE(LPackage, nullptr) << LFile;
        EXPECT_EQ(LPackage->IDEVersion, LVersion);
        EXPECT_EQ(LPackage->Size, FZips[LVersion].size());
        EXPECT_EQ(LPackage->Sha256, Digest(FZips[LVersion]));
        EXPECT_EQ(LPackage->Sha256FromServer, LFromServer) << LFile;
        EXPECT_EQ(ReadFileText(Bundle() + LFile), FZips[LVersion]);
    }
    // The cut package came as its two halves, not once and then again.
    const std::vector<std::string> LRequests = FServer->Requests();
    EXPECT_EQ(std::count_if(LRequests.begin(), LRequests.end(),
                            [](const std::string& A) {
                                return A.rfind("/file/Orvane_23.0_1.4.2.zip", 0) == 0;
                            }),
              2);
    // Nothing secret: no token the server issued is in any file of the bundle.
    for (const std::string& LRequest : LRequests) {
        const auto LAt = LRequest.find("token=");
        if (LAt == std::string::npos) {
            continue;
        }
        const std::string LToken = LRequest.substr(LAt + 6);
        ASSERT_FALSE(LToken.empty());
        for (const auto& LFile : fs::directory_iterator(Bundle())) {
            EXPECT_THAT(ReadFileText(LFile.path()), testing::Not(HasSubstr(LToken)))
                << LFile.path();
        }
    }

    FServer->Clear();
    // Made again, as one JSON document: nothing is downloaded.
    const TRun LAgain =
        Run({"download", "--edition", "developer", "--all", "--to", Bundle(), "--json"});
    EXPECT_EQ(LAgain.Code, ecDone) << LAgain.Err;
    EXPECT_THAT(LAgain.Err,
                HasSubstr("Orvane_22.0_1.4.2.zip is complete (size and SHA-256 match)"));
    rapidjson::Document LJson;
    LJson.Parse(LAgain.Out.c_str());
    ASSERT_FALSE(LJson.HasParseError()) << LAgain.Out;
    EXPECT_STREQ(LJson["command"].GetString(), "download");
    EXPECT_EQ(LJson["bundle"].GetString(), Bundle());
    ASSERT_EQ(LJson["packages"].Size(), 2u);
    for (const auto& LItem : LJson["packages"].GetArray()) {
        EXPECT_STREQ(LItem["outcome"].GetString(), "skipped");
        const std::string LVersion = LItem["ide_version"].GetString();
        EXPECT_EQ(LItem["sha256"].GetString(), Digest(FZips[LVersion]));
        EXPECT_EQ(LItem["size"].GetUint64(), FZips[LVersion].size());
        EXPECT_STREQ(LItem["sha256_source"].GetString(),
                     LVersion == "23.0" ? "server" : "computed");
    }
    EXPECT_THAT(FServer->FileRequests(), testing::Not(testing::Contains(HasSubstr("/file/"))));
    EXPECT_EQ(ParseBundle(ReadFileText(Bundle() + KBundleFileName)).Packages.size(), 2u);

    FServer.reset();
    const TRun LListed = Run({"list", "--from", Bundle()});
    EXPECT_EQ(LListed.Code, ecDone) << LListed.Err;
    EXPECT_EQ(LListed.Out, "23.0\tOrvane for 23.0\t1.4.2\n"
                           "22.0\tOrvane for 22.0\t1.4.2\n"
                           "21.0\tRetired\t0.0.0.0\t(not available)\n");
    const TRun LInstalled = InstallFrom(Bundle(), "folder");
    ASSERT_EQ(LInstalled.Code, ecDone) << LInstalled.Err;
    for (const char* LVersion : {"22.0", "23.0"}) {
        EXPECT_EQ(ReadFileText(Common(LVersion) + "Bpl/Orvane_Core.bpl"),
                  std::string("core ") + LVersion);
        TOrvaneRegistryData LRecord;
        ASSERT_TRUE(ReadRegistryData(*FSetup.Store, LVersion, LRecord));
        EXPECT_EQ(LRecord.License, "DEVELOPER");
        EXPECT_EQ(LRecord.Version, "1.4.2");
        EXPECT_THAT(ReadRecordBundle(*FSetup.Store, LVersion),
                    HasSubstr("the bundle " + Bundle() + " (developer edition, made "));
    }
    EXPECT_THAT(ReadFileText(FTemp.Path() / "install.log"),
                HasSubstr("> Installing from the bundle " + Bundle()));
}

// Ctrl-C during a download: exit 130, what arrived stays beside its side
// file; the next run continues it and the bundle is whole.
TEST_F(BundleCommandsTest, InterruptedDownloadIsContinuedByTheNextRun) {
    std::string LBig(3 * 1024 * 1024, '\0');
    unsigned LSeed = 11;
    for (char& LByte : LBig) {
        LSeed = LSeed * 1103515245u + 12345u;
        LByte = static_cast<char>(LSeed >> 16);
    }
    FServer->WriteFile("Orvane_23.0_1.4.2.zip", LBig);
    FServer->WriteConfig("dev", R"({"url": "file/", "ide": [{"name": "Orvane", "version": "23.0",
        "file": "Orvane_23.0_1.4.2.zip"}]})");
    FServer->SetFault("slow", "/file/", 1, 200, 20);
    std::thread LInterrupt([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        *FSetup.Interrupted = true;
    });
    const TRun LStopped = MakeBundle();
    LInterrupt.join();
    EXPECT_EQ(LStopped.Code, ecStopped) << LStopped.Err;
    const std::string LZip = Bundle() + "Orvane_23.0_1.4.2.zip";
    const std::optional<TResumeState> LKept = ReadResumeState(ResumeStateFileName(LZip));
    ASSERT_TRUE(LKept);
    ASSERT_GT(LKept->Size, 0);
    EXPECT_EQ(ReadFileText(LZip + ".part"), LBig.substr(0, static_cast<std::size_t>(LKept->Size)));
    EXPECT_FALSE(fs::exists(LZip));
    EXPECT_TRUE(ParseBundle(ReadFileText(Bundle() + KBundleFileName)).Packages.empty());

    *FSetup.Interrupted = false;
    const TRun LAgain = MakeBundle();
    ASSERT_EQ(LAgain.Code, ecDone) << LAgain.Err;
    EXPECT_THAT(LAgain.Out, HasSubstr("Resuming the download of \"Orvane_23.0_1.4.2.zip\" at " +
                                      std::to_string(LKept->Size) + " bytes"));
    EXPECT_EQ(ReadFileText(LZip), LBig);
    EXPECT_FALSE(fs::exists(LZip + ".part"));
    EXPECT_FALSE(fs::exists(ResumeStateFileName(LZip)));
    const TBundle LBundle = ParseBundle(ReadFileText(Bundle() + KBundleFileName));
    ASSERT_EQ(LBundle.Packages.size(), 1u);
    EXPECT_EQ(LBundle.Packages[0].Sha256, Digest(LBig));
    EXPECT_FALSE(LBundle.Packages[0].Sha256FromServer);
}

// One byte changed in a zip of the bundle: that version fails with nothing
// changed; the other installs.
TEST_F(BundleCommandsTest, TamperedZipIsRefused) {
    // On a terminal the download's progress is one line drawn over itself.
    const TRun LMade = MakeBundle("", true);
    ASSERT_EQ(LMade.Code, ecDone) << LMade.Err;
    EXPECT_THAT(LMade.Out, HasSubstr("\rDownloading Orvane_23.0_1.4.2.zip: "));
    EXPECT_THAT(LMade.Out, testing::Not(HasSubstr("Downloading \"Orvane_23.0_1.4.2.zip\" ...")));
    std::string LZip = ReadFileText(Bundle() + "Orvane_23.0_1.4.2.zip");
    LZip[LZip.size() / 2] ^= 0x01;
    WriteFileText(Bundle() + "Orvane_23.0_1.4.2.zip", LZip);
    FServer.reset();

    const TRun LRun = InstallFrom(Bundle(), "tampered");

    EXPECT_EQ(LRun.Code, ecSomeFailed);
    EXPECT_THAT(LRun.Err, HasSubstr("23.0 1.4.2: failed ("));
    EXPECT_THAT(LRun.Out, HasSubstr("SHA-256 mismatch for \"Orvane_23.0_1.4.2.zip\""));
    TOrvaneRegistryData LRecord;
    EXPECT_FALSE(ReadRegistryData(*FSetup.Store, "23.0", LRecord));
    EXPECT_FALSE(fs::exists(Common("23.0") + "Bpl"));
    EXPECT_FALSE(fs::exists(FTemp.Path() / "tampered" / "downloads" / "Orvane_23.0_1.4.2.zip"));
    EXPECT_FALSE(fs::exists(FTemp.Path() / "tampered" / "downloads" / "23.0"));
    EXPECT_TRUE(ReadRegistryData(*FSetup.Store, "22.0", LRecord));
}

// A bundle holds no more than it says: a zip grown past the size its index
// gives is stopped at that size, not read whole before its digest refuses it.
// The index is written through a part file of its own: a link planted under
// that name is removed, never written through.
TEST_F(BundleCommandsTest, ABundleIsTakenNoFurtherThanItsIndexSays) {
    ASSERT_EQ(MakeBundle().Code, ecDone);
    const fs::path LVictim = FTemp.Path() / "victim.txt";
    WriteFileText(LVictim, "the user's file");
#ifndef _WIN32
    fs::create_symlink(LVictim, Bundle() + "orvane-bundle.json.part");
    fs::create_symlink(LVictim, Bundle() + "orvane-configuration.json.part");
    ASSERT_EQ(MakeBundle().Code, ecDone);
    EXPECT_EQ(ReadFileText(LVictim), "the user's file");
    EXPECT_FALSE(fs::exists(fs::symlink_status(Bundle() + "orvane-bundle.json.part")));
#endif
    std::string LZip = ReadFileText(Bundle() + "Orvane_23.0_1.4.2.zip");
    WriteFileText(Bundle() + "Orvane_23.0_1.4.2.zip", LZip + std::string(1 << 20, 'x'));
    FServer.reset();

    const TRun LRun = InstallFrom(Bundle(), "grown");

    EXPECT_EQ(LRun.Code, ecSomeFailed);
    EXPECT_THAT(LRun.Out + LRun.Err, HasSubstr("the size the bundle gives for it"));
    TOrvaneRegistryData LRecord;
    EXPECT_FALSE(ReadRegistryData(*FSetup.Store, "23.0", LRecord));
    EXPECT_TRUE(ReadRegistryData(*FSetup.Store, "22.0", LRecord));
}

// A bundle says whether it is whole. A package that fails keeps the earlier
// complete zip and its entry (the server republished it, its new file is not
// to be had); a version never fetched is listed as missing, shown so by list,
// and fails an install that asks for it.
TEST_F(BundleCommandsTest, ABundleSaysWhetherItIsWhole) {
    ASSERT_EQ(MakeBundle().Code, ecDone);
    TBundle LWhole = ParseBundle(ReadFileText(Bundle() + KBundleFileName));
    EXPECT_THAT(LWhole.Offered, testing::ElementsAre("23.0", "22.0"));
    EXPECT_TRUE(LWhole.Complete());
    EXPECT_THAT(ReadFileText(Bundle() + KBundleFileName), HasSubstr("\"complete\":true"));

    // Republished, and its new file cannot be had.
    const std::string LNewZip = FZips["23.0"] + std::string(16, 'n');
    FServer->WriteFile("Orvane_23.0_1.4.2.zip", LNewZip);
    std::string LConfig = FConfig;
    LConfig.replace(LConfig.find(Digest(FZips["23.0"])), 64, Digest(LNewZip));
    FServer->WriteConfig("dev", LConfig);
    FServer->SetFault("status", "/file/Orvane_23.0", -1, 500);
    EXPECT_EQ(MakeBundle().Code, ecSomeFailed);
    EXPECT_EQ(ReadFileText(Bundle() + "Orvane_23.0_1.4.2.zip"), FZips["23.0"]);
    const TBundle LKept = ParseBundle(ReadFileText(Bundle() + KBundleFileName));
    ASSERT_NE(LKept.ForVersion("23.0"), nullptr);
    EXPECT_EQ(LKept.ForVersion("23.0")->Sha256, Digest(FZips["23.0"]));
    // A zip changed since it was listed is listed no more while no new one comes.
    WriteFileText(Bundle() + "Orvane_23.0_1.4.2.zip", "changed since");
    EXPECT_EQ(MakeBundle().Code, ecSomeFailed);
    const TBundle LChanged = ParseBundle(ReadFileText(Bundle() + KBundleFileName));
    EXPECT_EQ(LChanged.ForVersion("23.0"), nullptr);
    EXPECT_THAT(LChanged.Missing, testing::ElementsAre("23.0"));

    // A fresh folder where 22.0's package fails: not whole, and said so.
    FServer->Clear();
    FServer->SetFault("status", "/file/latest", -1, 500);
    const std::string LPartial = DirText(FTemp.Path() / "partial");
    EXPECT_EQ(Run({"download", "--edition", "developer", "--to", LPartial, "--all"}).Code,
              ecSomeFailed);
    const TBundle LNotWhole = ParseBundle(ReadFileText(LPartial + KBundleFileName));
    EXPECT_FALSE(LNotWhole.Complete());
    EXPECT_THAT(LNotWhole.Missing, testing::ElementsAre("22.0"));
    FServer.reset();
    const TRun LListed = Run({"list", "--from", LPartial});
    EXPECT_EQ(LListed.Code, ecDone);
    EXPECT_THAT(LListed.Out, HasSubstr("22.0\tOrvane for 22.0\t1.4.2\t(missing from the bundle)"));
    const TRun LInstalled = InstallFrom(LPartial, "partial-run");
    EXPECT_EQ(LInstalled.Code, ecSomeFailed);
    EXPECT_THAT(LInstalled.Err, HasSubstr("22.0 1.4.2: failed (<ERROR> The bundle " + LPartial +
                                          " holds no package"));
    TOrvaneRegistryData LRecord;
    EXPECT_FALSE(ReadRegistryData(*FSetup.Store, "22.0", LRecord));
    EXPECT_TRUE(ReadRegistryData(*FSetup.Store, "23.0", LRecord));
}

#ifndef _WIN32
// A pipe put where a bundle's index or configuration belongs is refused at
// once, not waited on until a signal.
TEST_F(BundleCommandsTest, APipeInABundlesPlaceIsRefusedAtOnce) {
    for (const char* LName : {KBundleFileName, KBundleConfigurationName}) {
        SCOPED_TRACE(LName);
        const fs::path LDir = FTemp.Path() / ("piped-" + std::string(LName));
        ASSERT_EQ(MakeBundle().Code, ecDone);
        fs::create_directories(LDir);
        for (const auto& LFile : fs::directory_iterator(Bundle())) {
            if (LFile.path().filename() != LName) {
                fs::copy_file(LFile.path(), LDir / LFile.path().filename());
            }
        }
        ASSERT_EQ(::mkfifo((LDir / LName).c_str(), 0600), 0);
        const TRun LListed = Run({"list", "--from", DirText(LDir)});
        EXPECT_EQ(LListed.Code, ecRefused);
        EXPECT_THAT(LListed.Err, HasSubstr("is not a plain file"));
    }
}
#endif

// A bundle's names are as untrusted as the server's: nothing is read or
// written for a bundle whose file names could leave its folder.
TEST_F(BundleCommandsTest, BundleWithUnusableNamesIsRefused) {
    ASSERT_EQ(MakeBundle("23.0").Code, ecDone);
    FServer.reset();
    const std::string LSha(64, 'a');
    const auto LPackage = [&LSha](const std::string& AVersion, const std::string& AFile) {
        return R"({"format": 1, "edition": "developer", "created": "2026-12-11T00:00:00Z",
            "packages": [{"version": ")" +
               AVersion + R"(", "file": ")" + AFile + R"(", "size": 10, "sha256": ")" + LSha +
               R"("}]})";
    };
    const struct {
        const char* Label;
        std::string Text;
        const char* Message;
    } KCases[] = {
        {"file above the folder", LPackage("23.0", "../escape.zip"), "cannot be a file name"},
        {"file with a Windows separator", LPackage("23.0", "..\\\\escape.zip"),
         "cannot be a file name"},
        {"device name", LPackage("23.0", "CON.zip"), "cannot be a file name"},
        {"version that is a path", LPackage("../23.0", "a.zip"), "names no IDE version"},
        {"another format", R"({"format": 2, "edition": "developer"})", "format 1 expected"},
        {"not JSON", "<html></html>", "is not a JSON object"},
    };
    for (const auto& C : KCases) {
        WriteFileText(Bundle() + KBundleFileName, C.Text);
        const TRun LRun = InstallFrom(Bundle(), "hostile");
        EXPECT_EQ(LRun.Code, ecRefused) << C.Label;
        EXPECT_THAT(LRun.Err, HasSubstr(C.Message)) << C.Label;
    }
    EXPECT_FALSE(fs::exists(FTemp.Path() / "escape.zip"));
    EXPECT_FALSE(fs::exists(FTemp.Path() / "hostile" / "downloads"));
    EXPECT_THAT(ReadInstalledVersions(*FSetup.Store), testing::IsEmpty());
}

// The bundle copied to a plain static web server (no ranges, no sign-in):
// installs from its address; the edition is the bundle's.
TEST_F(BundleCommandsTest, MirrorOnAStaticWebServer) {
    ASSERT_EQ(MakeBundle("23.0").Code, ecDone);
    FServer.reset();
    const fs::path LSite = FTemp.Path() / "site";
    fs::create_directories(LSite / "orvane");
    for (const auto& LFile : fs::directory_iterator(Bundle())) {
        fs::copy_file(LFile.path(), LSite / "orvane" / LFile.path().filename());
    }
    const TPythonService LMirror(TLocalApiServer::SourceDir() / "tests/support/static_server.py",
                                 {"--root", LSite.string()}, FTemp.Path() / "mirror.log");
    const std::string LUrl = "http://127.0.0.1:" + std::to_string(LMirror.Port()) + "/orvane";

    const TRun LWrongEdition = Run({"list", "--from", LUrl, "--edition", "commercial"});
    EXPECT_EQ(LWrongEdition.Code, ecRefused);
    EXPECT_THAT(LWrongEdition.Err, HasSubstr("holds the developer edition"));
    const TRun LNotThere = Run({"list", "--from", LUrl + "/missing"});
    EXPECT_EQ(LNotThere.Code, ecRefused);
    EXPECT_THAT(LNotThere.Err, HasSubstr("404"));

    // --all asks for both registered versions; the one the bundle lacks fails
    // naming it, never passes in silence.
    const TRun LRun = InstallFrom(LUrl, "mirror");
    EXPECT_EQ(LRun.Code, ecSomeFailed) << LRun.Err;
    EXPECT_THAT(LRun.Err, HasSubstr("23.0 1.4.2: installed"));
    EXPECT_THAT(LRun.Err, HasSubstr("22.0 1.4.2: failed (<ERROR> The bundle " + LUrl +
                                    " holds no package \"Orvane_22.0_1.4.2.zip\" for \"22.0\")"));
    EXPECT_EQ(ReadFileText(Common("23.0") + "Bpl/Orvane_Core.bpl"), "core 23.0");
    EXPECT_THAT(ReadRecordBundle(*FSetup.Store, "23.0"), HasSubstr("the bundle " + LUrl + " ("));
    TOrvaneRegistryData LRecord;
    EXPECT_FALSE(ReadRegistryData(*FSetup.Store, "22.0", LRecord))
        << "the bundle holds no 22.0 package";
    EXPECT_THAT(ReadFileText(FTemp.Path() / "mirror.log"),
                HasSubstr("GET /orvane/Orvane_23.0_1.4.2.zip"));
}

} // namespace
