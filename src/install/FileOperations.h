#pragma once

#include "platform/FileNames.h"
#include "platform/Text.h"

#include <cstdint>
#include <filesystem>
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

} // namespace orvane
