#include "platform/DurableFile.h"

#include "platform/FileNames.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace orvane {

namespace {

[[noreturn]] void Fail(const std::string& AWhat, const std::filesystem::path& AFile) {
    throw std::runtime_error(AWhat + " \"" + Utf8FromPath(AFile) + "\": " + std::strerror(errno));
}

// A new file's name is only durable once its folder is.
void SyncFolder(const std::filesystem::path& AFile) {
    const std::filesystem::path LFolder =
        AFile.has_parent_path() ? AFile.parent_path() : std::filesystem::path(".");
    const int LDir = ::open(LFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (LDir < 0) {
        Fail("Cannot open the folder", LFolder);
    }
    const int LResult = ::fsync(LDir);
    ::close(LDir);
    if (LResult != 0) {
        Fail("Cannot flush the folder", LFolder);
    }
}

} // namespace

void AppendDurably(const std::filesystem::path& AFile, const std::string& AText) {
    const int LFile = ::open(AFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (LFile < 0) {
        Fail("Cannot open", AFile);
    }
    std::size_t LDone = 0;
    while (LDone < AText.size()) {
        const ssize_t LWritten = ::write(LFile, AText.data() + LDone, AText.size() - LDone);
        if (LWritten < 0 && errno == EINTR) {
            continue;
        }
        if (LWritten <= 0) {
            const int LError = errno;
            ::close(LFile);
            errno = LError;
            Fail("Cannot write", AFile);
        }
        LDone += static_cast<std::size_t>(LWritten);
    }
    if (::fsync(LFile) != 0) {
        const int LError = errno;
        ::close(LFile);
        errno = LError;
        Fail("Cannot flush", AFile);
    }
    ::close(LFile);
    SyncFolder(AFile);
}

void FlushToDisk(const std::filesystem::path& AFile) {
    const int LFile = ::open(AFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (LFile < 0) {
        Fail("Cannot open", AFile);
    }
    const int LResult = ::fsync(LFile);
    ::close(LFile);
    if (LResult != 0) {
        Fail("Cannot flush", AFile);
    }
    SyncFolder(AFile);
}

} // namespace orvane
