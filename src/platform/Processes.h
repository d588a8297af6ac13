#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

struct TProcessInfo {
    std::uint32_t Pid = 0;
    // The executable as the system names it: the image name on Windows; here the
    // command line's program (an IDE run under Wine shows its Windows path there).
    std::string Name;
};

// Running processes of this account whose executable's file name is AExeName,
// letters compared without regard to case, in the system's listing order. This
// account: here the same user id as this process's effective one; on Windows
// the same session and token user. Other accounts' processes are left out. A process that ends or
// cannot be read during the walk is left out; an unreadable process list gives
// an empty result.
std::vector<TProcessInfo> FindRunningProcesses(const std::string& AExeName);

} // namespace orvane
