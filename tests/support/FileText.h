#pragma once

// Whole-file reads and writes for tests; Qt-free, so the Windows build of the
// tests can use them too.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The file's bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::filesystem::path& AFile) {
    std::ifstream In(AFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

// Replaces the file with ABytes, creating its folder first.
inline void WriteFileText(const std::filesystem::path& AFile, const std::string& ABytes) {
    if (AFile.has_parent_path())
        std::filesystem::create_directories(AFile.parent_path());
    std::ofstream(AFile, std::ios::binary | std::ios::trunc) << ABytes;
}
