#include "server/Downloader.h"

#include "platform/FileNames.h"
#include "platform/NewFile.h"
#include "server/HttpClient.h"
#include "server/Protocol.h"

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

namespace orvane {

namespace {

const char* const KTokenLimitReason = "the most a token answer can be";

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
        PostToHost([this, AExpected] {
            MaxProgress = AExpected;
            CallHandler(OnStarted, *this);
            PumpHost();
        });
    };
    FClient->OnProgress = [this](std::int64_t AReceived) {
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

    if (!IsAbsoluteEndpoint(AEndPoint) && Token.empty()) {
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
        std::thread([this, AEndPoint] { RunTransfer(AEndPoint); }).detach();
    } catch (const std::exception&) {
        --GActive;
        DeliverError(std::current_exception());
        if (AutoFree) {
            delete this;
        }
    }
}

// The token request holds up its caller, the host thread, but not the window:
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

void TDownloader::RunTransfer(const std::string& AEndPoint) {
    std::exception_ptr LError;
    try {
        if (!Destination.empty()) {
            std::error_code LIgnored;
            FReplaceDestination =
                std::filesystem::symlink_status(PathFromUtf8(Destination), LIgnored).type() !=
                std::filesystem::file_type::not_found;
            FStream = std::make_unique<TNewFile>(PartialFileName(Destination));
        } else {
            FStream = std::make_unique<std::stringstream>(std::ios::in | std::ios::out |
                                                          std::ios::binary);
        }
        if (!FClient) {
            CreateClient();
        }
        FClient->PinCancelEpoch(FCancelEpoch);
        const std::string LUrl = RequestUrl(AEndPoint, APIUrl, Token);
        const auto LRequireWanted = [this] {
            if (Cancelled && *Cancelled) {
                throw THttpError("The download was cancelled");
            }
        };
        LRequireWanted();
        const bool LInMemory = Destination.empty();
        const std::uint64_t LMaxSize =
            MaxSize != 0 ? MaxSize : (LInMemory ? KMaxConfigurationBytes : UINT64_MAX);
        const std::string LMaxSizeReason =
            MaxSize != 0 || !LInMemory ? MaxSizeReason : "the most a configuration can be";
        std::uint64_t LWritten = 0;
        FClient->Get(LUrl, [&](const char* AData, std::size_t ASize) {
            LRequireWanted();
            // Stops before the block is kept: nothing beyond the limit is stored.
            if (ASize > LMaxSize - LWritten) {
                throw THttpError(AnswerTooLargeText(LMaxSize, LMaxSizeReason));
            }
            LWritten += ASize;
            if (!FStream->write(AData, static_cast<std::streamsize>(ASize))) {
                throw std::runtime_error(Destination.empty()
                                             ? std::string("Out of memory")
                                             : "Failed to write \"" + Destination + "\"");
            }
            if (OnData) {
                OnData(AData, ASize);
            }
        });
        if (!FStream->flush()) {
            throw std::runtime_error("Failed to write \"" + Destination + "\"");
        }
        if (OnVerify) {
            OnVerify();
        }
        if (!Destination.empty()) {
            TakeFinalName();
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
