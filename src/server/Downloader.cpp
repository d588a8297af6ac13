#include "server/Downloader.h"

#include "platform/FileNames.h"
#include "platform/NewFile.h"
#include "platform/Text.h"
#include "server/DownloadResume.h"
#include "server/HttpClient.h"
#include "server/Protocol.h"
#include "server/Sha256.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace orvane {

namespace {

const char* const KTokenLimitReason = "the most a token answer can be";

// How often a resumable download records what it has flushed.
constexpr std::int64_t KCheckpointBytes = std::int64_t{8} << 20;

// A progress bar needs no more; waking the host thread per block costs throughput.
constexpr auto KProgressInterval = std::chrono::milliseconds(10);

std::atomic<int> GLive{0};
std::atomic<int> GActive{0};

// A program that ends while transfers run (the window closed mid-download, a
// console interrupted) stops them and lets each end through its error path
// before the process tears down what they use.
struct TTransfersAtExit {
    ~TTransfersAtExit() {
        if (GActive.load() == 0) {
            return;
        }
        THttpClient::CancelAll();
        const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (GActive.load() > 0 && std::chrono::steady_clock::now() < LDeadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
};

void WatchTransfersAtExit() {
    static TTransfersAtExit LWatch;
}

template <class THandler, class... TArgs>
void CallHandler(const THandler& AHandler, TArgs&&... AArgs) {
    if (!AHandler) {
        return;
    }
    // A handler's own failure must not cross into the transfer or the host's
    // dispatch; the download has ended either way.
    try {
        AHandler(std::forward<TArgs>(AArgs)...);
    } catch (...) {
    }
}

} // namespace

TDownloader::TDownloader(std::string AAPIUrl, std::string AToken,
                         std::shared_ptr<THostThread> AHost)
    : APIUrl(std::move(AAPIUrl)), Token(std::move(AToken)), FHost(std::move(AHost)) {
    if (!FHost) {
        FHost = DefaultHostThread();
    }
    if (!FHost) {
        // No program set a host: the creating thread is it, and it runs the
        // notifications whenever it processes its queue.
        FHost = std::make_shared<TQueuedHostThread>();
    }
    ++GLive;
}

TDownloader::~TDownloader() {
    --GLive;
}

int TDownloader::LiveCount() {
    return GLive.load();
}

int TDownloader::ActiveTransfers() {
    return GActive.load();
}

void TDownloader::AbortAll(THostThread& AHost) {
    THttpClient::CancelAll();
    while (GActive.load() > 0) {
        AHost.ProcessPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void TDownloader::AbortAll() {
    if (const std::shared_ptr<THostThread> LHost = DefaultHostThread()) {
        AbortAll(*LHost);
        return;
    }
    THttpClient::CancelAll();
}

// Progress: posted to the host thread, or run at once when raised there.
void TDownloader::PostToHost(std::function<void()> AWork) {
    if (FHost->IsHostThread()) {
        AWork();
        return;
    }
    FHost->Post(std::move(AWork));
}

// The final notification: runs on the host thread while the calling thread
// waits. A host that stops running posted work (a program that ends) would
// leave the wait hanging, so it gives up when the call has not started by then.
void TDownloader::RunOnHostAndWait(std::function<void()> AWork) {
    if (FHost->IsHostThread()) {
        AWork();
        return;
    }
    struct TCall {
        enum { csPending, csRunning, csAbandoned };
        std::atomic<int> State{csPending};
        std::mutex Mutex;
        std::condition_variable Finished;
        bool Done = false;
    };
    auto LCall = std::make_shared<TCall>();
    if (FHost->IsShuttingDown()) {
        return;
    }
    FHost->Post([LCall, AWork = std::move(AWork)] {
        int LExpected = TCall::csPending;
        if (!LCall->State.compare_exchange_strong(LExpected, TCall::csRunning)) {
            return;
        }
        AWork();
        {
            const std::lock_guard LLock(LCall->Mutex);
            LCall->Done = true;
        }
        LCall->Finished.notify_all();
    });
    std::unique_lock LLock(LCall->Mutex);
    while (!LCall->Finished.wait_for(LLock, std::chrono::milliseconds(20),
                                     [&LCall] { return LCall->Done; })) {
        if (FHost->IsShuttingDown()) {
            int LExpected = TCall::csPending;
            if (LCall->State.compare_exchange_strong(LExpected, TCall::csAbandoned)) {
                return;
            }
        }
    }
}

// Keeps the window painting. Nested pumps from notifications delivered by an
// outer pump are skipped so a burst of queued progress cannot grow the stack.
void TDownloader::PumpHost() {
    static thread_local bool LPumping = false;
    if (LPumping) {
        return;
    }
    LPumping = true;
    FHost->ProcessPending();
    LPumping = false;
}

void TDownloader::CreateClient() {
    FClient = std::make_unique<THttpClient>();
    FClient->OnBegin = [this](std::int64_t AExpected) {
        if (AExpected >= 0) {
            AExpected += FOffset;
        }
        PostToHost([this, AExpected] {
            MaxProgress = AExpected;
            CallHandler(OnStarted, *this);
            PumpHost();
        });
    };
    FClient->OnProgress = [this](std::int64_t AReceived) {
        AReceived += FOffset;
        if (FHost->IsHostThread()) {
            Progress = AReceived;
            CallHandler(OnProgress, *this);
            PumpHost();
            return;
        }
        // A host thread slower than the network would otherwise face one
        // queued call per received block.
        FLatestProgress = AReceived;
        const auto LNow = std::chrono::steady_clock::now();
        if (LNow - FLastProgressPost < KProgressInterval || FProgressQueued.exchange(true)) {
            return;
        }
        FLastProgressPost = LNow;
        PostToHost([this] {
            FProgressQueued = false;
            Progress = FLatestProgress;
            CallHandler(OnProgress, *this);
            PumpHost();
        });
    };
    FClient->OnEnd = [this](std::int64_t AReceived) {
        AReceived += FOffset;
        PostToHost([this, AReceived] {
            // Without an announced length the end still reports a full bar.
            if (MaxProgress < 0) {
                MaxProgress = AReceived;
            }
            Progress = MaxProgress;
            CallHandler(OnProgress, *this);
            PumpHost();
        });
    };
}

void TDownloader::Download(const std::string& AEndPoint, const std::string& ADestFile,
                           bool AAutoFree) {
    WatchTransfersAtExit();
    AutoFree = AAutoFree;
    Destination = ADestFile;
    FCancelEpoch = THttpClient::CancelEpoch();
    // Not wanted before it began: nothing is asked of the server.
    if (Cancelled && *Cancelled) {
        DeliverError(std::make_exception_ptr(THttpError("The download was cancelled")));
        if (AutoFree) {
            delete this;
        }
        return;
    }

    // A local source file needs no sign-in.
    const bool LSignIn = !IsAbsoluteEndpoint(AEndPoint) && Token.empty() && SourceFile.empty();
    if (LSignIn && !SignInAway) {
        try {
            if (!FClient) {
                CreateClient();
            }
            const std::string LUrl = TokenUrl(APIUrl, Credentials);
            FClient->PinCancelEpoch(FCancelEpoch);
            std::string LBody;
            try {
                LBody = GetWhileHostRuns(LUrl);
            } catch (...) {
                FClient.reset();
                Token.clear();
                throw;
            }
            Token = ReadTokenAnswer(LBody);
        } catch (...) {
            DeliverError(std::current_exception());
            if (AutoFree) {
                delete this;
            }
            return;
        }
    }

    ++GActive;
    try {
        std::thread([this, AEndPoint, LAway = LSignIn && SignInAway] {
            RunTransfer(AEndPoint, LAway);
        }).detach();
    } catch (const std::exception&) {
        --GActive;
        DeliverError(std::current_exception());
        if (AutoFree) {
            delete this;
        }
    }
}

// Off the host thread (a sign-in on the transfer's thread) the request simply
// runs. On it, the token request holds up its caller but not the window:
// the request runs on a thread of its own while this one keeps processing the
// host's work, so the window paints, and closing it cancels the request
// (AbortAll waits for it like for a transfer). Whatever HTTP client is used, a
// silent server cannot freeze the window.
std::string TDownloader::GetWhileHostRuns(const std::string& AUrl) {
    if (!FHost->IsHostThread()) {
        return FClient->GetText(AUrl, KMaxTokenAnswerBytes, KTokenLimitReason);
    }
    struct TRequest {
        std::string Body;
        std::exception_ptr Error;
        std::mutex Mutex;
        std::condition_variable Changed;
        bool Finished = false;
    };
    auto LRequest = std::make_shared<TRequest>();
    ++GActive;
    std::thread LThread([this, AUrl, LRequest] {
        try {
            LRequest->Body = FClient->GetText(AUrl, KMaxTokenAnswerBytes, KTokenLimitReason);
        } catch (...) {
            LRequest->Error = std::current_exception();
        }
        --GActive;
        {
            const std::lock_guard LLock(LRequest->Mutex);
            LRequest->Finished = true;
        }
        LRequest->Changed.notify_all();
    });
    for (;;) {
        {
            std::unique_lock LLock(LRequest->Mutex);
            if (LRequest->Changed.wait_for(LLock, std::chrono::milliseconds(10),
                                           [&LRequest] { return LRequest->Finished; })) {
                break;
            }
        }
        FHost->ProcessPending();
    }
    LThread.join();
    // The answer's progress notifications were posted from that thread; they
    // run now, before the caller goes on (and before this object may go).
    FHost->RunPosted();
    if (LRequest->Error) {
        std::rethrow_exception(LRequest->Error);
    }
    return LRequest->Body;
}

void TDownloader::RunTransfer(const std::string& AEndPoint, bool ASignIn) {
    std::exception_ptr LError;
    try {
        if (!FClient) {
            CreateClient();
        }
        FClient->PinCancelEpoch(FCancelEpoch);
        if (ASignIn) {
            Token = ReadTokenAnswer(GetWhileHostRuns(TokenUrl(APIUrl, Credentials)));
            if (WantedNoMore()) {
                throw THttpError("The download was cancelled");
            }
        }
        const std::string LUrl = RequestUrl(AEndPoint, APIUrl, Token);
        const bool LInMemory = Destination.empty();
        const std::uint64_t LMaxSize =
            MaxSize != 0 ? MaxSize : (LInMemory ? KMaxConfigurationBytes : UINT64_MAX);
        const std::string LMaxSizeReason =
            MaxSize != 0 || !LInMemory ? MaxSizeReason : "the most a configuration can be";
        if (!LInMemory) {
            FetchFile(LUrl, LMaxSize, LMaxSizeReason);
        } else {
            FStream = std::make_unique<std::stringstream>(std::ios::in | std::ios::out |
                                                          std::ios::binary);
            if (WantedNoMore()) {
                throw THttpError("The download was cancelled");
            }
            std::uint64_t LWritten = 0;
            FClient->Get(LUrl, [&](const char* AData, std::size_t ASize) {
                if (WantedNoMore()) {
                    throw THttpError("The download was cancelled");
                }
                // Stops before the block is kept: nothing beyond the limit is stored.
                if (ASize > LMaxSize - LWritten) {
                    throw THttpError(AnswerTooLargeText(LMaxSize, LMaxSizeReason));
                }
                LWritten += ASize;
                if (!FStream->write(AData, static_cast<std::streamsize>(ASize))) {
                    throw std::runtime_error("Out of memory");
                }
                if (OnData) {
                    OnData(AData, ASize);
                }
            });
            if (OnVerify) {
                OnVerify();
            }
        }
        FStream->seekg(0);
    } catch (...) {
        LError = std::current_exception();
    }

    if (LError) {
        DeliverError(LError);
    } else {
        DeliverCompleted();
    }

    if (AutoFree) {
        FClient.reset();
    }
    FStream.reset();
    const bool LFree = AutoFree;
    if (LFree) {
        delete this;
    }
    --GActive;
}

bool TDownloader::WantedNoMore() const {
    return (Cancelled && *Cancelled) || THttpClient::CancelEpoch() != FCancelEpoch;
}

void TDownloader::Note(const std::string& ALine) {
    PostToHost([this, ALine] { CallHandler(OnNote, ALine); });
}

namespace {

// Feeds the first ABytes of a file into AHasher.
void HashFilePart(const std::string& AFile, std::int64_t ABytes, TStreamHasher& AHasher) {
    std::ifstream LIn(PathFromUtf8(AFile), std::ios::binary);
    std::vector<char> LBuffer(256 * 1024);
    while (ABytes > 0 && LIn) {
        const auto LWant = static_cast<std::streamsize>(
            std::min<std::int64_t>(ABytes, static_cast<std::int64_t>(LBuffer.size())));
        LIn.read(LBuffer.data(), LWant);
        const std::streamsize LGot = LIn.gcount();
        if (LGot <= 0) {
            break;
        }
        AHasher.Update(LBuffer.data(), static_cast<std::size_t>(LGot));
        ABytes -= LGot;
    }
    if (ABytes != 0) {
        throw std::runtime_error("Cannot read \"" + AFile + "\"");
    }
}

} // namespace

// A file download: into the partial file, resumed from what an earlier attempt
// left when it is still the same file on the server, tried again while a
// transfer breaks off, hashed whole, and renamed only when complete.
void TDownloader::FetchFile(const std::string& AUrl, std::uint64_t AMaxSize,
                            const std::string& AReason) {
    const std::string LPartial = PartialFileName(Destination);
    const std::string LStateFile = ResumeStateFileName(Destination);
    const std::string LName = FileNamePart(Destination);
    const bool LResumable = Resumable && SourceFile.empty();
    std::unique_ptr<TStreamHasher> LHasher = NewSha256Hasher();
    TResumeState LState;
    LState.FileName = LName;
    std::int64_t LFrom = 0;
    // The partial file its own side file claims; anything else under that name
    // is somebody else's, and creating the partial file refuses it.
    bool LOurs = false;
    // The partial file continued, opened once: only a plain file of its own
    // is measured, cut back and written, all through that one opening, so a
    // link put in its place is never followed.
    std::unique_ptr<TNewFile> LContinued;
    if (LResumable) {
        const std::optional<TResumeState> LKept = ReadResumeState(LStateFile);
        LOurs = LKept && LKept->FileName == LName;
        if (LOurs && LKept->Size > 0 && !LKept->Validator().empty() &&
            static_cast<std::uint64_t>(LKept->Size) <= AMaxSize) {
            try {
                // Bytes beyond the recorded size may not have reached the disk whole.
                LContinued =
                    std::make_unique<TNewFile>(LPartial, TNewFile::nfContinue, LKept->Size);
                LState = *LKept;
                LFrom = LKept->Size;
            } catch (const std::exception&) {
                // Not continued: the part makes room for a new one below.
            }
        }
    }
    if (LFrom > 0) {
        HashFilePart(LPartial, LFrom, *LHasher);
        Note("Resuming the download of \"" + LName + "\" at " + std::to_string(LFrom) + " bytes");
    } else {
        std::error_code LIgnored;
        std::filesystem::remove(PathFromUtf8(LStateFile), LIgnored);
        // An earlier attempt's part that cannot be continued makes room for a
        // new one (removing a name never follows a link).
        if (LOurs) {
            std::filesystem::remove(PathFromUtf8(LPartial), LIgnored);
        }
    }
    // The final name replaces only what had it when the transfer began.
    std::error_code LDestinationError;
    FReplaceDestination =
        std::filesystem::symlink_status(PathFromUtf8(Destination), LDestinationError).type() !=
        std::filesystem::file_type::not_found;
    // A fresh partial file is created only where nothing has its name (a link
    // included), so a file of somebody else's is never written through. Its
    // record is written first: a run killed at any moment after leaves a part
    // the next run knows as its own, to continue or start over.
    bool LClaimed = false;
    if (!LContinued && LResumable) {
        std::error_code LMissing;
        if (std::filesystem::symlink_status(PathFromUtf8(LPartial), LMissing).type() ==
            std::filesystem::file_type::not_found) {
            TResumeState LClaim;
            LClaim.FileName = LName;
            WriteResumeState(LStateFile, LClaim);
            LClaimed = true;
        }
    }
    try {
        FStream = LContinued ? std::move(LContinued) : std::make_unique<TNewFile>(LPartial);
    } catch (const EFileExists&) {
        // What took the name meanwhile is not ours, and the record must not say so.
        if (LClaimed) {
            std::error_code LIgnored;
            std::filesystem::remove(PathFromUtf8(LStateFile), LIgnored);
        }
        throw EFileExists("The partial file " + Quoted(LPartial) +
                          " was not left by this installer (no \".resume\" record of it is "
                          "beside it); it was left alone: move or delete it, then run again");
    } catch (...) {
        if (LClaimed) {
            std::error_code LIgnored;
            std::filesystem::remove(PathFromUtf8(LStateFile), LIgnored);
        }
        throw;
    }

    std::int64_t LWritten = LFrom;
    std::int64_t LCheckpoint = LFrom;
    const auto LStartOver = [&] {
        FStream.reset();
        std::error_code LIgnored;
        std::filesystem::remove(PathFromUtf8(LPartial), LIgnored);
        FStream = std::make_unique<TNewFile>(LPartial);
        LHasher = NewSha256Hasher();
        LFrom = 0;
        LWritten = 0;
        LCheckpoint = 0;
        FOffset = 0;
    };
    const auto LKeepState = [&] {
        if (!FStream->flush()) {
            return false;
        }
        LState.Size = LWritten;
        try {
            WriteResumeState(LStateFile, LState);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    };
    const auto LWrite = [&](const char* AData, std::size_t ASize) {
        if (WantedNoMore()) {
            throw THttpError("The download was cancelled");
        }
        // Stops before the block is kept: nothing beyond the limit is stored.
        if (ASize > AMaxSize - static_cast<std::uint64_t>(LWritten)) {
            throw THttpError(AnswerTooLargeText(AMaxSize, AReason));
        }
        if (!FStream->write(AData, static_cast<std::streamsize>(ASize))) {
            throw std::runtime_error("Failed to write \"" + Destination + "\"");
        }
        LWritten += static_cast<std::int64_t>(ASize);
        LHasher->Update(AData, ASize);
        // A program that is killed keeps what it had flushed at its last checkpoint.
        if (LResumable && LWritten - LCheckpoint >= KCheckpointBytes &&
            !LState.Validator().empty()) {
            LCheckpoint = LWritten;
            LKeepState();
        }
        if (OnData) {
            OnData(AData, ASize);
        }
    };
    FClient->OnHead = [&](const TAnswerHead& AHead) {
        // A part counts only as the rest of the very file begun: the asked
        // start, the validator it was begun under (a server that ignores
        // If-Range would splice two files), and no more bytes than allowed.
        if (AHead.Status == 206 && LFrom == 0) {
            throw THttpError("The server sent a part of \"" + LName +
                             "\" where the whole file was asked for");
        }
        if (AHead.CompleteLength >= 0 &&
            static_cast<std::uint64_t>(AHead.CompleteLength) > AMaxSize) {
            throw THttpError(AnswerTooLargeText(AMaxSize, AReason));
        }
        if (LFrom > 0 && AHead.Status == 206) {
            if (AHead.RangeFirst != LFrom) {
                throw THttpError("The server sent another part of \"" + LName +
                                 "\" than the rest that was asked for");
            }
            const bool LByETag = LState.Validator() == LState.ETag;
            if (LByETag ? AHead.ETag != LState.ETag : AHead.LastModified != LState.LastModified) {
                throw THttpError("The server sent the rest of \"" + LName + "\" under another " +
                                 (LByETag ? "ETag" : "Last-Modified") +
                                 " than the part was begun with");
            }
        } else if (LFrom > 0) {
            const bool LChanged =
                (!LState.ETag.empty() && AHead.ETag != LState.ETag) ||
                (!LState.LastModified.empty() && AHead.LastModified != LState.LastModified);
            Note("The server sent all of \"" + LName + "\" again (" +
                 (LChanged ? "it has changed since the partial download"
                           : "it does not send the rest of a file") +
                 "); starting over");
            LStartOver();
        }
        LState.ETag = AHead.ETag;
        LState.LastModified = AHead.LastModified;
        FOffset = LFrom;
    };
    // The handler refers to this call's state; the client may outlive it.
    struct TResetHead {
        THttpClient& Client;
        ~TResetHead() { Client.OnHead = nullptr; }
    } LResetHead{*FClient};
    bool LRangeRefused = false;
    for (int LRetry = 0;;) {
        if (WantedNoMore()) {
            throw THttpError("The download was cancelled");
        }
        const std::int64_t LAskedFrom = LFrom;
        FOffset = LFrom;
        try {
            if (!SourceFile.empty()) {
                CopySourceFile(LWrite);
            } else {
                if (LFrom > 0) {
                    FClient->Range = TRangeRequest{LFrom, LState.Validator()};
                }
                FClient->Get(AUrl, LWrite);
            }
            break;
        } catch (const THttpError& AError) {
            FClient->Range.reset();
            if (!LResumable) {
                throw;
            }
            const bool LStopped = WantedNoMore();
            if (!LStopped && !AError.Cut() && LAskedFrom > 0 && !LRangeRefused) {
                // A server that refuses the rest (416, a range it did not
                // understand) may still send the whole file.
                LRangeRefused = true;
                Note("The server did not send the rest of \"" + LName + "\" (" + AError.what() +
                     "); starting over");
                LStartOver();
                continue;
            }
            // The next attempt asks for what is not on disk yet.
            LFrom = LWritten;
            if (!LStopped && AError.Cut() && LRetry < KMaxTransferRetries) {
                ++LRetry;
                if (LState.Validator().empty()) {
                    LStartOver();
                }
                LKeepState();
                const std::chrono::milliseconds LPause = RetryPause(LRetry);
                Note("The download of \"" + LName + "\" broke off after " +
                     std::to_string(LWritten) + " bytes (" + AError.what() + "); trying again in " +
                     DurationText(LPause) + " (" + std::to_string(LRetry) + " of " +
                     std::to_string(KMaxTransferRetries) + ")");
                const auto LUntil = std::chrono::steady_clock::now() + LPause;
                while (std::chrono::steady_clock::now() < LUntil && !WantedNoMore()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                continue;
            }
            if ((AError.Cut() || LStopped) && LWritten > 0 && !LState.Validator().empty() &&
                LKeepState()) {
                throw;
            }
            std::error_code LIgnored;
            std::filesystem::remove(PathFromUtf8(LStateFile), LIgnored);
            throw;
        } catch (...) {
            FClient->Range.reset();
            std::error_code LIgnored;
            std::filesystem::remove(PathFromUtf8(LStateFile), LIgnored);
            throw;
        }
    }
    if (!FStream->flush()) {
        throw std::runtime_error("Failed to write \"" + Destination + "\"");
    }
    std::error_code LIgnored;
    std::filesystem::remove(PathFromUtf8(LStateFile), LIgnored);
    FSha256 = LHasher->HexDigest();
    if (OnVerify) {
        OnVerify();
    }
    TakeFinalName();
}

// A package from a bundle folder, block by block as a download would come.
void TDownloader::CopySourceFile(const std::function<void(const char*, std::size_t)>& AWrite) {
    std::ifstream LIn(PathFromUtf8(SourceFile), std::ios::binary);
    std::error_code LSizeError;
    const auto LSize = std::filesystem::file_size(PathFromUtf8(SourceFile), LSizeError);
    if (!LIn || LSizeError) {
        throw std::runtime_error("Cannot open file \"" + SourceFile + "\". " +
                                 (LSizeError ? LSizeError.message() : std::strerror(errno)));
    }
    if (FClient->OnBegin) {
        FClient->OnBegin(static_cast<std::int64_t>(LSize));
    }
    std::vector<char> LBuffer(256 * 1024);
    std::int64_t LRead = 0;
    for (;;) {
        LIn.read(LBuffer.data(), static_cast<std::streamsize>(LBuffer.size()));
        const std::streamsize LGot = LIn.gcount();
        if (LGot <= 0) {
            break;
        }
        AWrite(LBuffer.data(), static_cast<std::size_t>(LGot));
        LRead += LGot;
        if (FClient->OnProgress) {
            FClient->OnProgress(LRead);
        }
    }
    if (LIn.bad() || static_cast<std::uint64_t>(LRead) != LSize) {
        throw std::runtime_error("Cannot read \"" + SourceFile + "\"");
    }
    if (FClient->OnEnd) {
        FClient->OnEnd(LRead);
    }
}

void TDownloader::TakeFinalName() {
    if (!static_cast<TNewFile&>(*FStream).Close()) {
        throw std::runtime_error("Failed to write \"" + Destination + "\"");
    }
    if (FReplaceDestination) {
        std::error_code LError;
        std::filesystem::rename(PathFromUtf8(PartialFileName(Destination)),
                                PathFromUtf8(Destination), LError);
        if (LError) {
            throw std::runtime_error("Cannot rename \"" + PartialFileName(Destination) +
                                     "\" to \"" + Destination + "\". " + LError.message());
        }
    } else {
        RenameNoReplace(PartialFileName(Destination), Destination);
    }
    auto LFile = std::make_unique<std::fstream>();
    // OnCompleted may read the answer back.
    LFile->open(PathFromUtf8(Destination), std::ios::in | std::ios::binary);
    if (!LFile->is_open()) {
        throw std::runtime_error("Cannot open file \"" + Destination + "\". " +
                                 std::strerror(errno));
    }
    FStream = std::move(LFile);
}

void TDownloader::DeliverCompleted() {
    RunOnHostAndWait([this] { CallHandler(OnCompleted, *this); });
}

void TDownloader::DeliverError(std::exception_ptr AError) {
    RunOnHostAndWait([this, AError] {
        try {
            std::rethrow_exception(AError);
        } catch (const std::exception& E) {
            CallHandler(OnError, E);
        } catch (...) {
            CallHandler(OnError, std::runtime_error("Unknown error"));
        }
    });
}

} // namespace orvane
