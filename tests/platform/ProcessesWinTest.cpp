#include "platform/Processes.h"
#include "platform/Win32Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

// The file name of this test executable, in upper case, as a user might type it.
std::string OwnImageNameUpper() {
    wchar_t LPath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, LPath, MAX_PATH);
    std::string LName = orvane::Narrow(LPath);
    LName = LName.substr(LName.find_last_of("\\/") + 1);
    std::transform(LName.begin(), LName.end(), LName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return LName;
}

} // namespace

TEST(FindRunningProcessesWin, FindsThisProcessByItsImageName) {
    const auto LFound = orvane::FindRunningProcesses(OwnImageNameUpper());
    EXPECT_TRUE(std::any_of(LFound.begin(), LFound.end(), [](const orvane::TProcessInfo& AInfo) {
        return AInfo.Pid == GetCurrentProcessId();
    })) << OwnImageNameUpper();
    EXPECT_TRUE(orvane::FindRunningProcesses("orvane-nobody-runs-this.exe").empty());
}
