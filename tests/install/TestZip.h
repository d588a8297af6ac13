#pragma once

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

// A fresh folder below the system temp folder, removed with everything in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    // The folder as text with a trailing separator, as the installer writes folders.
    std::string Dir() const;

private:
    std::filesystem::path FPath;
};

std::string ReadFileText(const std::filesystem::path& AFile);
void WriteFileText(const std::filesystem::path& AFile, const std::string& AText);
// Every file and folder below ARoot, relative, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& ARoot);
