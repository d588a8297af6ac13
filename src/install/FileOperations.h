#pragma once

#include "platform/FileNames.h"
#include "platform/Text.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

bool DirectoryExists(const std::string& ADir);
// Creates ADir with all missing parents; true when it exists afterwards.
bool ForceDirectories(const std::string& ADir);
// True for an existing file that is not a directory.
bool FileExists(const std::string& AFile);
// Deletes a file (never a directory); false when there was none or it stays.
bool RemoveFile(const std::string& AFile);

// Bytes an installation will write into a folder.
struct TSpaceNeed {
    std::string Folder;
    std::uint64_t Bytes = 0;
};
// Throws std::runtime_error naming the folder, the size needed and the size
// free when a drive lacks room for what is to be written to it; the needs of
// folders on one drive add up. A folder that does not exist yet is measured at
// its nearest existing parent.
void RequireFreeSpace(const std::vector<TSpaceNeed>& ANeeds);

// Free bytes this user may write to the drive that holds AFolder (measured at
// its nearest existing parent); nullopt when it cannot be measured.
std::optional<std::uint64_t> AvailableSpace(const std::string& AFolder);
// Of ANeeds, the bytes to be written to the drive that holds AFolder; all of
// them when the drives cannot be told apart.
std::uint64_t NeedsOnDriveOf(const std::vector<TSpaceNeed>& ANeeds, const std::string& AFolder);
// The drive's allocation unit (its cluster) at AFolder, measured at its
// nearest existing parent; 4096 when the system does not say.
std::uint64_t AllocationUnit(const std::string& AFolder);
// What a file of ASize bytes takes on a drive of AUnit clusters: its size
// rounded up to whole clusters, plus one for its entry in the folder. Many
// tiny files fill a drive long before their sizes add up.
std::uint64_t AllocatedSize(std::uint64_t ASize, std::uint64_t AUnit);
// Tests only: the free bytes every drive reports from now on (nullopt: what
// the drives say); returns the setting before.
std::optional<std::uint64_t> SetAvailableSpaceForTests(std::optional<std::uint64_t> ABytes);

} // namespace orvane
