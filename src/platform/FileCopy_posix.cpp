#include "platform/FileCopy.h"
#include "platform/NewFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace orvane {

namespace {

class TFd {
public:
    explicit TFd(int AFd) : FFd(AFd) {}
    ~TFd() {
        if (FFd >= 0) {
            ::close(FFd);
        }
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    int Release() {
        const int LFd = FFd;
        FFd = -1;
        return LFd;
    }

private:
    int FFd;
};

[[noreturn]] void ThrowSystemError(int AErrno) {
    throw std::runtime_error(std::strerror(AErrno));
}

} // namespace

void CopyFileNoOverwrite(const std::string& ASource, const std::string& ADest) {
    std::error_code LError;
    if (!fs::exists(fs::path(ASource), LError)) {
        throw std::runtime_error("The specified file was not found");
    }
    fs::path LDestDir = fs::path(ADest).parent_path();
    if (LDestDir.empty()) {
        LDestDir = ".";
    }
    if (!fs::is_directory(LDestDir, LError)) {
        throw std::runtime_error("The specified path was not found");
    }
    if (fs::exists(fs::symlink_status(fs::path(ADest), LError))) {
        throw std::runtime_error("The specified file already exists");
    }

    TFd LIn(::open(ASource.c_str(), O_RDONLY | O_CLOEXEC));
    if (LIn.Get() < 0) {
        ThrowSystemError(errno);
    }
    struct stat LStat {};
    if (::fstat(LIn.Get(), &LStat) != 0) {
        ThrowSystemError(errno);
    }
    if (S_ISDIR(LStat.st_mode)) {
        ThrowSystemError(EISDIR);
    }
    // O_EXCL keeps the no-overwrite promise even if the file appears meanwhile.
    TFd LOut(::open(ADest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, LStat.st_mode & 0777));
    if (LOut.Get() < 0) {
        if (errno == EEXIST) {
            throw std::runtime_error("The specified file already exists");
        }
        ThrowSystemError(errno);
    }

    int LFailure = 0;
    std::vector<char> LBuffer(64 * 1024);
    for (;;) {
        const ssize_t LRead = ::read(LIn.Get(), LBuffer.data(), LBuffer.size());
        if (LRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            LFailure = errno;
            break;
        }
        if (LRead == 0) {
            break;
        }
        ssize_t LDone = 0;
        while (LDone < LRead) {
            const ssize_t LWritten = ::write(LOut.Get(), LBuffer.data() + LDone,
                                             static_cast<std::size_t>(LRead - LDone));
            if (LWritten < 0) {
                if (errno == EINTR) {
                    continue;
                }
                LFailure = errno;
                break;
            }
            LDone += LWritten;
        }
        if (LFailure != 0) {
            break;
        }
    }
    if (LFailure == 0 && ::close(LOut.Release()) != 0) {
        LFailure = errno;
    }
    if (LFailure != 0) {
        ::unlink(ADest.c_str());
        ThrowSystemError(LFailure);
    }
}

std::FILE* OpenNewFile(const std::string& APath, bool& AExists, std::string& AError) {
    const int LFd = ::open(APath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (LFd < 0) {
        AExists = errno == EEXIST;
        AError = std::strerror(errno);
        return nullptr;
    }
    std::FILE* LFile = ::fdopen(LFd, "w+b");
    if (LFile == nullptr) {
        AError = std::strerror(errno);
        ::close(LFd);
        ::unlink(APath.c_str());
    }
    return LFile;
}

std::FILE* OpenOwnFile(const std::string& APath, std::string& AError, std::int64_t ACutTo) {
    const int LFd = ::open(APath.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (LFd < 0) {
        AError = std::strerror(errno);
        return nullptr;
    }
    struct stat LStat {};
    if (::fstat(LFd, &LStat) != 0 || !S_ISREG(LStat.st_mode) || LStat.st_nlink != 1) {
        AError = "it is not a plain file of its own";
        ::close(LFd);
        return nullptr;
    }
    if (ACutTo >= 0 && LStat.st_size < ACutTo) {
        AError = "it is shorter than the " + std::to_string(ACutTo) + " bytes it should hold";
        ::close(LFd);
        return nullptr;
    }
    if (ACutTo >= 0 && ::ftruncate(LFd, static_cast<off_t>(ACutTo)) != 0) {
        AError = std::strerror(errno);
        ::close(LFd);
        return nullptr;
    }
    std::FILE* LFile = ::fdopen(LFd, "a+b");
    if (LFile == nullptr) {
        AError = std::strerror(errno);
        ::close(LFd);
    }
    return LFile;
}

void RenameNoReplace(const std::string& ASource, const std::string& ADest) {
    int LResult = ::renameat2(AT_FDCWD, ASource.c_str(), AT_FDCWD, ADest.c_str(), RENAME_NOREPLACE);
    if (LResult != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag: a hard link is refused as well when
        // the name is taken.
        LResult = ::link(ASource.c_str(), ADest.c_str());
        if (LResult == 0) {
            ::unlink(ASource.c_str());
        }
    }
    if (LResult != 0) {
        throw std::runtime_error("Cannot rename \"" + ASource + "\" to \"" + ADest + "\". " +
                                 std::strerror(errno));
    }
}

} // namespace orvane
