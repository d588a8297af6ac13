// The real orvane-install binary as a process: arguments and output outside
// ASCII pass unchanged, and the exit codes reach the shell.
#include "install/TestZip.h"
#include "platform/ProcessLock.h"
#include "registry/ProductRecords.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/ProgramRun.h"
#include "support/PythonService.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvane;
using testing::HasSubstr;

namespace {

class CliProcessTest : public testing::Test {
protected:
    // The program with a sandboxed home, so it opens the registry store there.
    TProgramRun Run(const std::vector<std::string>& AArgs) const {
        std::string LCommand = "env HOME=" + ShellQuote(FTemp.Path()) +
                               " XDG_DATA_HOME=" + ShellQuote(FTemp.Path() / "data") + " " +
                               ShellQuote(ORVANE_INSTALL_PROGRAM);
        for (const std::string& LArg : AArgs) {
            LCommand += " " + ShellQuote(LArg);
        }
        return RunProgram(LCommand + " </dev/null", FTemp.Path() / "stderr.txt");
    }

    // IDE versions registered on the sandboxed machine, each with its folder,
    // and their packages on AServer.
    void Prepare(TLocalApiServer& AServer, const std::vector<std::string>& AVersions) const {
        WriteTestZip(FTemp.Path() / "made.zip", {{"Win32/Release/Orvane_Core.bpl", "core"},
                                                 {"Win32/Release/Orvane_Core.dcp", "dcp"}});
        auto LStore = OpenSqliteRegistryStore(StoreFile());
        std::string LConfig = R"({"ide": [)";
        for (const std::string& LVersion : AVersions) {
            ASSERT_TRUE(LStore->CreateKey("SOFTWARE\\Embarcadero\\BDS\\" + LVersion +
                                          "\\Environment Variables"));
            std::filesystem::create_directories(FTemp.Path() / "ide" / LVersion);
            AServer.WriteFile("o_" + LVersion + ".zip", ReadFileText(FTemp.Path() / "made.zip"));
            LConfig += std::string(LConfig.back() == '[' ? "" : ",") +
                       R"({"name": "Orvane", "version": ")" + LVersion + R"(", "file": "o_)" +
                       LVersion + R"(.zip", "file_version": "1.4.2", "url": "file/",
                       "platforms": "Win32", "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp"})";
        }
        AServer.WriteConfig("dev", LConfig + "]}");
    }

    // An install that asks nothing, with AMore after the common flags; its log
    // is ALogName in the temp folder.
    std::vector<std::string> InstallArgs(const TLocalApiServer& AServer,
                                         const std::vector<std::string>& AMore,
                                         const std::string& ALogName = "run.log") const {
        std::vector<std::string> LArgs{"install",        "--edition",
                                       "developer",      "--accept-terms",
                                       "--server",       AServer.BaseUrl(),
                                       "--download-dir", (FTemp.Path() / "downloads").string(),
                                       "--ide-dir",      (FTemp.Path() / "ide").string(),
                                       "--getit",        "remove",
                                       "--ide-running",  "stop",
                                       "--log-file",     (FTemp.Path() / ALogName).string()};
        LArgs.insert(LArgs.end(), AMore.begin(), AMore.end());
        return LArgs;
    }

    std::filesystem::path StoreFile() const {
        std::filesystem::create_directories(FTemp.Path() / "data" / "orvane");
        return FTemp.Path() / "data" / "orvane" / "registry.sqlite";
    }

    TTempDir FTemp;
};

// The program started with its standard output on a pipe read line by line,
// as a CI runner reads it, so a signal can be sent at a chosen line.
class TRunningProgram {
public:
    // ATerminal: standard input, output and error are one pseudo-terminal,
    // as when a developer runs the program by hand; AErrFile is then unused.
    TRunningProgram(const std::vector<std::string>& AArgs, const std::filesystem::path& AHome,
                    const std::filesystem::path& AErrFile, bool ATerminal = false) {
        int LPipe[2] = {-1, -1};
        if (ATerminal) {
            FPid = forkpty(&FOut, nullptr, nullptr, nullptr);
        } else if (pipe(LPipe) == 0) {
            FPid = fork();
        } else {
            return;
        }
        if (FPid == 0) {
            if (!ATerminal) {
                dup2(LPipe[1], STDOUT_FILENO);
                const int LErr = open(AErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(LErr, STDERR_FILENO);
                const int LNull = open("/dev/null", O_RDONLY);
                dup2(LNull, STDIN_FILENO);
                close(LPipe[0]);
            }
            setenv("HOME", AHome.c_str(), 1);
            setenv("XDG_DATA_HOME", (AHome / "data").c_str(), 1);
            std::vector<char*> LArgv{const_cast<char*>(ORVANE_INSTALL_PROGRAM)};
            for (const std::string& LArg : AArgs) {
                LArgv.push_back(const_cast<char*>(LArg.c_str()));
            }
            LArgv.push_back(nullptr);
            execv(ORVANE_INSTALL_PROGRAM, LArgv.data());
            _exit(127);
        }
        if (!ATerminal) {
            close(LPipe[1]);
            FOut = LPipe[0];
        }
    }
    ~TRunningProgram() {
        if (FPid > 0 && FExit < 0) {
            kill(FPid, SIGKILL);
            Wait();
        }
        if (FOut >= 0) {
            close(FOut);
        }
    }

    // Reads standard output until it holds AText; false after ATimeout.
    bool WaitForOutput(const std::string& AText, std::chrono::seconds ATimeout) {
        const auto LDeadline = std::chrono::steady_clock::now() + ATimeout;
        while (FText.find(AText) == std::string::npos) {
            const auto LLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                LDeadline - std::chrono::steady_clock::now());
            if (LLeft.count() <= 0 || !ReadSome(static_cast<int>(LLeft.count()))) {
                return false;
            }
        }
        return true;
    }
    void Signal(int ASignal) const { kill(FPid, ASignal); }
    // Typed at the terminal (Ctrl-C is "\x03").
    void Type(const std::string& AText) const {
        [[maybe_unused]] const ssize_t LWritten = write(FOut, AText.data(), AText.size());
    }
    // The exit code, or 128 + the signal that ended it.
    int Wait() {
        while (ReadSome(60000)) {
        }
        int LStatus = 0;
        waitpid(FPid, &LStatus, 0);
        FExit = WIFEXITED(LStatus) ? WEXITSTATUS(LStatus) : 128 + WTERMSIG(LStatus);
        return FExit;
    }
    const std::string& Output() const { return FText; }

private:
    bool ReadSome(int ATimeoutMs) {
        pollfd LPoll{FOut, POLLIN, 0};
        if (poll(&LPoll, 1, ATimeoutMs) <= 0) {
            return false;
        }
        char LBuffer[4096];
        const ssize_t LRead = read(FOut, LBuffer, sizeof LBuffer);
        if (LRead <= 0) {
            return false;
        }
        FText.append(LBuffer, static_cast<std::size_t>(LRead));
        return true;
    }

    pid_t FPid = -1;
    int FOut = -1;
    int FExit = -1;
    std::string FText;
};

TEST_F(CliProcessTest, NonAsciiTextAndExitCodes) {
    const std::string LName = "Orvane f\xc3\xbcr 23.0 \xe6\x97\xa5\xe6\x9c\xac";
    auto LServer = std::make_unique<TLocalApiServer>();
    LServer->WriteConfig("dev", R"({"ide": [{"name": ")" + LName +
                                    R"(", "version": "23.0", "file": "o_1.4.zip"}]})");

    const TProgramRun LList =
        Run({"list", "--edition", "developer", "--server", LServer->BaseUrl()});
    EXPECT_EQ(LList.Exit, 0) << LList.Err;
    EXPECT_EQ(LList.Out, "23.0\t" + LName + "\t1.4\n");

    // A record written by the window, with a folder outside ASCII.
    {
        auto LStore = OpenSqliteRegistryStore(FTemp.Path() / "data" / "orvane" / "registry.sqlite");
        WriteRegistryData(*LStore, {"23.0", "1.4", "2026-12-02 11:30:00", "DEVELOPER", "DEVELOPER",
                                    "/home/Jos\xc3\xa9/Orvane/23.0/"});
    }
    const TProgramRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Exit, 0) << LStatus.Err;
    EXPECT_EQ(LStatus.Out,
              "23.0\t1.4\tDEVELOPER\t2026-12-02 11:30:00\t/home/Jos\xc3\xa9/Orvane/23.0/\n");

    const TProgramRun LUsage = Run({"list", "--edition", "d\xc3\xa9veloppeur"});
    EXPECT_EQ(LUsage.Exit, 2);
    EXPECT_THAT(LUsage.Err, HasSubstr("not \"d\xc3\xa9veloppeur\""));

    const int LPort = LServer->Port();
    LServer.reset();
    const TProgramRun LGone = Run({"list", "--edition", "developer", "--server",
                                   "http://127.0.0.1:" + std::to_string(LPort)});
    EXPECT_EQ(LGone.Exit, 3) << LGone.Err;
}

// What a CI runner does at its time-out: SIGTERM while a package downloads.
// The line that says so reached the pipe as it was written; the run stops
// after its step, removes the partial download, logs that it stopped and
// exits 130. Two signals at once end it as stopped too, never as done.
TEST_F(CliProcessTest, ATerminatedRunStopsCleanlyWithExitCode130) {
    TLocalApiServer LServer;
    LServer.MakeSizedFile("o_23.0.zip", 4 << 20);
    LServer.WriteConfig("dev", R"({"ide": [{"name": "Orvane", "version": "23.0",
        "file": "o_23.0.zip", "url": "file/", "platforms": "Win32", "bpls": "a.bpl",
        "dcps": "a.dcp"}]})");
    LServer.SetFault("slow", "/file/", -1, 500, 200);
    {
        auto LStore = OpenSqliteRegistryStore(StoreFile());
        ASSERT_TRUE(LStore->CreateKey("SOFTWARE\\Embarcadero\\BDS\\23.0\\Environment Variables"));
    }
    const auto LDownloads = FTemp.Path() / "downloads";
    std::filesystem::create_directories(FTemp.Path() / "ide" / "23.0");
    for (const std::vector<int>& LSignals :
         {std::vector<int>{SIGTERM}, std::vector<int>{SIGINT, SIGTERM}}) {
        const auto LLog = FTemp.Path() / ("run" + std::to_string(LSignals.size()) + ".log");
        TRunningProgram LRun(InstallArgs(LServer,
                                         {"--versions", "23.0", "--existing-zip", "download",
                                          "--installed", "reinstall"},
                                         LLog.filename().string()),
                             FTemp.Path(), FTemp.Path() / "stderr.txt");
        ASSERT_TRUE(
            LRun.WaitForOutput("Downloading \"o_23.0.zip\" ...\n", std::chrono::seconds(60)))
            << LRun.Output() << ReadFileText(FTemp.Path() / "stderr.txt");
        for (const int LSignal : LSignals) {
            LRun.Signal(LSignal);
        }
        EXPECT_EQ(LRun.Wait(), 130) << ReadFileText(FTemp.Path() / "stderr.txt");
        EXPECT_FALSE(std::filesystem::exists(LDownloads / "o_23.0.zip.part"));
        EXPECT_FALSE(std::filesystem::exists(LDownloads / "o_23.0.zip"));
        if (LSignals.size() == 1) {
            EXPECT_THAT(ReadFileText(LLog),
                        HasSubstr("> Installation stopped: interrupted (SIGTERM)"));
            EXPECT_THAT(ReadFileText(FTemp.Path() / "stderr.txt"),
                        testing::ContainsRegex("23\\.0 [0-9.]+: failed \\("));
        }
    }
    auto LStore = OpenSqliteRegistryStore(StoreFile());
    EXPECT_THAT(ReadInstalledVersions(*LStore), testing::IsEmpty());
}

// What a CI agent's time-out or the out-of-memory killer does: SIGKILL while
// a package downloads, before any checkpoint of its progress. Whenever it
// comes, the part it leaves is the installer's own, and the next run installs.
TEST_F(CliProcessTest, ARunKilledDuringADownloadNeverBlocksTheNext) {
    TLocalApiServer LServer;
    Prepare(LServer, {"23.0"});
    // Random bytes do not compress: the package is big enough to be cut off.
    std::string LNoise(1 << 20, '\0');
    std::mt19937 LRandom(7);
    for (char& LByte : LNoise) {
        LByte = static_cast<char>(LRandom());
    }
    WriteTestZip(FTemp.Path() / "big.zip", {{"Win32/Release/Orvane_Core.bpl", "core"},
                                            {"Win32/Release/Orvane_Core.dcp", "dcp"},
                                            {"Win32/Release/noise.bin", LNoise}});
    LServer.WriteFile("o_23.0.zip", ReadFileText(FTemp.Path() / "big.zip"));
    const std::vector<std::string> LArgs = InstallArgs(
        LServer, {"--versions", "23.0", "--existing-zip", "download", "--installed", "reinstall"});
    for (const int LAfterMs : {50, 150, 300}) {
        SCOPED_TRACE("killed " + std::to_string(LAfterMs) + " ms into the download");
        LServer.SetFault("slow", "/file/", -1, 500, 20);
        {
            TRunningProgram LRun(LArgs, FTemp.Path(), FTemp.Path() / "stderr.txt");
            ASSERT_TRUE(
                LRun.WaitForOutput("Downloading \"o_23.0.zip\" ...\n", std::chrono::seconds(60)))
                << LRun.Output() << ReadFileText(FTemp.Path() / "stderr.txt");
            std::this_thread::sleep_for(std::chrono::milliseconds(LAfterMs));
            LRun.Signal(SIGKILL);
            EXPECT_EQ(LRun.Wait(), 128 + SIGKILL);
        }
        LServer.Clear();
        const TProgramRun LNext = Run(LArgs);
        EXPECT_EQ(LNext.Exit, 0) << LNext.Err << ReadFileText(FTemp.Path() / "run.log");
        EXPECT_FALSE(std::filesystem::exists(FTemp.Path() / "downloads" / "o_23.0.zip.part"));
        EXPECT_FALSE(std::filesystem::exists(FTemp.Path() / "downloads" / "o_23.0.zip.resume"));
        auto LStore = OpenSqliteRegistryStore(StoreFile());
        EXPECT_EQ(ReadInstalledVersions(*LStore).size(), 1u);
    }
}

// A signal reaches a request the server never answers at once, not at the
// client's time-out: the sign-in of the version being installed, and that of
// the next version's download started ahead of its turn.
TEST_F(CliProcessTest, ASignalStopsARequestTheServerNeverAnswers) {
    struct TCase {
        const char* Name;
        // Token requests let through before the silent one (the package
        // list's comes first).
        int Skip;
        std::vector<std::string> Versions;
        // Signalled once standard output holds this line.
        std::string At;
        std::vector<std::string> Installed;
    };
    for (const TCase& LCase :
         {TCase{"the version's sign-in", 1, {"23.0"}, "Downloading \"o_23.0.zip\" ...\n", {}},
          TCase{"the next version's sign-in",
                2,
                {"23.0", "24.0"},
                "Installation done.\n",
                {"23.0"}}}) {
        SCOPED_TRACE(LCase.Name);
        std::filesystem::remove_all(FTemp.Path() / "data");
        std::filesystem::remove_all(FTemp.Path() / "downloads");
        TLocalApiServer LServer;
        Prepare(LServer, LCase.Versions);
        LServer.SetLaterFault("accept-silent", "/token/", LCase.Skip, 1, 500, 120000);
        std::string LVersions;
        for (const std::string& LVersion : LCase.Versions) {
            LVersions += (LVersions.empty() ? "" : ",") + LVersion;
        }
        TRunningProgram LRun(InstallArgs(LServer, {"--versions", LVersions, "--existing-zip",
                                                   "download", "--installed", "reinstall"}),
                             FTemp.Path(), FTemp.Path() / "stderr.txt");
        ASSERT_TRUE(LRun.WaitForOutput(LCase.At, std::chrono::seconds(60)))
            << LRun.Output() << ReadFileText(FTemp.Path() / "stderr.txt");
        // Until the request is with the server, it is not the one waiting.
        const auto LArrived = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const auto LTokens = [&LServer] {
            const std::vector<std::string> LRequests = LServer.Requests();
            return std::count_if(LRequests.begin(), LRequests.end(),
                                 [](const std::string& A) { return A.rfind("/token/", 0) == 0; });
        };
        while (LTokens() <= LCase.Skip && std::chrono::steady_clock::now() < LArrived) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const auto LSignalled = std::chrono::steady_clock::now();
        LRun.Signal(SIGTERM);
        EXPECT_EQ(LRun.Wait(), 130) << ReadFileText(FTemp.Path() / "stderr.txt");
        // The client's own limit is 30 seconds; the server would wait 120.
        EXPECT_LT(std::chrono::steady_clock::now() - LSignalled, std::chrono::seconds(10));
        EXPECT_THAT(ReadFileText(FTemp.Path() / "run.log"),
                    HasSubstr("> Installation stopped: interrupted (SIGTERM)"));
        auto LStore = OpenSqliteRegistryStore(StoreFile());
        std::vector<std::string> LInstalled;
        for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(*LStore)) {
            LInstalled.push_back(LRecord.IDEVersion);
        }
        EXPECT_EQ(LInstalled, LCase.Installed);
        for (const auto& LFile : std::filesystem::directory_iterator(FTemp.Path() / "downloads")) {
            EXPECT_NE(LFile.path().extension(), ".part") << LFile.path();
        }
    }
}

// Ctrl-C at a question on the terminal stops the run there: the question's
// step does not happen, nothing is downloaded and the record stays as it was.
TEST_F(CliProcessTest, CtrlCAtATerminalQuestionStopsTheRunAndChangesNothing) {
    TLocalApiServer LServer;
    Prepare(LServer, {"23.0"});
    const orvane::TOrvaneRegistryData LOld{
        "23.0",      "1.4.2",     "2026-12-02 11:30:00",
        "DEVELOPER", "DEVELOPER", (FTemp.Path() / "old" / "23.0").string() + "/"};
    {
        auto LStore = OpenSqliteRegistryStore(StoreFile());
        WriteRegistryData(*LStore, LOld);
    }
    TRunningProgram LRun(InstallArgs(LServer, {"--versions", "23.0", "--existing-zip", "download"}),
                         FTemp.Path(), FTemp.Path() / "stderr.txt", true);
    ASSERT_TRUE(LRun.WaitForOutput("Answer yes or no: ", std::chrono::seconds(60)))
        << LRun.Output();
    EXPECT_THAT(LRun.Output(), HasSubstr("is already installed"));
    LRun.Type("\x03");

    EXPECT_EQ(LRun.Wait(), 130) << LRun.Output();
    EXPECT_THAT(LRun.Output(), testing::Not(HasSubstr("No answer")));
    EXPECT_THAT(ReadFileText(FTemp.Path() / "run.log"),
                HasSubstr("> Installation stopped: interrupted (Ctrl-C); 1 version(s) not "
                          "installed."));
    EXPECT_THAT(LServer.Requests(), testing::Each(testing::Not(testing::StartsWith("/file/"))));
    auto LStore = OpenSqliteRegistryStore(StoreFile());
    const std::vector<TOrvaneRegistryData> LRecords = ReadInstalledVersions(*LStore);
    ASSERT_EQ(LRecords.size(), 1u);
    EXPECT_EQ(LRecords[0].Path, LOld.Path);
    EXPECT_EQ(LRecords[0].DateTime, LOld.DateTime);
}

// The window holds the store's lock while it runs; the console program, a
// separate process, is refused while it is held and names the holder.
TEST_F(CliProcessTest, AConsoleRunIsRefusedWhileAnotherProcessHoldsTheStore) {
    {
        auto LStore = OpenSqliteRegistryStore(StoreFile());
        WriteRegistryData(*LStore, {"23.0", "1.4", "2026-12-02 11:30:00", "DEVELOPER", "DEVELOPER",
                                    (FTemp.Path() / "Orvane" / "23.0").string() + "/"});
    }
    const orvane::TProcessLock LHeld(orvane::StoreLockName(StoreFile()));
    ASSERT_EQ(LHeld.State(), orvane::TProcessLock::lsHeld);
    const TProgramRun LRefused = Run({"uninstall", "--all", "--ide-running", "stop", "--log-file",
                                      (FTemp.Path() / "run.log").string()});
    EXPECT_EQ(LRefused.Exit, 2);
    EXPECT_THAT(LRefused.Err, HasSubstr("Another installer is changing this registry store ("));
    // The holder is named from the system's list of locks, not from the file;
    // a system without that list says so instead.
    const long LListed = orvane::TProcessLock(orvane::StoreLockName(StoreFile())).HolderPid();
    EXPECT_THAT(LRefused.Err, HasSubstr(LListed != 0 ? "(pid " + std::to_string(getpid()) + ")"
                                                     : "(its process id is not known)"));
    const TProgramRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Exit, 0) << LStatus.Err;
    EXPECT_THAT(LStatus.Out, HasSubstr("23.0\t1.4\t"));
}

} // namespace
