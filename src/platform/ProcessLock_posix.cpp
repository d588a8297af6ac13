#include "platform/ProcessLock.h"

#include "platform/FileNames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace orvane {

namespace {

// The kernel lists every lock with its holder: nothing the holder writes is
// needed, so nothing can be made to lie about it either. 0 where the system
// has no such list.
long FlockHolder(unsigned long long ADevice, unsigned long long AInode) {
    std::ifstream LLocks("/proc/locks");
    std::string LLine;
    while (std::getline(LLocks, LLine)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
        std::istringstream LFields(LLine);
        std::string LNumber, LKind, LMode, LAccess, LWhere;
        long LPid = 0;
        if (!(LFields >> LNumber >> LKind >> LMode >> LAccess >> LPid >> LWhere) ||
            LKind != "FLOCK") {
            continue;
        }
        unsigned int LMajor = 0, LMinor = 0;
        unsigned long long LInode = 0;
        if (std::sscanf(LWhere.c_str(), "%x:%x:%llu", &LMajor, &LMinor, &LInode) == 3 &&
            LInode == AInode && ::makedev(LMajor, LMinor) == ADevice && LPid > 0) {
            return LPid;
        }
    }
    return 0;
}

} // namespace

TProcessLock::TProcessLock(const std::string& AName) {
    const std::filesystem::path LFile = PathFromUtf8(AName);
    std::error_code LIgnored;
    std::filesystem::create_directories(LFile.parent_path(), LIgnored);
    // The store's folder is the user's while this may run as root: a link put
    // there must not lead anywhere, and nothing is ever written to the file
    // (flock needs no write access), so no file of anybody's can be harmed.
    // O_NONBLOCK: a FIFO of that name must not hang the start.
    FFile = ::open(LFile.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (FFile < 0) {
        FError = AName + ": " + std::strerror(errno);
        return;
    }
    struct stat LStat {};
    if (::fstat(FFile, &LStat) != 0 || !S_ISREG(LStat.st_mode)) {
        FError = AName + ": not a regular file";
        ::close(FFile);
        FFile = -1;
        return;
    }
    if (::flock(FFile, LOCK_EX | LOCK_NB) == 0) {
        FState = lsHeld;
        return;
    }
    const int LErrno = errno;
    FState = LErrno == EWOULDBLOCK ? lsBusy : lsUnavailable;
    FError = AName + ": " + std::strerror(LErrno);
    if (FState == lsBusy) {
        FHolder = FlockHolder(LStat.st_dev, LStat.st_ino);
    }
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
