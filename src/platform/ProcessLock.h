#pragma once

#include <filesystem>
#include <string>

namespace orvane {

// An exclusive lock of this process, held until the object goes; the system
// drops it when the process ends, however it ends, so none is ever left stale.
class TProcessLock {
public:
    enum TState {
        lsHeld,        // this process holds it
        lsBusy,        // another holder has it
        lsUnavailable, // it cannot be kept here at all (see Error)
    };

    // Here AName is a file (created with its folder when missing, never
    // written, never followed when it is a link) locked with flock; on Windows
    // a named mutex.
    explicit TProcessLock(const std::string& AName);
    ~TProcessLock();
    TProcessLock(const TProcessLock&) = delete;
    TProcessLock& operator=(const TProcessLock&) = delete;

    TState State() const { return FState; }
    const std::string& Error() const { return FError; }
    // When busy: the process id of the holder, 0 when the system cannot tell.
    long HolderPid() const { return FHolder; }

private:
    TState FState = lsUnavailable;
    std::string FError;
    long FHolder = 0;
#ifdef _WIN32
    void* FHandle = nullptr;
    void* FHolderSection = nullptr;
#else
    int FFile = -1;
#endif
};

// The lock that keeps two installers off one registry store, whoever started
// them and with whatever environment. Here the file "<AStoreFile>.lock" beside
// the store; on Windows, where the store is the user's hive, a mutex in the
// global namespace named after the user's SID ("Global\OrvaneInstaller-S-1-5-..."),
// so that the same user's copies in two sessions meet.
std::string StoreLockName(const std::filesystem::path& AStoreFile);

} // namespace orvane
