#pragma once

#include <filesystem>
#include <string>

namespace orvane {

// Appends AText to AFile (created when missing) and returns only once the
// bytes are on the disk (fsync / FlushFileBuffers): a record written this way
// survives a kill or a power loss that comes after the call. Throws
// std::runtime_error naming the file.
void AppendDurably(const std::filesystem::path& AFile, const std::string& AText);

// Puts what was written to the existing file AFile, and its entry in its
// folder, on the disk. Throws std::runtime_error naming the file.
void FlushToDisk(const std::filesystem::path& AFile);

} // namespace orvane
