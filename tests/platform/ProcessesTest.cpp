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
std::string NameFound(const std::string& AExeName, pid_t APid,
                      const std::string& AExpected = {}) {
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
