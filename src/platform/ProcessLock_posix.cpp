#include "platform/ProcessLock.h"

#include "platform/FileNames.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orvane {

TProcessLock::TProcessLock(const std::string& AName) {
    const std::filesystem::path LFile = PathFromUtf8(AName);
    std::error_code LIgnored;
    std::filesystem::create_directories(LFile.parent_path(), LIgnored);
    FFile = ::open(LFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (FFile < 0) {
        // Made by another account (root beside the user's store): reading is
        // enough for flock.
        FFile = ::open(LFile.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (FFile < 0) {
        FError = AName + ": " + std::strerror(errno);
        return;
    }
    if (::flock(FFile, LOCK_EX | LOCK_NB) == 0) {
        FState = lsHeld;
        // Says who holds it, for a person looking; the lock is the flock.
        const std::string LPid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(FFile, 0) == 0 && ::write(FFile, LPid.data(), LPid.size()) < 0) {
            // Informational only.
        }
        return;
    }
    FState = errno == EWOULDBLOCK ? lsBusy : lsUnavailable;
    FError = AName + ": " + std::strerror(errno);
    ::close(FFile);
    FFile = -1;
}

TProcessLock::~TProcessLock() {
    if (FFile >= 0) {
        ::close(FFile);
    }
}

std::string StoreLockName(const std::filesystem::path& AStoreFile) {
    return Utf8FromPath(AStoreFile) + ".lock";
}

} // namespace orvane
