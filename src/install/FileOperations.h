#pragma once

#include "platform/FileNames.h"

#include <filesystem>
#include <string>

namespace orvane {

bool DirectoryExists(const std::string& ADir);
// Creates ADir with all missing parents; true when it exists afterwards.
bool ForceDirectories(const std::string& ADir);
// True for an existing file that is not a directory.
bool FileExists(const std::string& AFile);
// Deletes a file (never a directory); false when there was none or it stays.
bool RemoveFile(const std::string& AFile);

} // namespace orvane
