#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

class TDialogService;

// One running installer per user session: two copies would edit the same IDE
// keys and records and append to the same log. The lock is a file in the
// per-user runtime folder (the user's temp folder on Windows); a lock whose
// owner no longer runs (it crashed) is taken over.
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& AFile = DefaultFile());

    // True when this copy may run: it holds the lock now, or no lock can be
    // kept there at all (an unusable folder must not keep the user out). False
    // only while another running copy holds it.
    bool TryLock();
    bool IsLocked() const { return FLock.isLocked(); }

    static QString DefaultFile();

private:
    QLockFile FLock;
};

// Takes the lock for this copy. When another installer runs, says so through
// ADialogs and returns null: this copy then ends.
std::unique_ptr<TInstanceLock> LockInstaller(TDialogService& ADialogs,
                                             const QString& AFile = TInstanceLock::DefaultFile());
