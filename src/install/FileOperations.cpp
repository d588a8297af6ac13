#include "install/FileOperations.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwctype>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/statvfs.h>
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

constexpr std::uint64_t KMeasured = UINT64_MAX;
std::atomic<std::uint64_t> GAvailableForTests{KMeasured};

std::optional<std::uint64_t> AvailableAt(const fs::path& AExisting) {
    if (const std::uint64_t LSet = GAvailableForTests.load(); LSet != KMeasured) {
        return LSet;
    }
    std::error_code LError;
    const fs::space_info LSpace = fs::space(AExisting, LError);
    if (LError) {
        return std::nullopt;
    }
    return LSpace.available;
}

} // namespace

std::optional<std::uint64_t> AvailableSpace(const std::string& AFolder) {
    return AvailableAt(NearestExistingFolder(PathFromUtf8(AFolder)));
}

std::uint64_t NeedsOnDriveOf(const std::vector<TSpaceNeed>& ANeeds, const std::string& AFolder) {
    const std::string LDrive = DriveOf(NearestExistingFolder(PathFromUtf8(AFolder)));
    std::uint64_t Result = 0;
    for (const TSpaceNeed& LNeed : ANeeds) {
        if (LDrive.empty() ||
            DriveOf(NearestExistingFolder(PathFromUtf8(LNeed.Folder))) == LDrive) {
            Result += LNeed.Bytes;
        }
    }
    return Result;
}

std::uint64_t AllocationUnit(const std::string& AFolder) {
    constexpr std::uint64_t KUsual = 4096;
    const fs::path LExisting = NearestExistingFolder(PathFromUtf8(AFolder));
#ifdef _WIN32
    wchar_t LRoot[MAX_PATH + 1] = {};
    DWORD LSectorsPerCluster = 0;
    DWORD LBytesPerSector = 0;
    DWORD LFree = 0;
    DWORD LTotal = 0;
    if (!GetVolumePathNameW(fs::absolute(LExisting).c_str(), LRoot, MAX_PATH) ||
        !GetDiskFreeSpaceW(LRoot, &LSectorsPerCluster, &LBytesPerSector, &LFree, &LTotal) ||
        LSectorsPerCluster == 0 || LBytesPerSector == 0) {
        return KUsual;
    }
    return std::uint64_t{LSectorsPerCluster} * LBytesPerSector;
#else
    struct statvfs LInfo {};
    if (statvfs(LExisting.c_str(), &LInfo) != 0 || LInfo.f_frsize == 0) {
        return KUsual;
    }
    return LInfo.f_frsize;
#endif
}

std::uint64_t AllocatedSize(std::uint64_t ASize, std::uint64_t AUnit) {
    const std::uint64_t LClusters = ASize / AUnit + (ASize % AUnit != 0 ? 1 : 0);
    const std::uint64_t LMost = UINT64_MAX / AUnit - 1;
    return (std::min(LClusters, LMost) + 1) * AUnit;
}

std::optional<std::uint64_t> SetAvailableSpaceForTests(std::optional<std::uint64_t> ABytes) {
    const std::uint64_t LBefore = GAvailableForTests.exchange(ABytes.value_or(KMeasured));
    return LBefore == KMeasured ? std::nullopt : std::optional<std::uint64_t>(LBefore);
}

void RequireFreeSpace(const std::vector<TSpaceNeed>& ANeeds) {
    struct TDrive {
        std::uint64_t Available = 0;
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
        const fs::path LExisting = NearestExistingFolder(PathFromUtf8(LNeed.Folder));
        const std::optional<std::uint64_t> LAvailable = AvailableAt(LExisting);
        if (!LAvailable) {
            continue; // nothing to measure: the writes themselves will tell
        }
        std::string LId = DriveOf(LExisting);
        if (LId.empty()) {
            LId = "folder:" + LNeed.Folder; // measured alone
        }
        auto LDrive = std::find_if(LDrives.begin(), LDrives.end(),
                                   [&](const TDrive& ADrive) { return ADrive.Id == LId; });
        if (LDrive == LDrives.end()) {
            LDrive = LDrives.insert(LDrives.end(), TDrive{*LAvailable, 0, LNeed.Folder, LId});
        }
        LDrive->Needed += LNeed.Bytes;
    }
    for (const TDrive& LDrive : LDrives) {
        if (LDrive.Needed > LDrive.Available) {
            throw std::runtime_error("Not enough free space for \"" + LDrive.Folder +
                                     "\": " + FormatByteSize(LDrive.Needed) + " needed, " +
                                     FormatByteSize(LDrive.Available) + " free");
        }
    }
}

} // namespace orvane
