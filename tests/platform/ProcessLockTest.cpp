#include "platform/ProcessLock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
std::string TestLockName() {
    return "Global\\OrvaneInstallerTest-" + std::to_string(GetCurrentProcessId());
}
#else
// Below a folder that does not exist yet, as on a first start.
std::string TestLockName() {
    static const struct TDir {
        TDir() {
            char LTemplate[] = "/tmp/process-lock-XXXXXX";
            Path = mkdtemp(LTemplate);
        }
        ~TDir() { fs::remove_all(Path); }
        fs::path Path;
    } LDir;
    return (LDir.Path / "orvane" / "registry.sqlite.lock").string();
}
#endif

TEST(ProcessLock, OneHolderAtATimeAndFreeOnceItGoes) {
    {
        orvane::TProcessLock LFirst(TestLockName());
        ASSERT_EQ(LFirst.State(), orvane::TProcessLock::lsHeld) << LFirst.Error();
        orvane::TProcessLock LSecond(TestLockName());
        EXPECT_EQ(LSecond.State(), orvane::TProcessLock::lsBusy) << LSecond.Error();
    }
    orvane::TProcessLock LAgain(TestLockName());
    EXPECT_EQ(LAgain.State(), orvane::TProcessLock::lsHeld) << LAgain.Error();
    orvane::TProcessLock LBusy(TestLockName());
    EXPECT_EQ(LBusy.State(), orvane::TProcessLock::lsBusy) << LBusy.Error();
#ifdef _WIN32
    EXPECT_EQ(LBusy.HolderPid(), static_cast<long>(GetCurrentProcessId()));
#else
    EXPECT_EQ(LBusy.HolderPid(), static_cast<long>(getpid()));
#endif
}

#ifdef _WIN32
// Per user, not per session or folder: a copy in another session of the same
// user, or with other folders (another temp or profile setting), still meets
// the first.
TEST(ProcessLock, TheStoreLockIsTheUsersGlobalMutex) {
    const std::string LName = orvane::StoreLockName({});
    EXPECT_EQ(LName.rfind("Global\\OrvaneInstaller-S-1-", 0), 0u) << LName;
    EXPECT_EQ(orvane::StoreLockName("C:\\elsewhere\\x"), LName);
}
#else
TEST(ProcessLock, TheStoreLockLiesBesideTheStore) {
    EXPECT_EQ(orvane::StoreLockName("/home/u/.local/share/orvane/registry.sqlite"),
              "/home/u/.local/share/orvane/registry.sqlite.lock");
}

// Taken without writing and without following a link: a link put where the
// lock belongs (into a folder of the user's) empties no file it points to.
TEST(ProcessLock, ALinkInItsPlaceIsRefusedAndItsTargetLeftAlone) {
    const fs::path LDir = fs::path(TestLockName()).parent_path();
    fs::create_directories(LDir);
    const fs::path LTarget = LDir / "precious.txt";
    {
        std::ofstream LFile(LTarget);
        LFile << "keep me";
    }
    const fs::path LLink = LDir / "linked.lock";
    fs::create_symlink(LTarget, LLink);
    const fs::path LDangling = LDir / "dangling.lock";
    fs::create_symlink(LDir / "would-be-created", LDangling);
    for (const fs::path& LName : {LLink, LDangling}) {
        orvane::TProcessLock LLock(LName.string());
        EXPECT_EQ(LLock.State(), orvane::TProcessLock::lsUnavailable) << LName;
        EXPECT_EQ(LLock.Error().rfind(LName.string() + ": ", 0), 0u) << LLock.Error();
    }
    std::ifstream LFile(LTarget);
    std::string LText;
    std::getline(LFile, LText);
    EXPECT_EQ(LText, "keep me");
    EXPECT_FALSE(fs::exists(LDir / "would-be-created"));
}

// The lock is the system's: another process holding it keeps this one out, and
// its end frees the lock without any clean-up.
TEST(ProcessLock, AnotherProcessHoldingItKeepsThisOneOutUntilItEnds) {
    const std::string LName = TestLockName(); // one folder for both processes
    int LPipe[2];
    ASSERT_EQ(pipe(LPipe), 0);
    const pid_t LChild = fork();
    ASSERT_GE(LChild, 0);
    if (LChild == 0) {
        orvane::TProcessLock LLock(LName);
        const char LHeld = LLock.State() == orvane::TProcessLock::lsHeld ? 'y' : 'n';
        if (write(LPipe[1], &LHeld, 1) != 1) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    close(LPipe[1]);
    char LHeld = 0;
    ASSERT_EQ(read(LPipe[0], &LHeld, 1), 1);
    close(LPipe[0]);
    EXPECT_EQ(LHeld, 'y');
    {
        orvane::TProcessLock LLock(LName);
        EXPECT_EQ(LLock.State(), orvane::TProcessLock::lsBusy) << LLock.Error();
        EXPECT_EQ(LLock.HolderPid(), LChild);
    }
    kill(LChild, SIGKILL);
    waitpid(LChild, nullptr, 0);
    orvane::TProcessLock LAfter(LName);
    EXPECT_EQ(LAfter.State(), orvane::TProcessLock::lsHeld) << LAfter.Error();
}
#endif

} // namespace
