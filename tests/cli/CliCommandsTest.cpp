// The console program's commands run in-process with buffers for its streams,
// against the local API server and a SQLite registry store in a temp folder.
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "install/FileOperations.h"
#include "install/TestZip.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/LocalProxy.h"
#include "support/NetworkSettings.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

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

struct TRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

class CliCommandsTest : public testing::Test {
protected:
    CliCommandsTest() {
        FSetup.TermsUrl = "https://orvane.example/terms";
        FSetup.ExeDir = FTemp.Path();
        FSetup.Store = OpenSqliteRegistryStore(FTemp.Path() / "registry.sqlite");
        FSetup.Interrupted = std::make_shared<std::atomic<bool>>(false);
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

    TRun Run(const std::vector<std::string>& AArgs, const std::string& AInput = "",
             bool ATerminal = false) {
        std::istringstream LIn(AInput);
        std::ostringstream LOut;
        std::ostringstream LErr;
        TConsole LConsole{LIn, LOut, LErr, ATerminal, ATerminal, {}};
        TRun LRun;
        LRun.Code = RunCli(AArgs, LConsole, FSetup);
        LRun.Out = LOut.str();
        LRun.Err = LErr.str();
        return LRun;
    }

    TTempDir FTemp;
    TCliSetup FSetup;
    std::unique_ptr<TLocalApiServer> FServer;
};

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
    const TRun LHelp = Run({"--help"});
    EXPECT_EQ(LHelp.Code, ecDone);
    EXPECT_THAT(LHelp.Out, HasSubstr("orvane-install install   --edition developer|commercial"));
    const TRun LVersion = Run({"status", "--version"});
    EXPECT_EQ(LVersion.Code, ecDone);
    EXPECT_THAT(LVersion.Out, testing::MatchesRegex("orvane-install [0-9]+\\.[0-9]+\\.[0-9]+\n"));
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
    EXPECT_EQ(LUnknown.Code, ecRefused);
    EXPECT_THAT(LUnknown.Err, HasSubstr("no package for IDE version 21.0; available: 23.0, 22.0."));

    // A GetIt installation asks whether to remove it: no terminal, no --getit.
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
    WriteTestZip(FTemp.Path() / "made.zip", {{"Win32/Release/Orvane_Core.bpl", "core"},
                                             {"Win32/Release/Orvane_Core.dcp", "dcp"}});
    Server().WriteFile("o_1.zip", ReadFileText(FTemp.Path() / "made.zip"));
    Server().WriteConfig("dev", R"({"ide": [{"name": "Orvane", "version": "23.0",
        "file": "o_1.zip", "url": "file/", "platforms": "Win32", "bpls": "Orvane_Core.bpl",
        "dcps": "Orvane_Core.dcp"}]})");

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

} // namespace
