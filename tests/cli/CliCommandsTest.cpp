// The console program's commands run in-process with buffers for its streams,
// against the local API server and a SQLite registry store in a temp folder.
#include "CliTestSupport.h"

#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "install/FileOperations.h"
#include "install/InstallJournal.h"
#include "install/TestZip.h"
#include "platform/ProcessLock.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "server/Sha256.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/LocalProxy.h"
#include "support/NetworkSettings.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <map>
#include <sstream>
#include <thread>

#include <unistd.h>

using namespace orvane;
using namespace orvane::cli;
using testing::HasSubstr;

namespace {

const char* const KConfig = R"({"url": "file/", "ide": [
    {"name": "Orvane for 23.0", "version": "23.0", "file": "Orvane_23.0_1.4.2.zip"},
    {"name": "Orvane for 22.0", "version": "22.0", "file": "o_22.zip", "file_version": "1.3.9"},
    {"name": "Retired\u001b[31m", "version": "21.0", "file": ""},
    {"name": "Nightly", "version": "23.0"}
]})";

using TRun = TCliRun;

class CliCommandsTest : public testing::Test {
protected:
    CliCommandsTest() : FSetup(TempCliSetup(FTemp.Path())) {}

    // An IDE version registered with its common folder in the temp folder, the
    // SSL libraries beside the "program", and a one-package entry per version
    // served by the local API server.
    void RegisterIde(const std::string& AVersion) {
        // The IDE's own folder, as an installed IDE has it.
        std::filesystem::create_directories(FTemp.Path() / "ide" / AVersion);
        const std::string LKey =
            "SOFTWARE\\Embarcadero\\BDS\\" + AVersion + "\\Environment Variables";
        ASSERT_TRUE(FSetup.Store->CreateKey(LKey));
        ASSERT_TRUE(FSetup.Store->SetValue(
            LKey, {"BDSCatalogRepositoryAllUsers", rtSz,
                   ToUtf16Le(DirText(FTemp.Path() / ("common" + AVersion)) + "Catalog", true)}));
    }
    void ServePackages(const std::vector<std::string>& AVersions) {
        WriteFileText(FTemp.Path() / "libeay32.dll", "libeay");
        WriteFileText(FTemp.Path() / "ssleay32.dll", "ssleay");
        WriteTestZip(FTemp.Path() / "made.zip", {{"Win32/Release/Orvane_Core.bpl", "core"},
                                                 {"Win32/Release/Orvane_Core.dcp", "dcp"}});
        std::string LConfig = R"({"ide": [)";
        for (const std::string& LVersion : AVersions) {
            Server().WriteFile("o_" + LVersion + ".zip", ReadFileText(FTemp.Path() / "made.zip"));
            LConfig += std::string(LConfig.back() == '[' ? "" : ",") +
                       R"({"name": "Orvane", "version": ")" + LVersion + R"(", "file": "o_)" +
                       LVersion + R"(.zip", "file_version": "1.4.2", "url": "file/",
                       "platforms": "Win32", "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp"})";
        }
        Server().WriteConfig("dev", LConfig + "]}");
    }
    std::vector<std::string> InstallArgs(const std::vector<std::string>& AMore) const {
        std::vector<std::string> LArgs = {"install",        "--edition",
                                          "developer",      "--accept-terms",
                                          "--ide-dir",      DirText(FTemp.Path() / "ide"),
                                          "--download-dir", DirText(FTemp.Path() / "downloads")};
        LArgs.insert(LArgs.end(), AMore.begin(), AMore.end());
        return LArgs;
    }
    std::vector<std::string> RecordedVersions() const {
        std::vector<std::string> LVersions;
        for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(*FSetup.Store)) {
            LVersions.push_back(LRecord.IDEVersion);
        }
        return LVersions;
    }

    TLocalApiServer& Server() {
        if (!FServer) {
            TLocalApiServer::TOptions LOptions;
            LOptions.AccountsJson =
                R"({"accounts": [{"user": "ana+ci@orvane.test", "password": "s3cret pass"}]})";
            FServer = std::make_unique<TLocalApiServer>(LOptions);
            FServer->WriteConfig("dev", KConfig);
            FServer->WriteConfig("com", KConfig);
            FSetup.ApiUrl = FServer->BaseUrl();
        }
        return *FServer;
    }

    // Version 23.0 of a package with one BPL and one DCP for Win32.
    void ServeOnePackage() {
        WriteTestZip(FTemp.Path() / "made.zip", {{"Win32/Release/Orvane_Core.bpl", "core"},
                                                 {"Win32/Release/Orvane_Core.dcp", "dcp"}});
        Server().WriteFile("o_1.zip", ReadFileText(FTemp.Path() / "made.zip"));
        Server().WriteConfig("dev", R"({"ide": [{"name": "Orvane", "version": "23.0",
            "file": "o_1.zip", "url": "file/", "platforms": "Win32", "bpls": "Orvane_Core.bpl",
            "dcps": "Orvane_Core.dcp"}]})");
    }

    TRun Run(const std::vector<std::string>& AArgs, const std::string& AInput = "",
             bool ATerminal = false) {
        return RunCliWith(AArgs, FSetup, AInput, ATerminal);
    }

    TTempDir FTemp;
    TCliSetup FSetup;
    std::unique_ptr<TLocalApiServer> FServer;
};

// A journal whose rollback could not finish is reported by status (and its
// JSON) and by recover, which retries it at its start: exit 1 while anything
// is left, 0 once it could be finished.
TEST_F(CliCommandsTest, StatusAndRecoverReportARollbackLeftUnfinished) {
    RegisterIde("22.0");
    WriteRegistryData(*FSetup.Store, {"22.0", "1.4.2", "2026-12-01 10:00:00", "DEVELOPER",
                                      "DEVELOPER", DirText(FTemp.Path() / "downloads" / "22.0")});
    const std::filesystem::path LBpl = FTemp.Path() / "common22.0" / "Bpl" / "Orvane_Core.bpl";
    WriteFileText(LBpl, "the user's own build");
    std::filesystem::path LKept;
    {
        TInstallJournal LJournal = TInstallJournal::Begin(FSetup.Store->DataFolder(), "22.0");
        LJournal.FileWillBeWritten(LBpl);
        WriteFileText(LBpl, "half an installation");
        LKept = LJournal.Folder() / "kept-1";
    }
    std::filesystem::rename(LKept, FTemp.Path() / "kept-away");
    std::filesystem::create_directories(LKept);

    const TRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Code, ecSomeFailed);
    EXPECT_THAT(LStatus.Out, HasSubstr("\t(interrupted)\n"));
    EXPECT_THAT(LStatus.Err, HasSubstr("22.0: an installation of it was interrupted"));
    const TRun LJson = Run({"status", "--json"});
    rapidjson::Document LDocument;
    LDocument.Parse(LJson.Out.c_str());
    ASSERT_TRUE(LDocument.IsObject()) << LJson.Out;
    EXPECT_TRUE(LDocument["installations"][0]["interrupted"].GetBool());

    const TRun LStuck = Run({"recover"});
    EXPECT_EQ(LStuck.Code, ecSomeFailed) << LStuck.Out << LStuck.Err;
    EXPECT_THAT(LStuck.Err, HasSubstr("22.0: could not be rolled back completely"));
    EXPECT_EQ(ReadFileText(LBpl), "half an installation");

    std::filesystem::remove(LKept);
    std::filesystem::rename(FTemp.Path() / "kept-away", LKept);
    const TRun LDone = Run({"recover"});
    EXPECT_EQ(LDone.Code, ecDone) << LDone.Err;
    EXPECT_THAT(LDone.Out, HasSubstr("Nothing is left to roll back"));
    EXPECT_EQ(ReadFileText(LBpl), "the user's own build");
    const TRun LWhole = Run({"status"});
    EXPECT_EQ(LWhole.Code, ecDone);
    EXPECT_THAT(LWhole.Out, testing::Not(HasSubstr("interrupted")));
}

struct TUsageCase {
    const char* Label;
    std::vector<std::string> Args;
    const char* Message;
};

// Every usage error exits with 2 before anything is asked or sent.
TEST_F(CliCommandsTest, UsageErrorsExitWithTwoAndSayWhatToChange) {
    const std::vector<TUsageCase> LCases = {
        {"no command", {}, "no command given"},
        {"unknown command", {"deploy"}, "unknown command \"deploy\""},
        {"unknown flag", {"status", "--verbose"}, "unknown option --verbose"},
        {"password argument",
         {"list", "--edition", "commercial", "--password", "x"},
         "never taken from the command line"},
        {"list without edition", {"list"}, "list needs --edition"},
        {"proxy without port",
         {"list", "--edition", "developer", "--proxy", "http://proxy.example"},
         "--proxy takes http://host:port, not \"http://proxy.example\""},
        {"proxy and no proxy",
         {"list", "--edition", "developer", "--proxy", "127.0.0.1:3128", "--no-proxy"},
         "give either --proxy or --no-proxy, not both"},
        {"proxy for a command without requests",
         {"status", "--no-proxy"},
         "status does not take --no-proxy"},
        {"bad edition", {"list", "--edition", "pro"}, "--edition takes developer or commercial"},
        {"developer with user",
         {"list", "--edition", "developer", "--user", "a@b"},
         "belong to --edition commercial"},
        {"install without versions",
         {"install", "--edition", "developer", "--accept-terms"},
         "--versions 23.0,22.0 or --all"},
        {"versions and all", {"uninstall", "--versions", "23.0", "--all"}, "not both"},
        {"version text", {"uninstall", "--versions", "23.0,latest"}, "\"latest\" is none"},
        {"flag of another command", {"status", "--all"}, "status does not take --all"},
        {"list takes no versions",
         {"list", "--edition=developer", "--versions=23.0"},
         "list does not take --versions"},
        {"missing value", {"install", "--edition"}, "--edition needs a value"},
        {"value on a switch", {"status", "--help=yes"}, "--help takes no value"},
        {"getit word", {"uninstall", "--all", "--getit", "yes"}, "--getit takes remove or keep"},
        {"ide-running word",
         {"uninstall", "--all", "--ide-running=ignore"},
         "--ide-running takes continue or stop"},
        {"second command", {"status", "list"}, "unexpected argument \"list\""},
        {"repeated flag",
         {"install", "--edition", "developer", "--installed", "skip", "--installed=reinstall"},
         "--installed is given twice"},
        {"repeated switch", {"status", "--json", "--json"}, "--json is given twice"},
        {"short flag", {"status", "-x"}, "unknown option -x"},
        {"wait-lock word", {"uninstall", "--all", "--wait-lock", "soon"}, "number of seconds"},
        {"wait-lock sign", {"uninstall", "--all", "--wait-lock=-1"}, "number of seconds"},
        {"empty log file", {"status", "--log-file="}, "--log-file needs a file name"},
        {"status takes no lock wait", {"status", "--wait-lock", "5"}, "does not take --wait-lock"},
    };
    for (const TUsageCase& LCase : LCases) {
        const TRun LRun = Run(LCase.Args);
        EXPECT_EQ(LRun.Code, ecRefused) << LCase.Label;
        EXPECT_THAT(LRun.Err, HasSubstr(LCase.Message)) << LCase.Label;
        EXPECT_EQ(LRun.Out, "") << LCase.Label;
    }
}

TEST_F(CliCommandsTest, FlagsTakeBothSpellingsAndKeepTheirOrder) {
    const TCliOptions LOptions = ParseCliArguments({"install",
                                                    "--edition=commercial",
                                                    "--user",
                                                    "ana@orvane.test",
                                                    "--password-stdin",
                                                    "--accept-terms",
                                                    "--versions",
                                                    "23.0,22.0,23.0",
                                                    "--ide-dir",
                                                    "C:\\Studio",
                                                    "--download-dir=D:\\Downloads\\Jos\xc3\xa9",
                                                    "--getit",
                                                    "keep",
                                                    "--ide-running",
                                                    "continue",
                                                    "--existing-zip",
                                                    "use",
                                                    "--installed=reinstall",
                                                    "--server",
                                                    "http://127.0.0.1:1"});
    EXPECT_EQ(LOptions.Command, cmInstall);
    EXPECT_EQ(LOptions.Edition, imCommercial);
    EXPECT_EQ(LOptions.User, "ana@orvane.test");
    EXPECT_TRUE(LOptions.PasswordStdin);
    EXPECT_TRUE(LOptions.AcceptTerms);
    EXPECT_EQ(LOptions.Versions, (std::vector<std::string>{"23.0", "22.0"}));
    EXPECT_EQ(LOptions.IdeDir, "C:\\Studio");
    EXPECT_EQ(LOptions.DownloadDir, "D:\\Downloads\\Jos\xc3\xa9");
    EXPECT_EQ(LOptions.RemoveGetIt, false);
    EXPECT_EQ(LOptions.ContinueIdeRunning, true);
    EXPECT_EQ(LOptions.DownloadAgain, false);
    EXPECT_EQ(LOptions.Reinstall, true);
    EXPECT_EQ(LOptions.Server, "http://127.0.0.1:1");
    // Questions without a flag stay open, to be asked or refused.
    const TCliOptions LBare = ParseCliArguments({"uninstall", "--all"});
    EXPECT_FALSE(LBare.RemoveGetIt);
    EXPECT_FALSE(LBare.ContinueIdeRunning);
}

TEST_F(CliCommandsTest, HelpAndVersionNeedNoCommand) {
    FSetup.ApiUrl = "https://api.build-example.test/v2";
    for (const char* LFlag : {"--help", "-h"}) {
        const TRun LHelp = Run({LFlag});
        EXPECT_EQ(LHelp.Code, ecDone) << LFlag;
        EXPECT_THAT(LHelp.Out,
                    HasSubstr("orvane-install install   --edition developer|commercial"));
        EXPECT_THAT(LHelp.Out, HasSubstr("Server: https://api.build-example.test/v2 unless"));
        EXPECT_THAT(LHelp.Out, HasSubstr("docs/console.md"));
        EXPECT_THAT(LHelp.Out, HasSubstr("130 stopped"));
    }
    for (const char* LFlag : {"--version", "-V"}) {
        const TRun LVersion = Run({"status", LFlag});
        EXPECT_EQ(LVersion.Code, ecDone);
        EXPECT_THAT(LVersion.Out,
                    testing::MatchesRegex("orvane-install [0-9]+\\.[0-9]+\\.[0-9]+\n"));
    }
}

// One line per entry the Versions page lists: IDE version, name, file version;
// an entry that cannot be ticked says so, and what the server sends cannot
// steer the terminal.
TEST_F(CliCommandsTest, ListPrintsTheVersionsPageEntries) {
    Server();
    const TRun LRun = Run({"list", "--edition", "developer"});
    EXPECT_EQ(LRun.Code, ecDone) << LRun.Err;
    EXPECT_EQ(LRun.Out, "23.0\tOrvane for 23.0\t1.4.2\n"
                        "22.0\tOrvane for 22.0\t1.3.9\n"
                        "21.0\tRetired?[31m\t0.0.0.0\t(not available)\n"
                        "23.0\tNightly\t0.0.0.0\t(not available)\n");
    EXPECT_THAT(Server().Requests(),
                testing::ElementsAre("/token/", testing::StartsWith("/cfg/?mode=dev&mac=")));
}

// The HTTP client's own lines (the proxy the requests went through) reach
// install.log from the transfer thread; what list prints stays the list.
TEST_F(CliCommandsTest, TheProxyInUseIsLoggedButNotPrintedByList) {
    Server();
    const TLocalProxy LProxy;
    TScopedEnv LEnv;
    UseProxy(LEnv, LProxy.Url());
    const TRun LRun = Run({"list", "--edition", "developer"});
    EXPECT_EQ(LRun.Code, ecDone) << LRun.Err;
    EXPECT_THAT(LRun.Out, testing::StartsWith("23.0\tOrvane for 23.0\t1.4.2\n"));
    EXPECT_THAT(LRun.Out, testing::Not(HasSubstr("proxy")));
    EXPECT_FALSE(LProxy.Requests().empty());
    const std::string LLog = ReadFileText(FTemp.Path() / "install.log");
    const std::string LLine = "> Requests to " + Server().BaseUrl() +
                              " go through the proxy 127.0.0.1:" + std::to_string(LProxy.Port()) +
                              " (from the proxy environment variables)\r\n";
    EXPECT_THAT(LLog, HasSubstr(LLine));
    EXPECT_EQ(LLog.find(LLine), LLog.rfind(LLine)) << "logged once per target and proxy";
}

// --proxy sends every request through the proxy it names and --no-proxy
// through none, whatever the environment says; the log says which.
TEST_F(CliCommandsTest, ProxyFlagsOverrideTheUsersSettings) {
    Server();
    ServeOnePackage();
    RegisterIde("23.0");
    const TLocalProxy LRelay;
    const TLocalProxy LRefusing(TLocalProxy::pmRefuse);
    TScopedEnv LEnv;
    UseProxy(LEnv, LRefusing.Url());

    const TRun LDirect = Run({"list", "--edition", "developer", "--no-proxy"});
    EXPECT_EQ(LDirect.Code, ecDone) << LDirect.Err;
    EXPECT_THAT(LRefusing.Requests(), testing::IsEmpty());
    EXPECT_THAT(ReadFileText(FTemp.Path() / "install.log"),
                HasSubstr("> No proxy: requests go straight to the server (--no-proxy)\r\n"));

    const TRun LNamed = Run(InstallArgs({"--versions", "23.0", "--proxy", LRelay.Url(), "--getit",
                                         "remove", "--ide-running", "stop", "--existing-zip",
                                         "download", "--installed", "reinstall"}));
    EXPECT_EQ(LNamed.Code, ecDone) << LNamed.Err;
    EXPECT_THAT(LRefusing.Requests(), testing::IsEmpty());
    EXPECT_THAT(LRelay.Requests(), testing::Contains(HasSubstr("/file/o_1.zip")));
    const std::string LLog = ReadFileText(FTemp.Path() / "install.log");
    EXPECT_THAT(LLog, HasSubstr("> Proxy: " + LRelay.Url() + " for every request (--proxy)\r\n"));
    EXPECT_THAT(LLog, HasSubstr("> Requests to " + Server().BaseUrl() +
                                " go through the proxy 127.0.0.1:" + std::to_string(LRelay.Port()) +
                                " (named for this run)\r\n"));

    // Without either flag the environment's proxy is back, and refuses.
    const TRun LSystem = Run({"list", "--edition", "developer"});
    EXPECT_EQ(LSystem.Code, ecServer) << LSystem.Err;
    EXPECT_THAT(LRefusing.Requests(), testing::Not(testing::IsEmpty()));
}

TEST_F(CliCommandsTest, CommercialPasswordComesFromStandardInput) {
    Server();
    const TRun LRun =
        Run({"list", "--edition", "commercial", "--user", "ana+ci@orvane.test", "--password-stdin"},
            "s3cret pass\r\n");
    EXPECT_EQ(LRun.Code, ecDone) << LRun.Err;
    EXPECT_THAT(LRun.Out, HasSubstr("23.0\tOrvane for 23.0\t1.4.2\n"));
    EXPECT_THAT(Server().Requests(), testing::Contains(testing::StartsWith("/cfg/?mode=com&mac=")));

    const TRun LWrong =
        Run({"list", "--edition", "commercial", "--user", "ana+ci@orvane.test", "--password-stdin"},
            "guess\n");
    EXPECT_EQ(LWrong.Code, ecServer);
    EXPECT_THAT(LWrong.Err, HasSubstr("Cannot get the package list"));
    EXPECT_EQ(LWrong.Out, "");
}

// Without a flag and without a terminal nothing is asked: the message names
// the flag. On a terminal the user name is asked and the password read
// without echo.
TEST_F(CliCommandsTest, CommercialLoginWithoutItsFlags) {
    Server();
    const TRun LNoUser = Run({"list", "--edition", "commercial"});
    EXPECT_EQ(LNoUser.Code, ecRefused);
    EXPECT_THAT(LNoUser.Err, HasSubstr("--user NAME"));
    const TRun LNoPassword = Run({"list", "--edition", "commercial", "--user", "a@b"});
    EXPECT_EQ(LNoPassword.Code, ecRefused);
    EXPECT_THAT(LNoPassword.Err, HasSubstr("--password-stdin"));
    EXPECT_THAT(Server().Requests(), testing::IsEmpty());

    std::istringstream LIn("ana+ci@orvane.test\n");
    std::ostringstream LOut;
    std::ostringstream LErr;
    int LSecretReads = 0;
    TConsole LConsole{LIn, LOut, LErr, true, true, [&LSecretReads] {
                          ++LSecretReads;
                          return std::string("s3cret pass");
                      }};
    EXPECT_EQ(RunCli({"list", "--edition", "commercial"}, LConsole, FSetup), ecDone) << LErr.str();
    EXPECT_EQ(LSecretReads, 1);
    EXPECT_THAT(LErr.str(), HasSubstr("E-mail address: "));
    EXPECT_THAT(LErr.str(), HasSubstr("Password for ana+ci@orvane.test: "));
    EXPECT_THAT(LOut.str(), HasSubstr("22.0\tOrvane for 22.0\t1.3.9\n"));
}

TEST_F(CliCommandsTest, UnreachableOrBrokenServerExitsWithThree) {
    Server().SetFault("status", "/token/", -1, 503);
    const TRun LRefused = Run({"list", "--edition", "developer"});
    EXPECT_EQ(LRefused.Code, ecServer);
    EXPECT_THAT(LRefused.Err, HasSubstr(Server().BaseUrl()));
    Server().Clear();
    Server().SetFault("nonobject", "/cfg/");
    const TRun LBroken = Run({"list", "--edition", "developer"});
    EXPECT_EQ(LBroken.Code, ecServer);
    EXPECT_THAT(LBroken.Err, HasSubstr("Failed to read configuration from server!"));

    const int LPort = Server().Port();
    FServer.reset();
    const TRun LGone = Run({"list", "--edition", "developer", "--server",
                            "http://127.0.0.1:" + std::to_string(LPort)});
    EXPECT_EQ(LGone.Code, ecServer);
}

TEST_F(CliCommandsTest, StatusListsTheRecords) {
    EXPECT_EQ(Run({"status"}).Out, "");
    WriteRegistryData(*FSetup.Store, {"22.0", "1.3.9", "2026-12-01 10:00:00", "DEVELOPER",
                                      "DEVELOPER", "/home/ana/Orvane/22.0/"});
    WriteRegistryData(*FSetup.Store, {"23.0", "1.4.2", "2026-12-02 11:30:00", "COMMERCIAL",
                                      "GAMEPACKAGE", "/home/ana/Jos\xc3\xa9/23.0/"});
    const TRun LRun = Run({"status"});
    EXPECT_EQ(LRun.Code, ecDone) << LRun.Err;
    EXPECT_EQ(LRun.Out,
              "22.0\t1.3.9\tDEVELOPER\t2026-12-01 10:00:00\t/home/ana/Orvane/22.0/\n"
              "23.0\t1.4.2\tCOMMERCIAL\t2026-12-02 11:30:00\t/home/ana/Jos\xc3\xa9/23.0/\n");
}

// install refuses before it signs in: the terms, a version the server does
// not offer (naming those it offers), a question no flag or terminal answers.
TEST_F(CliCommandsTest, InstallRefusesWithTheReasonAndExitsWithTwo) {
    Server();
    const TRun LTerms = Run({"install", "--edition", "developer", "--all"});
    EXPECT_EQ(LTerms.Code, ecRefused);
    EXPECT_THAT(LTerms.Err, HasSubstr("https://orvane.example/terms"));
    EXPECT_THAT(LTerms.Err, HasSubstr("--accept-terms"));
    EXPECT_THAT(Server().Requests(), testing::IsEmpty());

    const TRun LUnknown =
        Run({"install", "--edition", "developer", "--accept-terms", "--versions", "23.0,21.0"});
    EXPECT_EQ(LUnknown.Out, "");
    EXPECT_EQ(LUnknown.Code, ecRefused);
    EXPECT_THAT(LUnknown.Err, HasSubstr("no package for IDE version 21.0; available: 23.0, 22.0."));

    // A GetIt installation asks whether to remove it: no terminal, no --getit.
    RegisterIde("23.0");
    ImportRegFile(*FSetup.Store,
                  TLocalApiServer::SourceDir() / "tests/registry/fixtures/getit.reg");
    const TRun LGetIt = Run({"install", "--edition", "developer", "--accept-terms", "--versions",
                             "23.0", "--ide-running", "stop"});
    EXPECT_EQ(LGetIt.Code, ecRefused);
    EXPECT_THAT(LGetIt.Err, HasSubstr("give --getit remove|keep"));
    EXPECT_THAT(ReadInstalledVersions(*FSetup.Store), testing::IsEmpty());
    // Keeping it is declining the clean-up: nothing is installed.
    const TRun LKeep = Run({"install", "--edition", "developer", "--accept-terms", "--versions",
                            "23.0", "--getit", "keep", "--ide-running", "stop"});
    EXPECT_EQ(LKeep.Code, ecRefused);
    EXPECT_THAT(LKeep.Out, HasSubstr("Answered no by --getit remove|keep"));
    EXPECT_THAT(LKeep.Err, HasSubstr("Nothing was installed: GetIt installed the framework and "
                                     "--getit keep keeps its entries"));
    EXPECT_THAT(LKeep.Err, HasSubstr("Give --getit remove"));
    EXPECT_THAT(ReadInstalledVersions(*FSetup.Store), testing::IsEmpty());
}

// An empty or root folder flag would write into the drive's root: refused,
// naming the flag, before anything is sent or written.
TEST_F(CliCommandsTest, EmptyOrRootFolderFlagsAreRefusedBeforeAnythingHappens) {
    Server();
    const std::string LRoot = Utf8FromPath(std::filesystem::current_path().root_path());
    const struct {
        std::vector<std::string> Flags;
        std::string Message;
    } LCases[] = {
        {{"--download-dir", ""}, "--download-dir is empty: name a folder"},
        {{"--download-dir=  "}, "--download-dir is empty"},
        {{"--ide-dir="}, "--ide-dir is empty: name a folder"},
        {{"--download-dir", LRoot}, "--download-dir \"" + LRoot + "\" is the root of a drive"},
    };
    for (const auto& LCase : LCases) {
        std::vector<std::string> LArgs = {"install",        "--edition",     "developer",
                                          "--accept-terms", "--all",         "--getit",
                                          "keep",           "--ide-running", "stop"};
        LArgs.insert(LArgs.end(), LCase.Flags.begin(), LCase.Flags.end());
        const TRun LRun = Run(LArgs);
        EXPECT_EQ(LRun.Code, ecRefused) << LCase.Message;
        EXPECT_THAT(LRun.Err, HasSubstr(LCase.Message));
    }
    EXPECT_THAT(Server().Requests(), testing::IsEmpty());
    EXPECT_THAT(ReadInstalledVersions(*FSetup.Store), testing::IsEmpty());
}

TEST_F(CliCommandsTest, UninstallTakesOnlyRecordedVersions) {
    const TRun LNone = Run({"uninstall", "--all"});
    EXPECT_EQ(LNone.Code, ecRefused);
    EXPECT_THAT(LNone.Err, HasSubstr("No installations found to be uninstalled"));
    WriteRegistryData(*FSetup.Store, {"22.0", "1.3.9", "2026-12-01 10:00:00", "DEVELOPER",
                                      "DEVELOPER", "/home/ana/Orvane/22.0/"});
    const TRun LUnknown = Run({"uninstall", "--versions", "23.0"});
    EXPECT_EQ(LUnknown.Code, ecRefused);
    EXPECT_THAT(LUnknown.Err, HasSubstr("IDE version 23.0; recorded: 22.0."));

    const TRun LDone = Run({"uninstall", "--versions", "22.0", "--ide-running", "stop"});
    EXPECT_EQ(LDone.Code, ecDone) << LDone.Err;
    EXPECT_THAT(LDone.Out, HasSubstr("Version 22.0 successfully uninstalled"));
    EXPECT_THAT(ReadInstalledVersions(*FSetup.Store), testing::IsEmpty());
    EXPECT_THAT(ReadFileText(FTemp.Path() / "install.log"), HasSubstr("> Uninstallation done\r\n"));
}

// A whole install through the engine: on a terminal the progress is one line
// drawn over itself; otherwise the log lines, one a line, and no redrawing.
TEST_F(CliCommandsTest, InstallShowsProgressAsTheConsoleAllows) {
    const std::string LCommon = DirText(FTemp.Path() / "common");
    const std::string LKey = "SOFTWARE\\Embarcadero\\BDS\\23.0\\Environment Variables";
    ASSERT_TRUE(FSetup.Store->CreateKey(LKey));
    ASSERT_TRUE(FSetup.Store->SetValue(
        LKey, {"BDSCatalogRepositoryAllUsers", rtSz, ToUtf16Le(LCommon + "Catalog", true)}));
    WriteFileText(FTemp.Path() / "libeay32.dll", "libeay");
    WriteFileText(FTemp.Path() / "ssleay32.dll", "ssleay");
    ServeOnePackage();

    for (const bool LTerminal : {true, false}) {
        const std::string LRun = LTerminal ? "terminal" : "pipe";
        std::filesystem::create_directories(FTemp.Path() / LRun / "ide" / "23.0");
        const TRun LInstall =
            Run({"install", "--edition", "developer", "--accept-terms", "--versions", "23.0",
                 "--ide-dir", DirText(FTemp.Path() / LRun / "ide"), "--download-dir",
                 DirText(FTemp.Path() / LRun / "downloads"), "--getit", "keep", "--ide-running",
                 "stop", "--installed", "reinstall"},
                "", LTerminal);
        EXPECT_EQ(LInstall.Code, ecDone) << LRun << ": " << LInstall.Err;
        EXPECT_TRUE(FileExists(LCommon + "Bpl/Orvane_Core.bpl")) << LRun;
        EXPECT_THAT(LInstall.Out, testing::EndsWith("Thank you for installing Orvane! You can now "
                                                    "start working!\n"))
            << LRun;
        if (LTerminal) {
            EXPECT_THAT(LInstall.Out, HasSubstr("\rDownloading 23.0: "));
            EXPECT_THAT(LInstall.Out, HasSubstr("\x1b[K"));
            EXPECT_THAT(LInstall.Out, testing::Not(HasSubstr("Downloading \"o_1.zip\" ...\n")));
        } else {
            EXPECT_THAT(LInstall.Out, HasSubstr("\nDownloading \"o_1.zip\" ...\n"));
            EXPECT_THAT(LInstall.Out, testing::Not(HasSubstr("\r")));
        }
    }
    EXPECT_THAT(ReadFileText(FTemp.Path() / "install.log"), HasSubstr("> Downloading \"o_1.zip\""));
}

// The console program's verify, repair, uninstall --remove-files and its
// recovery of an interrupted run, on an installation it made itself.
TEST_F(CliCommandsTest, VerifyRepairAndRemoveFilesOnAnInstallationOfItsOwn) {
    const std::string LCommon = DirText(FTemp.Path() / "common");
    const std::string LBds = "SOFTWARE\\Embarcadero\\BDS\\23.0\\";
    ASSERT_TRUE(FSetup.Store->CreateKey(LBds + "Environment Variables"));
    ASSERT_TRUE(FSetup.Store->SetValue(
        LBds + "Environment Variables",
        {"BDSCatalogRepositoryAllUsers", rtSz, ToUtf16Le(LCommon + "Catalog", true)}));
    ASSERT_TRUE(FSetup.Store->CreateKey(LBds + "Known Packages"));
    std::filesystem::create_directories(FTemp.Path() / "ide" / "23.0");
    ServeOnePackage();
    const std::string LDownloads = DirText(FTemp.Path() / "dl");
    const TRun LInstall =
        Run({"install", "--edition", "developer", "--accept-terms", "--versions", "23.0",
             "--ide-dir", DirText(FTemp.Path() / "ide"), "--download-dir", LDownloads, "--getit",
             "keep", "--ide-running", "stop", "--installed", "reinstall"});
    ASSERT_EQ(LInstall.Code, ecDone) << LInstall.Err;
    EXPECT_EQ(Run({"verify"}).Out, "Verified: 23.0\n");

    const std::string LBpl = LCommon + "Bpl/Orvane_Core.bpl";
    ASSERT_TRUE(RemoveFile(LBpl));
    ASSERT_TRUE(FSetup.Store->DeleteValue(LBds + "Known Packages", LBpl));
    const TRun LBroken = Run({"verify", "--versions", "23.0"});
    EXPECT_EQ(LBroken.Code, ecSomeFailed);
    EXPECT_EQ(LBroken.Out, "23.0: missing file \"" + LBpl + "\"\n23.0: missing registry value \"" +
                               LBpl + "\" in HKEY_CURRENT_USER\\" + LBds + "Known Packages\n");
    // The same as one JSON document, the lines on standard error.
    const TRun LJson = Run({"verify", "--json"});
    EXPECT_EQ(LJson.Code, ecSomeFailed);
    EXPECT_EQ(LJson.Err, LBroken.Out);
    rapidjson::Document LDocument;
    LDocument.Parse(LJson.Out.c_str());
    ASSERT_FALSE(LDocument.HasParseError()) << LJson.Out;
    EXPECT_STREQ(LDocument["command"].GetString(), "verify");
    ASSERT_TRUE(LDocument.HasMember("problems") && LDocument["problems"].IsArray()) << LJson.Out;
    ASSERT_EQ(LDocument["problems"].Size(), 2u);
    EXPECT_STREQ(LDocument["problems"][0]["kind"].GetString(), "file_missing");
    EXPECT_STREQ(LDocument["problems"][1]["kind"].GetString(), "value_missing");
    EXPECT_STREQ(LDocument["problems"][0]["ide_version"].GetString(), "23.0");

    const TRun LRepair = Run({"repair"});
    EXPECT_EQ(LRepair.Code, ecDone) << LRepair.Err;
    EXPECT_EQ(ReadFileText(LBpl), "core");
    EXPECT_EQ(Run({"verify"}).Code, ecDone);

    // A run killed after it announced a new file: the next command undoes it.
    const std::string LStray = LCommon + "Bpl/Orvane_Extra.bpl";
    {
        orvane::TInstallJournal LJournal = orvane::TInstallJournal::Begin(FTemp.Path(), "23.0");
        LJournal.FileWillBeWritten(LStray);
        WriteFileText(LStray + ".part", "half");
    }
    const TRun LAfterKill = Run({"verify"});
    EXPECT_EQ(LAfterKill.Code, ecDone);
    EXPECT_EQ(LAfterKill.Err, "Warning: 23.0 was rolled back: its installation was interrupted "
                              "before it was done\n");
    EXPECT_FALSE(std::filesystem::exists(LStray + ".part"));
    EXPECT_THAT(ReadFileText(FTemp.Path() / "install.log"),
                HasSubstr("<ERROR> 23.0 was rolled back: its installation was interrupted"));

    const TRun LUninstall = Run({"uninstall", "--versions", "23.0", "--remove-files", "--getit",
                                 "keep", "--ide-running", "stop"});
    EXPECT_EQ(LUninstall.Code, ecDone) << LUninstall.Err;
    EXPECT_FALSE(FileExists(LBpl));
    EXPECT_FALSE(FileExists(LCommon + "Dcp/Orvane_Core.dcp"));
    EXPECT_FALSE(DirectoryExists(LDownloads + "23.0"));
    EXPECT_TRUE(FileExists(LDownloads + "o_1.zip"));
    EXPECT_EQ(Run({"verify"}).Out, "Verified: none\n");
}

// With the BPL, its extracted copy and the zip all gone, repair signs in as
// install does and downloads the package again; a package whose file is not
// the one installed is not taken.
TEST_F(CliCommandsTest, RepairDownloadsThePackageAgainWhenNoCopyIsLeft) {
    RegisterIde("23.0");
    const std::string LCommon = DirText(FTemp.Path() / "common23.0");
    const std::string LDownloads = DirText(FTemp.Path() / "dl");
    const auto LServe = [&](const std::string& ABpl) {
        WriteTestZip(FTemp.Path() / "made.zip", {{"Win32/Release/Orvane_Core.bpl", ABpl},
                                                 {"Win32/Release/Orvane_Core.dcp", "dcp"}});
        Server().WriteFile("o_1.zip", ReadFileText(FTemp.Path() / "made.zip"));
        Server().WriteConfig("dev", R"({"ide": [{"name": "Orvane", "version": "23.0",
            "file": "o_1.zip", "url": "file/", "platforms": "Win32", "bpls": "Orvane_Core.bpl",
            "dcps": "Orvane_Core.dcp", "sha256": ")" +
                                        Sha256OfFile(FTemp.Path() / "made.zip") + R"("}]})");
    };
    LServe("core");
    WriteFileText(FTemp.Path() / "libeay32.dll", "libeay");
    WriteFileText(FTemp.Path() / "ssleay32.dll", "ssleay");
    const TRun LInstall =
        Run({"install", "--edition", "developer", "--accept-terms", "--versions", "23.0",
             "--ide-dir", DirText(FTemp.Path() / "ide"), "--download-dir", LDownloads, "--getit",
             "keep", "--ide-running", "stop", "--installed", "reinstall"});
    ASSERT_EQ(LInstall.Code, ecDone) << LInstall.Err;

    const std::string LBpl = LCommon + "Bpl/Orvane_Core.bpl";
    for (const std::string& LFile :
         {LBpl, LDownloads + "23.0/Win32/Release/Orvane_Core.bpl", LDownloads + "o_1.zip"}) {
        ASSERT_TRUE(RemoveFile(LFile)) << LFile;
    }
    const std::string LMissing = "23.0: missing file \"" + LBpl + "\"\n";

    // Without an edition nothing is downloaded, and the user is told why.
    const TRun LNoEdition = Run({"repair"});
    EXPECT_EQ(LNoEdition.Code, ecSomeFailed);
    EXPECT_EQ(LNoEdition.Out.substr(LNoEdition.Out.size() - LMissing.size()), LMissing);
    EXPECT_THAT(LNoEdition.Out, HasSubstr("downloaded again only with --edition"));
    EXPECT_FALSE(FileExists(LDownloads + "o_1.zip"));

    // The server now offers another build of the package: its BPL is not the
    // one installed, so it is not put in its place.
    LServe("core, rebuilt");
    const TRun LOther = Run({"repair", "--edition", "developer"});
    EXPECT_EQ(LOther.Code, ecSomeFailed) << LOther.Out;
    EXPECT_THAT(LOther.Out, HasSubstr("Downloading \"o_1.zip\" ..."));
    EXPECT_THAT(LOther.Out, HasSubstr("<ERROR> No copy of \"" + LBpl + "\""));
    EXPECT_FALSE(FileExists(LBpl));

    LServe("core");
    RemoveFile(LDownloads + "o_1.zip");
    const TRun LRepair = Run({"repair", "--edition", "developer"});
    EXPECT_EQ(LRepair.Code, ecDone) << LRepair.Out << LRepair.Err;
    EXPECT_EQ(ReadFileText(LBpl), "core");
    EXPECT_TRUE(FileExists(LDownloads + "o_1.zip"));
    EXPECT_EQ(Run({"verify"}).Code, ecDone);
}

// While another installer (the window) holds the store, a command that may
// change the machine refuses before it looks at any journal; status still reads.
TEST_F(CliCommandsTest, ACommandThatMayChangeTheMachineWaitsForNoOtherInstaller) {
    const TProcessLock LWindow(FSetup.LockName);
    ASSERT_EQ(LWindow.State(), TProcessLock::lsHeld);
    for (const std::string LCommand : {"verify", "repair"}) {
        const TRun LRun = Run({LCommand});
        EXPECT_EQ(LRun.Code, ecRefused) << LCommand;
        EXPECT_THAT(LRun.Err, HasSubstr("Another installer is changing this registry store"))
            << LCommand;
    }
    EXPECT_EQ(Run({"status"}).Code, ecDone);
}

// The server goes away after the package list came: with nothing changed that
// is exit code 3, as when the list itself cannot be fetched; once a version
// was installed, the versions that could not reach it are failures (1).
TEST_F(CliCommandsTest, AServerGoneAfterTheListIsExitThreeOnlyWhileNothingChanged) {
    struct TCase {
        const char* Name;
        // The answer after which the server stops listening.
        const char* LastAnswer;
        int Code;
        std::vector<std::string> Recorded;
    };
    for (const TCase& LCase :
         {TCase{"before the first download", "/cfg/", ecServer, {}},
          TCase{"after the first package", "/file/o_23.0.zip", ecSomeFailed, {"23.0"}}}) {
        SCOPED_TRACE(LCase.Name);
        FServer.reset();
        std::filesystem::remove_all(FTemp.Path() / "downloads");
        RegisterIde("23.0");
        RegisterIde("22.0");
        ServePackages({"23.0", "22.0"});
        Server().SetFault("last", LCase.LastAnswer, 1);

        const TRun LRun =
            Run(InstallArgs({"--versions", "23.0,22.0", "--getit", "remove", "--ide-running",
                             "stop", "--existing-zip", "download", "--installed", "reinstall"}));

        EXPECT_EQ(LRun.Code, LCase.Code) << LRun.Err;
        EXPECT_THAT(LRun.Err, HasSubstr("22.0 1.4.2: failed ("));
        EXPECT_EQ(LRun.Err.find("The server could not be reached; nothing was installed and the "
                                "registry is unchanged.") != std::string::npos,
                  LCase.Code == ecServer)
            << LRun.Err;
        EXPECT_EQ(RecordedVersions(), LCase.Recorded);
    }
}

// The README's CI line run twice: the second run skips what is installed and
// succeeds; each version ends with one summary line that says why.
TEST_F(CliCommandsTest, ReRunsSkipWhatIsInstalledAndSayWhy) {
    RegisterIde("23.0");
    RegisterIde("22.0");
    ServePackages({"23.0", "22.0"});
    const std::vector<std::string> LCi =
        InstallArgs({"--versions", "23.0,22.0", "--getit", "remove", "--ide-running", "stop",
                     "--existing-zip", "use", "--installed", "skip"});
    const TRun LFirst = Run(LCi);
    EXPECT_EQ(LFirst.Code, ecDone) << LFirst.Err;
    EXPECT_THAT(LFirst.Err, HasSubstr("23.0 1.4.2: installed\n"));
    EXPECT_THAT(LFirst.Err, HasSubstr("22.0 1.4.2: installed\n"));

    const TRun LAgain = Run(LCi);
    EXPECT_EQ(LAgain.Code, ecDone) << LAgain.Err;
    EXPECT_THAT(LAgain.Err,
                HasSubstr("23.0 1.4.2: skipped (23.0 1.4.2 is installed; --installed skip)\n"));
    EXPECT_THAT(LAgain.Err,
                HasSubstr("22.0 1.4.2: skipped (22.0 1.4.2 is installed; --installed skip)\n"));
    EXPECT_THAT(LAgain.Err, testing::Not(HasSubstr("failed")));

    // A version that fails says so on its line, and the run exits 1; the
    // others still end as they did.
    Server().SetFault("status", "/file/o_22.0.zip", -1, 404);
    const TRun LFailed =
        Run(InstallArgs({"--versions", "23.0,22.0", "--getit", "remove", "--ide-running", "stop",
                         "--existing-zip", "download", "--installed", "reinstall"}));
    EXPECT_EQ(LFailed.Code, ecSomeFailed) << LFailed.Err;
    EXPECT_THAT(LFailed.Err, HasSubstr("23.0 1.4.2: installed\n"));
    EXPECT_THAT(LFailed.Err, HasSubstr("22.0 1.4.2: failed (Failed to download package: "));
    EXPECT_THAT(LFailed.Err, testing::Not(HasSubstr("??")));
}

// Every question the run would ask is known at the start: without its flag
// (and nobody to ask) the run refuses naming every flag, and nothing changes,
// not even the version before the one whose package file is there.
TEST_F(CliCommandsTest, MissingAnswersAreRefusedBeforeAnyChange) {
    RegisterIde("23.0");
    RegisterIde("22.0");
    ServePackages({"22.0", "23.0"});
    WriteFileText(FTemp.Path() / "downloads" / "o_23.0.zip", "a file of the user's");
    WriteRegistryData(*FSetup.Store, {"22.0", "1.4.2", "2026-12-01 10:00:00", "DEVELOPER",
                                      "DEVELOPER", "/home/ana/Orvane/22.0/"});
    struct TCase {
        const char* Label;
        std::vector<std::string> Flags;
        bool Terminal;
        std::vector<const char*> Named;
    };
    const std::vector<TCase> LCases = {
        {"both missing",
         {"--getit", "remove", "--ide-running", "stop"},
         false,
         {"the package file ", "o_23.0.zip already exists: give --existing-zip download|use",
          "22.0 1.4.2 is installed: give --installed reinstall|skip",
          "run again with --installed reinstall|skip, --existing-zip download|use"}},
        {"one given",
         {"--getit", "remove", "--ide-running", "stop", "--installed", "reinstall"},
         false,
         {"give --existing-zip download|use"}},
        {"a terminal, but --non-interactive",
         {"--getit", "remove", "--ide-running", "stop", "--installed", "reinstall",
          "--non-interactive"},
         true,
         {"--non-interactive asks nothing", "give --existing-zip download|use"}},
    };
    for (const TCase& LCase : LCases) {
        std::vector<std::string> LFlags = LCase.Flags;
        LFlags.insert(LFlags.begin(), {"--versions", "22.0,23.0"});
        const TRun LRun = Run(InstallArgs(LFlags), "yes\nyes\n", LCase.Terminal);
        EXPECT_EQ(LRun.Code, ecRefused) << LCase.Label << ": " << LRun.Err;
        for (const char* LText : LCase.Named) {
            EXPECT_THAT(LRun.Err, HasSubstr(LText)) << LCase.Label;
        }
        EXPECT_THAT(LRun.Err, HasSubstr("Nothing was changed")) << LCase.Label;
        EXPECT_EQ(ReadInstalledVersions(*FSetup.Store).front().DateTime, "2026-12-01 10:00:00")
            << LCase.Label;
        EXPECT_EQ(ReadFileText(FTemp.Path() / "downloads" / "o_23.0.zip"), "a file of the user's");
        EXPECT_FALSE(std::filesystem::exists(FTemp.Path() / "downloads" / "22.0")) << LCase.Label;
        EXPECT_THAT(Server().FileRequests(),
                    testing::Not(testing::Contains(testing::StartsWith("/file/"))))
            << LCase.Label;
    }
}

// Only the IDE versions registered here are installed: one asked for by name
// is refused, naming the registered ones; --all takes the registered ones.
TEST_F(CliCommandsTest, OnlyRegisteredIdeVersionsAreInstalled) {
    RegisterIde("23.0");
    ServePackages({"23.0", "22.0"});
    const std::vector<std::string> LAnswers = {"--getit",     "remove",         "--ide-running",
                                               "stop",        "--existing-zip", "download",
                                               "--installed", "reinstall"};
    std::vector<std::string> LNamed = {"--versions", "22.0"};
    LNamed.insert(LNamed.end(), LAnswers.begin(), LAnswers.end());
    const TRun LRefused = Run(InstallArgs(LNamed));
    EXPECT_EQ(LRefused.Code, ecRefused);
    EXPECT_THAT(LRefused.Err,
                HasSubstr("The IDE version 22.0 is not registered on this machine; registered: "
                          "23.0."));
    EXPECT_THAT(RecordedVersions(), testing::IsEmpty());

    std::vector<std::string> LAll = {"--all"};
    LAll.insert(LAll.end(), LAnswers.begin(), LAnswers.end());
    // A library missing beside the program is a warning that names it; the
    // version is installed all the same.
    std::filesystem::remove(FTemp.Path() / "libeay32.dll");
    const TRun LInstalled = Run(InstallArgs(LAll));
    EXPECT_EQ(LInstalled.Code, ecDone) << LInstalled.Err;
    EXPECT_THAT(LInstalled.Err,
                HasSubstr("Warning: Cannot copy libeay32.dll from " + DirText(FTemp.Path()) +
                          ": The specified file was not found\n"));
    EXPECT_THAT(RecordedVersions(), testing::ElementsAre("23.0"));
    EXPECT_THAT(LInstalled.Err, testing::Not(HasSubstr("22.0")));
    EXPECT_THAT(ReadFileText(FTemp.Path() / "install.log"),
                HasSubstr("> IDE folder: " + DirText(FTemp.Path() / "ide") +
                          "; download folder: " + DirText(FTemp.Path() / "downloads") + "\r\n"));
}

// A second installer on the same store is refused before it asks or changes
// anything, naming the holder; --wait-lock waits for it; status reads on.
TEST_F(CliCommandsTest, OneRunPerRegistryStore) {
    WriteRegistryData(*FSetup.Store, {"22.0", "1.3.9", "2026-12-01 10:00:00", "DEVELOPER",
                                      "DEVELOPER", DirText(FTemp.Path() / "Orvane" / "22.0")});
    auto LHeld = std::make_unique<TProcessLock>(FSetup.LockName);
    ASSERT_EQ(LHeld->State(), TProcessLock::lsHeld);
    // The holder's pid, where the system lists who holds a lock.
    const long LListed = TProcessLock(FSetup.LockName).HolderPid();
    if (LListed != 0) {
        EXPECT_EQ(LListed, getpid());
    }
    const std::string LHolder =
        LListed != 0 ? "(pid " + std::to_string(getpid()) + ")" : "(its process id is not known)";
    for (const std::vector<std::string>& LArgs :
         {std::vector<std::string>{"uninstall", "--all", "--ide-running", "stop"},
          std::vector<std::string>{"install", "--edition", "developer", "--accept-terms", "--all"},
          std::vector<std::string>{"uninstall", "--all", "--ide-running", "stop", "--wait-lock",
                                   "1"}}) {
        const TRun LRun = Run(LArgs);
        EXPECT_EQ(LRun.Code, ecRefused) << LArgs.front();
        EXPECT_THAT(LRun.Err,
                    HasSubstr("Another installer is changing this registry store " + LHolder))
            << LArgs.front();
    }
    EXPECT_THAT(RecordedVersions(), testing::ElementsAre("22.0"));
    const TRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Code, ecDone);
    EXPECT_THAT(LStatus.Out, HasSubstr("22.0\t1.3.9"));

    std::thread LRelease([&LHeld] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        LHeld.reset();
    });
    const TRun LWaited = Run({"uninstall", "--all", "--ide-running", "stop", "--wait-lock", "30"});
    LRelease.join();
    EXPECT_EQ(LWaited.Code, ecDone) << LWaited.Err;
    EXPECT_THAT(LWaited.Err, HasSubstr("Waiting for another installer"));
    EXPECT_THAT(RecordedVersions(), testing::IsEmpty());
}

// --json: one document on standard output for every command, the human text
// on standard error.
TEST_F(CliCommandsTest, JsonResultsAreOneDocumentOnStandardOutput) {
    RegisterIde("23.0");
    ServePackages({"23.0"});
    const auto LParse = [](const TRun& ARun) {
        auto LDocument = std::make_unique<rapidjson::Document>();
        LDocument->Parse(ARun.Out.c_str());
        EXPECT_FALSE(LDocument->HasParseError()) << ARun.Out;
        EXPECT_TRUE(LDocument->IsObject()) << ARun.Out;
        return LDocument;
    };
    const TRun LInstall =
        Run(InstallArgs({"--versions", "23.0", "--getit", "remove", "--ide-running", "stop",
                         "--existing-zip", "download", "--installed", "reinstall", "--json"}));
    EXPECT_EQ(LInstall.Code, ecDone) << LInstall.Err;
    EXPECT_THAT(LInstall.Err, HasSubstr("Thank you for installing Orvane!"));
    const auto LResult = LParse(LInstall);
    EXPECT_STREQ((*LResult)["command"].GetString(), "install");
    EXPECT_EQ((*LResult)["exit_code"].GetInt(), 0);
    EXPECT_EQ((*LResult)["log_file"].GetString(), (FTemp.Path() / "install.log").string());
    const rapidjson::Value& LVersion = (*LResult)["versions"][0];
    EXPECT_STREQ(LVersion["ide_version"].GetString(), "23.0");
    EXPECT_STREQ(LVersion["package_version"].GetString(), "1.4.2");
    EXPECT_STREQ(LVersion["outcome"].GetString(), "installed");
    ASSERT_EQ(LVersion["backup_files"].Size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(LVersion["backup_files"][0].GetString()));

    const TRun LStatus = Run({"status", "--json"});
    EXPECT_EQ(LStatus.Code, ecDone);
    const auto LInstallations = LParse(LStatus);
    EXPECT_STREQ((*LInstallations)["installations"][0]["version"].GetString(), "1.4.2");
    EXPECT_STREQ((*LInstallations)["installations"][0]["folder"].GetString(),
                 (DirText(FTemp.Path() / "downloads") + "23.0/").c_str());

    const TRun LList = Run({"list", "--edition", "developer", "--json"});
    EXPECT_EQ(LList.Code, ecDone);
    EXPECT_TRUE((*LParse(LList))["packages"][0]["available"].GetBool());

    const TRun LRefused = Run({"uninstall", "--versions", "21.0", "--json"});
    EXPECT_EQ(LRefused.Code, ecRefused);
    const auto LError = LParse(LRefused);
    EXPECT_EQ((*LError)["exit_code"].GetInt(), 2);
    EXPECT_THAT((*LError)["error"].GetString(), HasSubstr("IDE version 21.0; recorded: 23.0."));

    const TRun LUninstall = Run({"uninstall", "--all", "--ide-running", "stop", "--json"});
    EXPECT_EQ(LUninstall.Code, ecDone) << LUninstall.Err;
    EXPECT_STREQ((*LParse(LUninstall))["versions"][0]["outcome"].GetString(), "uninstalled");
}

// --log-file takes the log wherever it says; without it a program folder that
// cannot take install.log sends it to the user's own folder, and the first
// line on standard error says where.
TEST_F(CliCommandsTest, TheLogGoesWhereItCanBeWritten) {
    TScopedEnv LEnv;
    LEnv.Set("XDG_STATE_HOME", (FTemp.Path() / "state").string());
    const TRun LChosen =
        Run({"uninstall", "--all", "--log-file", (FTemp.Path() / "ci.log").string()});
    EXPECT_EQ(LChosen.Code, ecRefused);
    EXPECT_THAT(ReadFileText(FTemp.Path() / "ci.log"), HasSubstr("> Registry store lock: "));
    EXPECT_FALSE(std::filesystem::exists(FTemp.Path() / "install.log"));

    // A folder where install.log would be: nothing can be written there, root or not.
    std::filesystem::create_directory(FTemp.Path() / "install.log");
    const TRun LMoved = Run({"uninstall", "--all"});
    EXPECT_EQ(LMoved.Code, ecRefused);
    const std::string LUserLog = (FTemp.Path() / "state" / "orvane" / "install.log").string();
    EXPECT_THAT(LMoved.Err, testing::StartsWith("orvane-install: " + FTemp.Path().string() +
                                                " cannot take install.log; the log goes to " +
                                                LUserLog + "\n"));
    EXPECT_THAT(ReadFileText(LUserLog), HasSubstr("> Registry store lock: "));

    const TRun LUnwritable = Run(
        {"list", "--edition", "developer", "--log-file", (FTemp.Path() / "install.log").string()});
    EXPECT_EQ(LUnwritable.Code, ecRefused);
    EXPECT_THAT(LUnwritable.Err, HasSubstr("cannot be written"));
}

} // namespace

namespace {

// Every file and folder below ARoot with its bytes, to compare a whole tree.
// SQLite's shared-memory index is left out: every reader writes its marks there.
std::map<std::string, std::string> TreeContents(const std::filesystem::path& ARoot) {
    std::map<std::string, std::string> LTree;
    for (const auto& LItem : std::filesystem::recursive_directory_iterator(ARoot)) {
        const std::string LName = LItem.path().lexically_relative(ARoot).generic_string();
        if (!LName.ends_with("-shm")) {
            LTree[LName] = LItem.is_directory() ? "<folder>" : ReadFileText(LItem.path());
        }
    }
    return LTree;
}

// The names of what differs between two trees.
std::vector<std::string> Changed(const std::map<std::string, std::string>& ABefore,
                                 const std::map<std::string, std::string>& AAfter) {
    std::vector<std::string> LNames;
    for (const auto& [LName, LBytes] : AAfter) {
        const auto LOld = ABefore.find(LName);
        if (LOld == ABefore.end() || LOld->second != LBytes) {
            LNames.push_back(LName);
        }
    }
    for (const auto& LOld : ABefore) {
        if (!AAfter.contains(LOld.first)) {
            LNames.push_back(LOld.first + " (removed)");
        }
    }
    return LNames;
}

} // namespace

// --dry-run says what install and uninstall would do and changes nothing: the
// store, the folders, the download folder and the log stay byte for byte as
// they were, no package is requested, and no lock is taken (another installer
// may hold it meanwhile).
TEST_F(CliCommandsTest, DryRunsSayWhatWouldBeDoneAndChangeNothing) {
    RegisterIde("23.0");
    RegisterIde("22.0");
    ServePackages({"22.0", "23.0"});
    WriteFileText(FTemp.Path() / "downloads" / "o_23.0.zip", "a file of the user's");
    WriteFileText(FTemp.Path() / "install.log", "an earlier run\r\n");
    WriteRegistryData(*FSetup.Store, {"22.0", "1.4.2", "2026-12-01 10:00:00", "DEVELOPER",
                                      "DEVELOPER", DirText(FTemp.Path() / "Orvane" / "22.0")});
    const TProcessLock LHeld(FSetup.LockName);
    ASSERT_EQ(LHeld.State(), TProcessLock::lsHeld);
    const std::map<std::string, std::string> LBefore = TreeContents(FTemp.Path());
    const std::string LDownloads = DirText(FTemp.Path() / "downloads");

    struct TCase {
        const char* Label;
        std::vector<std::string> Args;
        int Code;
        std::vector<std::string> Said;
    };
    const std::vector<TCase> LCases = {
        {"install with every answer",
         InstallArgs({"--versions", "22.0,23.0", "--dry-run", "--getit", "remove", "--ide-running",
                      "stop", "--existing-zip", "use", "--installed", "reinstall"}),
         ecDone,
         {"Dry run: nothing is changed.", "Download folder: " + LDownloads,
          "  package_file: " + LDownloads + "o_23.0.zip\n",
          "  registry key: SOFTWARE\\Embarcadero\\BDS\\22.0\\Library\\Win32",
          "o_23.0.zip already exists: --existing-zip download|use -> use\n",
          "22.0 1.4.2 is installed: --installed reinstall|skip -> reinstall\n"}},
        {"install whose answers are missing",
         InstallArgs({"--versions", "23.0,22.0", "--dry-run", "--non-interactive"}),
         ecRefused,
         {"--existing-zip download|use -> none: the run would be refused\n"}},
        {"uninstall",
         {"uninstall", "--all", "--dry-run", "--remove-files", "--ide-running", "continue"},
         ecDone,
         {"22.0:\n", "  folder_removed: " + DirText(FTemp.Path() / "Orvane" / "22.0"),
          "  registry key: SOFTWARE\\Embarcadero\\BDS\\22.0\\Library\\Android64",
          "If asked: --ide-running continue|stop -> continue\n"}},
    };
    for (const TCase& LCase : LCases) {
        const TRun LRun = Run(LCase.Args);
        EXPECT_EQ(LRun.Code, LCase.Code) << LCase.Label << ": " << LRun.Err;
        for (const std::string& LText : LCase.Said) {
            EXPECT_THAT(LRun.Out, HasSubstr(LText)) << LCase.Label;
        }
        EXPECT_THAT(Changed(LBefore, TreeContents(FTemp.Path())), testing::IsEmpty())
            << LCase.Label;
    }
    EXPECT_THAT(Server().FileRequests(),
                testing::Not(testing::Contains(testing::StartsWith("/file/"))));

    const TRun LJson = Run(InstallArgs({"--versions", "23.0", "--dry-run", "--json",
                                        "--existing-zip", "download", "--getit", "keep"}));
    EXPECT_EQ(LJson.Code, ecDone) << LJson.Err;
    rapidjson::Document LDocument;
    LDocument.Parse(LJson.Out.c_str());
    ASSERT_FALSE(LDocument.HasParseError()) << LJson.Out;
    EXPECT_TRUE(LDocument["dry_run"].GetBool());
    EXPECT_FALSE(LDocument.HasMember("log_file"));
    EXPECT_EQ(LDocument["download_dir"].GetString(), LDownloads);
    ASSERT_EQ(LDocument["versions"].Size(), 1u);
    EXPECT_EQ(LDocument["versions"][0]["package_file"].GetString(), LDownloads + "o_23.0.zip");
    EXPECT_GT(LDocument["versions"][0]["registry_keys"].Size(), 3u);
    ASSERT_EQ(LDocument["questions"].Size(), 1u);
    EXPECT_STREQ(LDocument["questions"][0]["answer"].GetString(), "download");
    EXPECT_THAT(Changed(LBefore, TreeContents(FTemp.Path())), testing::IsEmpty());
}
