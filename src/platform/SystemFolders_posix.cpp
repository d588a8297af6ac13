#include "platform/SystemFolders.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

namespace orvane {

namespace {

std::string Env(const char* AName) {
    const char* value = std::getenv(AName);
    return value ? value : "";
}

// XDG_DOCUMENTS_DIR from user-dirs.dirs: a shell assignment whose value is
// quoted and may start with $HOME.
std::string DocumentsDirFromUserDirs(const std::string& AHome) {
    std::string configHome = Env("XDG_CONFIG_HOME");
    if (configHome.empty() || configHome.front() != '/') {
        if (AHome.empty()) {
            return {};
        }
        configHome = AHome + "/.config";
    }
    std::ifstream in(configHome + "/user-dirs.dirs");
    std::string line;
    const std::string prefix = "XDG_DOCUMENTS_DIR=";
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line.compare(start, prefix.size(), prefix) != 0) {
            continue;
        }
        std::string value = line.substr(start + prefix.size());
        while (!value.empty() &&
               (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
            value.pop_back();
        }
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value.rfind("$HOME", 0) == 0) {
            if (AHome.empty()) {
                return {};
            }
            value = AHome + value.substr(5);
        }
        if (!value.empty() && value.front() == '/') {
            return value;
        }
    }
    return {};
}

std::string StripTrailingSeparators(std::string APath) {
    while (APath.size() > 1 && APath.back() == '/') {
        APath.pop_back();
    }
    return APath;
}

} // namespace

std::string GetCommonDocumentsDir() {
    const std::string fromEnv = Env("XDG_DOCUMENTS_DIR");
    if (!fromEnv.empty() && fromEnv.front() == '/') {
        return StripTrailingSeparators(fromEnv);
    }
    const std::string home = Env("HOME");
    const std::string fromFile = DocumentsDirFromUserDirs(home);
    if (!fromFile.empty()) {
        return StripTrailingSeparators(fromFile);
    }
    if (home.empty()) {
        return {};
    }
    return StripTrailingSeparators(home) + "/Documents";
}

std::string DefaultIDEFolder() {
    std::string home = Env("HOME");
    if (home.empty() || home.front() != '/') {
        const passwd* account = getpwuid(getuid());
        home = account && account->pw_dir && account->pw_dir[0] == '/' ? account->pw_dir : "/";
    }
    return IncludeTrailingPathDelimiter(StripTrailingSeparators(home));
}

std::string GetExecutableDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return IncludeTrailingPathDelimiter(std::filesystem::current_path().string());
    }
    return IncludeTrailingPathDelimiter(exe.parent_path().string());
}

std::string FullPathName(const std::string& APath) {
    if (APath.find('\0') != std::string::npos) {
        throw std::runtime_error(
            "The filename, directory name, or volume label syntax is incorrect.");
    }
    std::filesystem::path path(APath);
    if (!path.is_absolute()) {
        path = std::filesystem::current_path() / path;
    }
    std::string result = path.lexically_normal().string();
    // "/.." normalises to "/"; an empty result cannot occur for an absolute path.
    return result.empty() ? std::string("/") : result;
}

char PathDelimiter() {
    return '/';
}

std::string IncludeTrailingPathDelimiter(const std::string& APath) {
    if (!APath.empty() && APath.back() == PathDelimiter()) {
        return APath;
    }
    return APath + PathDelimiter();
}

std::string ExpandEnvironmentText(const std::string& AText) {
    std::string LResult;
    std::size_t LAt = 0;
    while (LAt < AText.size()) {
        const std::size_t LOpen = AText.find('%', LAt);
        const std::size_t LClose =
            LOpen == std::string::npos ? std::string::npos : AText.find('%', LOpen + 1);
        if (LClose == std::string::npos) {
            break;
        }
        LResult.append(AText, LAt, LOpen - LAt);
        const std::string LName = AText.substr(LOpen + 1, LClose - LOpen - 1);
        const char* LValue = LName.empty() ? nullptr : std::getenv(LName.c_str());
        if (LValue != nullptr) {
            LResult += LValue;
            LAt = LClose + 1;
        } else {
            // Kept, and its closing "%" may open the next name, as on Windows.
            LResult.append(AText, LOpen, LClose - LOpen);
            LAt = LClose;
        }
    }
    LResult.append(AText, LAt, std::string::npos);
    return LResult;
}

} // namespace orvane
