#pragma once

#include "platform/ProcessLock.h"

#include <QString>

#include <memory>

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

    // True when this copy may run: it holds the lock now, or no lock can be
    // kept there at all (an unusable folder must not keep the user out). False
    // only while another running copy holds it.
    bool TryLock() const { return FLock.State() != orvane::TProcessLock::lsBusy; }
    bool IsLocked() const { return FLock.State() == orvane::TProcessLock::lsHeld; }

    // The lock of the user's registry store.
    static QString DefaultFile();

private:
    orvane::TProcessLock FLock;
};

// Takes the lock for this copy. When another installer runs, says so through
// ADialogs and returns null: this copy then ends.
std::unique_ptr<TInstanceLock> LockInstaller(TDialogService& ADialogs,
                                             const QString& AFile = TInstanceLock::DefaultFile());
