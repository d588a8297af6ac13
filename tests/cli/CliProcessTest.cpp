// The real orvane-install binary as a process: arguments and output outside
// ASCII pass unchanged, and the exit codes reach the shell.
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

#include <fcntl.h>
#include <poll.h>
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
    TRunningProgram(const std::vector<std::string>& AArgs, const std::filesystem::path& AHome,
                    const std::filesystem::path& AErrFile) {
        int LPipe[2];
        if (pipe(LPipe) != 0) {
            return;
        }
        FPid = fork();
        if (FPid == 0) {
            dup2(LPipe[1], STDOUT_FILENO);
            const int LErr = open(AErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(LErr, STDERR_FILENO);
            const int LNull = open("/dev/null", O_RDONLY);
            dup2(LNull, STDIN_FILENO);
            close(LPipe[0]);
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
        close(LPipe[1]);
        FOut = LPipe[0];
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
        TRunningProgram LRun({"install",        "--edition",
                              "developer",      "--accept-terms",
                              "--versions",     "23.0",
                              "--server",       LServer.BaseUrl(),
                              "--download-dir", LDownloads.string(),
                              "--ide-dir",      (FTemp.Path() / "ide").string(),
                              "--getit",        "remove",
                              "--ide-running",  "stop",
                              "--existing-zip", "download",
                              "--installed",    "reinstall",
                              "--log-file",     LLog.string()},
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
    if (ReadFileText(orvane::StoreLockName(StoreFile()))
            .rfind(std::to_string(getpid()) + "\n", 0) == 0) {
        EXPECT_THAT(LRefused.Err, HasSubstr("(pid " + std::to_string(getpid()) + ")"));
    }
    const TProgramRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Exit, 0) << LStatus.Err;
    EXPECT_THAT(LStatus.Out, HasSubstr("23.0\t1.4\t"));
}

} // namespace
