#include "install/FileOperations.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace orvane {

bool DirectoryExists(const std::string& ADir) {
    if (ADir.empty()) {
        return false;
    }
    std::error_code LError;
    return fs::is_directory(PathFromUtf8(ADir), LError);
}

bool ForceDirectories(const std::string& ADir) {
    if (ADir.empty()) {
        return false;
    }
    const fs::path LPath = PathFromUtf8(ADir);
    std::error_code LError;
    fs::create_directories(LPath, LError);
    return fs::is_directory(LPath, LError);
}

bool FileExists(const std::string& AFile) {
    if (AFile.empty()) {
        return false;
    }
    std::error_code LError;
    const fs::file_status LStatus = fs::status(PathFromUtf8(AFile), LError);
    return fs::exists(LStatus) && !fs::is_directory(LStatus);
}

bool RemoveFile(const std::string& AFile) {
    if (!FileExists(AFile)) {
        return false;
    }
    std::error_code LError;
    fs::remove(PathFromUtf8(AFile), LError);
    return !LError && !FileExists(AFile);
}

namespace {

fs::path NearestExistingFolder(fs::path APath) {
    std::error_code LError;
    while (!fs::is_directory(APath, LError) && APath.has_relative_path()) {
        APath = APath.parent_path();
    }
    return APath;
}

// Which drive holds AFolder (an existing folder); empty when unknown. Free
// space cannot tell drives apart: it moves while other programs write.
std::string DriveOf(const fs::path& AFolder) {
#ifdef _WIN32
    wchar_t LRoot[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(fs::absolute(AFolder).c_str(), LRoot, MAX_PATH)) {
        return {};
    }
    std::string LKey;
    for (const wchar_t* LChar = LRoot; *LChar != 0; ++LChar) {
        LKey += std::to_string(static_cast<unsigned>(towlower(*LChar))) + ',';
    }
    return LKey;
#else
    struct stat LInfo {};
    if (stat(AFolder.c_str(), &LInfo) != 0) {
        return {};
    }
    return std::to_string(static_cast<unsigned long long>(LInfo.st_dev));
#endif
}

} // namespace

void RequireFreeSpace(const std::vector<TSpaceNeed>& ANeeds) {
    struct TDrive {
        fs::space_info Space;
        std::uint64_t Needed = 0;
        std::string Folder;
        std::string Id;
    };
    // Each folder is measured once, however many needs name it.
    std::vector<TSpaceNeed> LFolders;
    std::unordered_map<std::string, std::size_t> LAt;
    for (const TSpaceNeed& LNeed : ANeeds) {
        const auto [LFound, LNew] = LAt.emplace(LNeed.Folder, LFolders.size());
        if (LNew) {
            LFolders.push_back(LNeed);
        } else {
            LFolders[LFound->second].Bytes += LNeed.Bytes;
        }
    }
    std::vector<TDrive> LDrives;
    for (const TSpaceNeed& LNeed : LFolders) {
        std::error_code LError;
        const fs::path LExisting = NearestExistingFolder(PathFromUtf8(LNeed.Folder));
        const fs::space_info LSpace = fs::space(LExisting, LError);
        if (LError) {
            continue; // nothing to measure: the writes themselves will tell
        }
        std::string LId = DriveOf(LExisting);
        if (LId.empty()) {
            LId = "folder:" + LNeed.Folder; // measured alone
        }
        auto LDrive = std::find_if(LDrives.begin(), LDrives.end(),
                                   [&](const TDrive& ADrive) { return ADrive.Id == LId; });
        if (LDrive == LDrives.end()) {
            LDrive = LDrives.insert(LDrives.end(), TDrive{LSpace, 0, LNeed.Folder, LId});
        }
        LDrive->Needed += LNeed.Bytes;
    }
    for (const TDrive& LDrive : LDrives) {
        if (LDrive.Needed > LDrive.Space.available) {
            throw std::runtime_error("Not enough free space for \"" + LDrive.Folder +
                                     "\": " + FormatByteSize(LDrive.Needed) + " needed, " +
                                     FormatByteSize(LDrive.Space.available) + " free");
        }
    }
}

} // namespace orvane
