#pragma once

#include "platform/ProcessLock.h"

#include <QString>

#include <memory>
#include <string>

class TDialogService;

// One running installer per registry store: two copies would edit the same IDE
// keys and records and append to the same log. The lock belongs to the store,
// not to the environment a copy was started with (a copy under "sudo -E" has
// the user's data folder but root's runtime folder): here a file beside the
// store file, on Windows a mutex of the user's session and SID. The system
// drops it when its owner ends, so a crashed copy leaves nothing behind.
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& AName = DefaultFile());

    // True when this copy may run: it holds the lock now. A lock that cannot
    // be taken at all (a link or another account's file in its place) stops
    // the copy as well: running unlocked would let two copies meet.
    bool TryLock() const { return IsLocked(); }
    bool IsLocked() const { return FLock.State() == orvane::TProcessLock::lsHeld; }
    bool IsBusy() const { return FLock.State() == orvane::TProcessLock::lsBusy; }
    // Names the lock and says why it could not be taken.
    const std::string& Error() const { return FLock.Error(); }

    // The lock of the user's registry store.
    static QString DefaultFile();

private:
    orvane::TProcessLock FLock;
};

// Takes the lock for this copy. When another installer runs, or the lock
// cannot be taken, says so through ADialogs and returns null: this copy then ends.
std::unique_ptr<TInstanceLock> LockInstaller(TDialogService& ADialogs,
                                             const QString& AFile = TInstanceLock::DefaultFile());
