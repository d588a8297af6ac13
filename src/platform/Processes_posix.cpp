#include "platform/Processes.h"

#include "platform/FileNames.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include <unistd.h>

namespace orvane {

namespace {

std::string Lower(std::string AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return AText;
}

// Empty when the file cannot be read: a process that ends during the walk
// makes the read fail (libstdc++ then throws even without an exception mask).
std::string ReadWhole(const std::filesystem::path& AFile) {
    try {
        std::ifstream LIn(AFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(LIn), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return {};
    }
}

bool IsWineLoader(const std::string& AName) {
    const std::string LName = Lower(AName);
    return LName == "wine" || LName == "wine64" || LName == "wine-preloader" ||
           LName == "wine64-preloader";
}

// The process's real user, from its status; nullopt when it cannot be read (it
// ended, or /proc hides it).
std::optional<uid_t> ProcessUser(const std::filesystem::path& AProcDir) {
    const std::string LStatus = ReadWhole(AProcDir / "status");
    const std::size_t LAt = LStatus.find("\nUid:");
    if (LAt == std::string::npos) {
        return std::nullopt;
    }
    char* LEnd = nullptr;
    const unsigned long LUid = std::strtoul(LStatus.c_str() + LAt + 5, &LEnd, 10);
    if (LEnd == LStatus.c_str() + LAt + 5) {
        return std::nullopt;
    }
    return static_cast<uid_t>(LUid);
}

} // namespace

std::vector<TProcessInfo> FindRunningProcesses(const std::string& AExeName) {
    std::vector<TProcessInfo> LResult;
    const std::string LWanted = Lower(AExeName);
    const uid_t LOwnUser = geteuid();
    std::error_code LError;
    std::filesystem::directory_iterator LDir("/proc", LError);
    if (LError) {
        return LResult;
    }
    for (const auto& LEntry : LDir) {
        const std::string LPidText = LEntry.path().filename().string();
        if (LPidText.empty() || !std::all_of(LPidText.begin(), LPidText.end(), [](unsigned char c) {
                return std::isdigit(c) != 0;
            })) {
            continue;
        }
        // Arguments are NUL-separated. Under Wine the program is the Windows
        // path of the executable, or the loader followed by it.
        const std::string LCmdLine = ReadWhole(LEntry.path() / "cmdline");
        std::vector<std::string> LArgs;
        for (std::size_t LStart = 0; LStart < LCmdLine.size() && LArgs.size() < 2;) {
            std::size_t LEnd = LCmdLine.find('\0', LStart);
            if (LEnd == std::string::npos) {
                LEnd = LCmdLine.size();
            }
            LArgs.push_back(LCmdLine.substr(LStart, LEnd - LStart));
            LStart = LEnd + 1;
        }
        std::string LName;
        if (!LArgs.empty() && Lower(FileNamePart(LArgs[0])) == LWanted) {
            LName = LArgs[0];
        } else if (LArgs.size() > 1 && IsWineLoader(FileNamePart(LArgs[0])) &&
                   Lower(FileNamePart(LArgs[1])) == LWanted) {
            LName = LArgs[1];
        } else {
            std::string LComm = ReadWhole(LEntry.path() / "comm");
            while (!LComm.empty() && (LComm.back() == '\n' || LComm.back() == '\0')) {
                LComm.pop_back();
            }
            if (LComm.empty() || Lower(LComm) != LWanted) {
                continue;
            }
            LName = LComm;
        }
        // Another account's IDE writes back its own keys, not the ones changed here.
        if (ProcessUser(LEntry.path()) != LOwnUser) {
            continue;
        }
        LResult.push_back({static_cast<std::uint32_t>(std::stoul(LPidText)), LName});
    }
    return LResult;
}

} // namespace orvane
