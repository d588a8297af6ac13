#include "install/FileOperations.h"

#include <system_error>

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

} // namespace orvane
