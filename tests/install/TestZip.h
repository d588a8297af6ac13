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

// Writes a zip of ACount stored entries "f/0", "f/1", ..., each holding AData,
// byte by byte as the format lays it out (ZIP64 records past 65535 entries):
// libzip takes minutes for a hundred thousand entries.
void WriteManyEntryZip(const std::filesystem::path& AFile, std::uint32_t ACount,
                       const std::string& AData);

// Rewrites the uncompressed size that AFile declares for entry AName, in its
// local header and in the central directory: a zip that lies about a size.
void SetDeclaredSize(const std::filesystem::path& AFile, const std::string& AName,
                     std::uint32_t ASize);

// Rewrites the CRC-32 that AFile records for entry AName, in both places: an
// entry whose data comes out whole but fails its check.
void SetCrc(const std::filesystem::path& AFile, const std::string& AName, std::uint32_t ACrc);

// Renames entry AFrom of AFile to ATo (of the same length) in its local header
// and in the central directory: a zip that holds what libzip will not write,
// such as two entries of one name.
void RenameEntry(const std::filesystem::path& AFile, const std::string& AFrom,
                 const std::string& ATo);

#ifndef _WIN32
// A full disk without a special file system: while this lives, files of this
// process cannot grow beyond ABytes and writes past it fail with EFBIG
// (SIGXFSZ ignored). The limit and the signal's disposition are restored.
class TFileSizeLimit {
public:
    explicit TFileSizeLimit(std::uint64_t ABytes);
    ~TFileSizeLimit();
    TFileSizeLimit(const TFileSizeLimit&) = delete;
    TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
    std::uint64_t FOldSoft = 0;
    void (*FOldHandler)(int) = nullptr;
};
#endif

// A folder as text with a trailing separator, as the installer writes folders.
std::string DirText(const std::filesystem::path& ADir);

// Every file and folder below ARoot, relative, sorted.
std::vector<std::string> ListTree(const std::filesystem::path& ARoot);
