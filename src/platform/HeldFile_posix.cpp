#include "platform/HeldFile.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

THeldFile::THeldFile(const std::string& APath) : FPath(APath) {
    // O_NONBLOCK: opening a pipe must not wait for a writer; it is refused below.
    const int LFd = ::open(APath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (LFd < 0) {
        throw std::runtime_error(
            "Cannot open \"" + APath + "\": " +
            (errno == ELOOP ? std::string("it is a link") : std::string(std::strerror(errno))));
    }
    struct stat LStat {};
    if (::fstat(LFd, &LStat) != 0 || !S_ISREG(LStat.st_mode)) {
        ::close(LFd);
        throw std::runtime_error("\"" + APath + "\" is not a plain file");
    }
    ::fcntl(LFd, F_SETFL, ::fcntl(LFd, F_GETFL) & ~O_NONBLOCK);
    FHandle = LFd;
    FSize = static_cast<std::uint64_t>(LStat.st_size);
}

THeldFile::~THeldFile() {
    if (FHandle >= 0) {
        ::close(static_cast<int>(FHandle));
    }
}

std::size_t THeldFile::ReadAt(std::uint64_t AOffset, void* AData, std::size_t ASize) const {
    for (;;) {
        const ssize_t LRead =
            ::pread(static_cast<int>(FHandle), AData, ASize, static_cast<off_t>(AOffset));
        if (LRead >= 0) {
            return static_cast<std::size_t>(LRead);
        }
        if (errno != EINTR) {
            throw std::runtime_error("Cannot read \"" + FPath + "\": " + std::strerror(errno));
        }
    }
}

} // namespace orvane
