#pragma once

#include "server/HostThread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace orvane {

// Every question the engine asks. The ids are stable: scripts and the console
// program's flags refer to them by name (QuestionIdName).
enum class TQuestionId {
    // A package file is already in the download folder: delete it and download
    // it again? No: the file is used as it is.
    ExistingZip,
    // The same or a newer version is recorded for the IDE version: install
    // anyway? No: the version is not installed.
    OlderVersionInstalled,
    // The IDE's package manager GetIt installed the framework: remove its
    // registry entries before installing? No: nothing is installed.
    GetItCleanup,
    // One GetIt installation: back up its registry key and remove it now?
    // No: it stays.
    GetItRemove,
    // The IDE is running and may write its lists back when it closes: go on
    // anyway? No: nothing is changed.
    IdeRunning,
};

// "ExistingZip", "OlderVersionInstalled", "GetItCleanup", "GetItRemove", "IdeRunning".
const char* QuestionIdName(TQuestionId AId);

struct TQuestion {
    TQuestionId Id;
    // The question as a person reads it (the window shows it as it is).
    std::string Text;
    // The answer when nobody gives one (a box closed without a button, a run
    // without a terminal). Never one that changes the IDE without consent.
    bool Default = false;
};

enum class TProgressPhase {
    // A package transfer began; Total is the size the server announced.
    ppDownloadStarted,
    // Bytes of Total received; the last report of a transfer has Bytes == Total.
    ppDownloading,
    // Bytes of Total written while the package is extracted.
    ppExtracting,
};

// Progress as data; each host formats and throttles it.
struct TProgress {
    TProgressPhase Phase = TProgressPhase::ppDownloading;
    // The IDE version being installed.
    std::string Version;
    std::int64_t Bytes = 0;
    // Negative: not known.
    std::int64_t Total = -1;
    // Average since the transfer began; negative: not known yet.
    double BytesPerSecond = -1;
};

// One token for the whole run. Setting it stops the running download (through
// its error path) and the versions not yet begun; what is half done is
// finished or failed as the step allows, never left with a final name.
class TCancellation {
public:
    // Any thread (the window's close). AReason completes "Installation
    // stopped: %s; ..." ("the window was closed").
    void Cancel(const std::string& AReason) {
        SetReason(AReason);
        Cancel();
    }
    // Only sets the flag, so a signal handler may call it; the reason is the
    // one set before.
    void Cancel() noexcept { FCancelled = true; }
    void SetReason(const std::string& AReason) {
        const std::lock_guard LLock(FMutex);
        FReason = AReason;
    }
    bool IsCancelled() const noexcept { return FCancelled || (FWatched && FWatched->load()); }
    std::string Reason() const {
        if (!FCancelled && FWatched && FWatched->load() && FWatchedReason) {
            return FWatchedReason();
        }
        const std::lock_guard LLock(FMutex);
        return FReason;
    }
    // A flag set elsewhere (a console's signal handler) that cancels the run
    // the moment it is set, with AReason's text; set before the run starts.
    void Watch(std::shared_ptr<const std::atomic<bool>> AFlag,
               std::function<std::string()> AReason) {
        FWatched = std::move(AFlag);
        FWatchedReason = std::move(AReason);
    }

private:
    static_assert(std::atomic<bool>::is_always_lock_free);
    std::atomic<bool> FCancelled{false};
    std::shared_ptr<const std::atomic<bool>> FWatched;
    std::function<std::string()> FWatchedReason;
    mutable std::mutex FMutex;
    std::string FReason = "the run was cancelled";
};

// Thrown by a host's Ask when the run was stopped while the question waited
// for its answer (Ctrl-C at a terminal): the question's step and every later
// one do not happen.
class EStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How long the engine lets the host thread go without processing its events
// while it waits (for a download, for work on another thread); well below the
// ~100 ms after which a window feels stuck.
constexpr std::chrono::milliseconds KHostPumpStep{10};

// What the engine needs from its front end (the window, the console program).
// Threads: the engine runs on the host thread, so every call below comes from
// the host thread, unless it says otherwise; work of background threads (the
// downloader's notifications) reaches the engine through Post (THostThread).
// The engine never runs an event loop of its own: where it waits, it calls
// ProcessPending, which lets the window paint and the console drain its queue.
class TInstallHost : public THostThread {
public:
    // One line of the install log; the last one is what a failed version's
    // report shows.
    virtual void Log(const std::string& ALine) = 0;
    // A warning the user must see; the run goes on.
    virtual void Warning(const std::string& AText) = 0;
    // A copy of AFile from AFolder that failed and is passed over; AText is
    // the platform's error text, all the window shows.
    virtual void CopyWarning(const std::string& AFile, const std::string& AFolder,
                             const std::string& AText) {
        (void)AFile;
        (void)AFolder;
        Warning(AText);
    }
    // A plain message (the outcome of one uninstallation).
    virtual void Message(const std::string& AText) = 0;
    // A yes/no question; true is yes.
    virtual bool Ask(const TQuestion& AQuestion) = 0;
    // Download and extraction progress.
    virtual void Progress(const TProgress& AProgress) = 0;
    // A registry backup was written to AFile, in AFolder.
    virtual void BackupWritten(const std::string& AFile, const std::string& AFolder) {
        (void)AFile;
        (void)AFolder;
    }

    // Any thread.
    TCancellation& Cancellation() { return FCancellation; }

private:
    TCancellation FCancellation;
};

} // namespace orvane
