#include "install/FileOperations.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

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

} // namespace

void RequireFreeSpace(const std::vector<TSpaceNeed>& ANeeds) {
    struct TDrive {
        fs::space_info Space;
        std::uint64_t Needed = 0;
        std::string Folder;
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
        const fs::space_info LSpace =
            fs::space(NearestExistingFolder(PathFromUtf8(LNeed.Folder)), LError);
        if (LError) {
            continue; // nothing to measure: the writes themselves will tell
        }
        // Folders on one drive report the same capacity and free space.
        auto LDrive = std::find_if(LDrives.begin(), LDrives.end(), [&](const TDrive& ADrive) {
            return ADrive.Space.capacity == LSpace.capacity &&
                   ADrive.Space.available == LSpace.available;
        });
        if (LDrive == LDrives.end()) {
            LDrive = LDrives.insert(LDrives.end(), TDrive{LSpace, 0, LNeed.Folder});
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
