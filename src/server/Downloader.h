#pragma once

#include "platform/FileNames.h"
#include "server/Credentials.h"
#include "server/HostThread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

namespace orvane {

class THttpClient;

// Fetches one resource from the API server without blocking the host thread
// (the window's GUI thread, the console's main thread). The transfer runs on a
// thread of its own; progress is posted to the host thread, and the final
// notification (exactly one of OnCompleted or OnError) runs there while the
// transfer waits for it. Handlers, MaxProgress and Progress belong to the host
// thread.
class TDownloader {
public:
    using TOnDownloadProgressProc = std::function<void(TDownloader& ASender)>;
    using TOnDownloadCompletedProc = std::function<void(TDownloader& ASender)>;
    // The exception lives only during the call.
    using TOnDownloadErrorProc = std::function<void(const std::exception& AError)>;

private:
    std::unique_ptr<THttpClient> FClient;
    std::unique_ptr<std::iostream> FStream;

public:
    std::string APIUrl;
    TCredentials Credentials;
    std::string Token;
    std::string Destination;
    bool AutoFree = false;
    std::int64_t MaxProgress = 0;
    std::int64_t Progress = 0;
    TOnDownloadProgressProc OnStarted;
    TOnDownloadProgressProc OnProgress;
    TOnDownloadCompletedProc OnCompleted;
    TOnDownloadErrorProc OnError;
    // Transfer thread: each block of the answer right after it is written, so
    // a digest is fed while the file downloads. Not called for the token.
    std::function<void(const char* AData, std::size_t ASize)> OnData;
    // Transfer thread: once the whole answer is written, before a file takes
    // its final name. Throwing fails the download through OnError, so an
    // answer that does not check out never carries the final name.
    std::function<void()> OnVerify;
    // Most bytes the answer may have, and why (for the message); a longer
    // answer stops there and fails through OnError. Zero: an answer kept in
    // memory stops at KMaxConfigurationBytes, a file has no limit.
    std::uint64_t MaxSize = 0;
    std::string MaxSizeReason;
    // Set by the owner when it no longer wants the answer: the transfer stops
    // and ends through OnError. Optional.
    std::shared_ptr<const std::atomic<bool>> Cancelled;
    // A file download that stops keeps its partial file with what identifies
    // it (ResumeStateFileName), and the next attempt, in this run or a later
    // one, asks for the rest only; a cut transfer is tried again up to
    // KMaxTransferRetries times with growing pauses. The partial file and its
    // side file stay after a failure that a later run can continue (a cut
    // transfer, a cancellation); after any other failure the side file is gone.
    bool Resumable = false;
    // Host thread, queued: what the transfer did on its own (tried again,
    // resumed, started over), for the log.
    std::function<void(const std::string& ALine)> OnNote;
    // A local file to copy instead of fetching AEndPoint (a bundle folder);
    // progress, limits, hashing and the final name work as for a download.
    std::string SourceFile;
    // The token request runs on the transfer's own thread: Download returns at
    // once and the host thread goes on with its work (a download started
    // ahead of its turn); a failed sign-in arrives through OnError.
    bool SignInAway = false;

    // AHost: where the notifications run; null: DefaultHostThread().
    TDownloader(std::string AAPIUrl, std::string AToken,
                std::shared_ptr<THostThread> AHost = nullptr);
    virtual ~TDownloader();
    TDownloader(const TDownloader&) = delete;
    TDownloader& operator=(const TDownloader&) = delete;

    // Host thread. Never throws: every outcome arrives through the handlers.
    // With AAutoFree the object deletes itself after its final notification,
    // so the caller must not touch it once this returned.
    void Download(const std::string& AEndPoint, const std::string& ADestFile, bool AAutoFree);

    // A file download is written here and takes its final name only when
    // complete; after a failure the partial file stays for the owner to remove.
    // The name is always the destination plus ".part", so a later run can find
    // it; the transfer creates it only when nothing has that name (a leftover
    // or somebody's file then fails the download with EFileExists, and is not
    // the owner's to remove). The final name replaces only what had it when
    // the transfer began, never a file or link that appeared meanwhile.
    static std::string PartialFileName(const std::string& ADestination) {
        return ADestination + std::string(KPartialSuffix);
    }

    // The answer: valid while OnCompleted runs (in memory or the open file).
    std::iostream* Stream() const { return FStream.get(); }
    // SHA-256 of the whole file written (a resumed part included), lower-case
    // hexadecimal: valid in OnVerify and OnCompleted of a file download.
    const std::string& Sha256() const { return FSha256; }

    // Host thread: cancels every running transfer and processes AHost's work
    // until each has delivered its final notification (for a window that
    // closes, a console interrupted).
    static void AbortAll(THostThread& AHost);
    static void AbortAll();
    // Downloaders alive, and transfers and token requests not yet finished,
    // process-wide.
    static int LiveCount();
    static int ActiveTransfers();

private:
    void CreateClient();
    std::string GetWhileHostRuns(const std::string& AUrl);
    void PostToHost(std::function<void()> AWork);
    void RunOnHostAndWait(std::function<void()> AWork);
    void PumpHost();
    void RunTransfer(const std::string& AEndPoint, bool ASignIn);
    void FetchFile(const std::string& AUrl, std::uint64_t AMaxSize, const std::string& AReason);
    void CopySourceFile(const std::function<void(const char*, std::size_t)>& AWrite);
    bool WantedNoMore() const;
    void Note(const std::string& ALine);
    // Closes the complete file, gives it its final name and reopens it there.
    void TakeFinalName();
    void DeliverCompleted();
    void DeliverError(std::exception_ptr AError);

    std::shared_ptr<THostThread> FHost;
    std::uint64_t FCancelEpoch = 0;
    // The destination's name was taken when the transfer began: the owner
    // chose to replace what is there. Anything else keeps its place.
    bool FReplaceDestination = false;
    // Progress from the transfer: one notification waits in the host's queue at a
    // time and reports the newest count when it runs.
    std::atomic<std::int64_t> FLatestProgress{0};
    std::atomic<bool> FProgressQueued{false};
    std::chrono::steady_clock::time_point FLastProgressPost; // transfer thread only
    // Bytes of the file already on disk before the current answer: the
    // answer's counts are shifted by it so progress covers the whole file.
    std::atomic<std::int64_t> FOffset{0};
    std::string FSha256;
};

} // namespace orvane
