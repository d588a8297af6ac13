#include "platform/Processes.h"
#include "support/StandInProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TTempFolder {
public:
    TTempFolder() {
        char LTemplate[] = "/tmp/processes-XXXXXX";
        FPath = mkdtemp(LTemplate);
    }
    ~TTempFolder() { fs::remove_all(FPath); }
    const fs::path& Path() const { return FPath; }

private:
    fs::path FPath;
};

// The name FindRunningProcesses gives APid, once the process has replaced its
// image (up to a second); empty when it is not listed. While the image is
// being replaced, the command line may read empty and only the short name
// shows, so the walk is repeated until AExpected shows, if given.
std::string NameFound(const std::string& AExeName, pid_t APid, const std::string& AExpected = {}) {
    std::string LFound;
    for (int LTry = 0; LTry < 100; ++LTry) {
        for (const auto& LProcess : orvane::FindRunningProcesses(AExeName)) {
            if (LProcess.Pid == static_cast<std::uint32_t>(APid)) {
                LFound = LProcess.Name;
            }
        }
        if (!LFound.empty() && (AExpected.empty() || LFound == AExpected)) {
            break;
        }
        usleep(10000);
    }
    return LFound;
}

void WriteExecutable(const fs::path& AFile, const std::string& AText) {
    std::ofstream(AFile) << AText;
    fs::permissions(AFile, fs::perms::owner_all);
}

} // namespace

TEST(FindRunningProcesses, FindsTheIDEByImageCommandLineOrWineLoader) {
    TTempFolder LDir;
    fs::copy_file("/bin/sleep", LDir.Path() / "bds.exe");
    fs::copy_file("/bin/sh", LDir.Path() / "wine64");
    // An IDE under Wine: argv[0] is its Windows path.
    WriteExecutable(
        LDir.Path() / "windows-path.sh",
        "#!/bin/bash\nexec -a 'C:\\Program Files (x86)\\Embarcadero\\Studio\\23.0\\bin\\"
        "BDS.EXE' sleep 30\n");
    // The loader followed by the program, as "wine64 bds.exe" shows it.
    fs::create_directories(LDir.Path() / "loader");
    WriteExecutable(LDir.Path() / "loader" / "bds.exe", "while :; do sleep 1; done\n");

    const std::string LDirText = LDir.Path().string();
    const struct {
        const char* Label;
        std::vector<std::string> Args;
        std::string Name;
    } LCases[] = {
        {"image named bds.exe", {LDirText + "/bds.exe", "30"}, LDirText + "/bds.exe"},
        {"Windows path in argv[0]",
         {LDirText + "/windows-path.sh"},
         "C:\\Program Files (x86)\\Embarcadero\\Studio\\23.0\\bin\\BDS.EXE"},
        {"Wine loader",
         {LDirText + "/wine64", LDirText + "/loader/bds.exe"},
         LDirText + "/loader/bds.exe"},
    };
    for (const auto& LCase : LCases) {
        TStandInProcess LProcess(LCase.Args);
        ASSERT_GT(LProcess.Pid(), 0) << LCase.Label;
        EXPECT_EQ(NameFound("bds.exe", LProcess.Pid(), LCase.Name), LCase.Name) << LCase.Label;
    }
}

TEST(FindRunningProcesses, LeavesOtherProcessesOut) {
    TStandInProcess LSleep({"/bin/sleep", "30"});
    ASSERT_GT(LSleep.Pid(), 0);
    // Found by its own name, so the walk sees it ...
    EXPECT_FALSE(NameFound("sleep", LSleep.Pid()).empty());
    // ... but it is no IDE, and a name nobody runs finds nothing.
    for (const auto& LProcess : orvane::FindRunningProcesses("bds.exe")) {
        EXPECT_NE(LProcess.Pid, static_cast<std::uint32_t>(LSleep.Pid()));
    }
    EXPECT_TRUE(orvane::FindRunningProcesses("orvane-nobody-runs-this.exe").empty());
}

// An IDE of another account writes back that account's keys, not this one's:
// it is not named, while this account's copy of the same program is.
TEST(FindRunningProcesses, LeavesOtherAccountsProcessesOut) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "starting a process as another user needs root";
    }
    TTempFolder LDir;
    fs::permissions(LDir.Path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::copy_file("/bin/sleep", LDir.Path() / "bds.exe");
    fs::permissions(LDir.Path() / "bds.exe",
                    fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    const std::string LProgram = (LDir.Path() / "bds.exe").string();
    const uid_t LNobody = 65534;
    TStandInProcess LOther({LProgram, "30"}, LNobody);
    TStandInProcess LOwn({LProgram, "30"});
    ASSERT_GT(LOther.Pid(), 0);
    ASSERT_GT(LOwn.Pid(), 0);
    EXPECT_EQ(NameFound("bds.exe", LOwn.Pid()), LProgram);
    // The other copy runs the same program (so only its owner can leave it out).
    std::string LComm;
    for (int LTry = 0; LTry < 100 && LComm != "bds.exe"; ++LTry) {
        usleep(10000);
        std::ifstream LIn("/proc/" + std::to_string(LOther.Pid()) + "/comm");
        std::getline(LIn, LComm);
    }
    ASSERT_EQ(LComm, "bds.exe");
    for (const auto& LProcess : orvane::FindRunningProcesses("bds.exe")) {
        EXPECT_NE(LProcess.Pid, static_cast<std::uint32_t>(LOther.Pid()));
    }
}
