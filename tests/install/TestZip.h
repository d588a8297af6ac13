#pragma once

#include "support/FileText.h"

#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// A zip entry to write: a file with its data, a folder (name ending in "/"), or
// a symbolic link (AUnixMode with the link type, data = link target).
struct TTestZipEntry {
    std::string Name;
    std::string Data;
    std::uint32_t UnixMode = 0;
};

// Writes a real zip file with libzip (deflate for files). Throws on failure.
void WriteTestZip(const std::filesystem::path& AFile, const std::vector<TTestZipEntry>& AEntries);

// A folder as text with a trailing separator, as the installer writes folders.
std::string DirText(const std::filesystem::path& ADir);

// Every file and folder below ARoot, relative, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& ARoot);
