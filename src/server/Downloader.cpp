#include "server/Downloader.h"

#include "platform/FileNames.h"
#include "server/HttpClient.h"
#include "server/Protocol.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace orvane {

namespace {

const char* const KTokenLimitReason = "the most a token answer can be";

// A progress bar needs no more; waking the GUI thread per block costs throughput.
constexpr auto KProgressInterval = std::chrono::milliseconds(10);

std::atomic<int> GLive{0};
std::atomic<int> GActive{0};

bool OnGuiThread() {
    const QCoreApplication* LApp = QCoreApplication::instance();
    return LApp && QThread::currentThread() == LApp->thread();
}

// Progress: queued to the GUI thread, or run at once when raised there.
template <class TFunc> void PostToGui(TFunc AFunc) {
    if (OnGuiThread()) {
        AFunc();
        return;
    }
    if (QCoreApplication* LApp = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(LApp, std::move(AFunc), Qt::QueuedConnection);
    }
}

// The final notification: runs on the GUI thread while the calling thread
// waits. A plain blocking queued call would deadlock against an application
// that is being destroyed (it waits for the pool's tasks without processing
// events), so the wait gives up when the call has not started by then.
void RunOnGuiAndWait(std::function<void()> AFunc) {
    if (OnGuiThread()) {
        AFunc();
        return;
    }
    struct TCall {
        enum { csPending, csRunning, csAbandoned };
        std::atomic<int> State{csPending};
        QSemaphore Done;
    };
    auto LCall = std::make_shared<TCall>();
    QCoreApplication* LApp = QCoreApplication::instance();
    if (!LApp || QCoreApplication::closingDown()) {
        return;
    }
    QMetaObject::invokeMethod(
        LApp,
        [LCall, AFunc = std::move(AFunc)] {
            int LExpected = TCall::csPending;
            if (!LCall->State.compare_exchange_strong(LExpected, TCall::csRunning)) {
                return;
            }
            AFunc();
            LCall->Done.release();
        },
        Qt::QueuedConnection);
    while (!LCall->Done.tryAcquire(1, 20)) {
        if (!QCoreApplication::instance() || QCoreApplication::closingDown()) {
            int LExpected = TCall::csPending;
            if (LCall->State.compare_exchange_strong(LExpected, TCall::csAbandoned)) {
                return;
            }
        }
    }
}

// Keeps the window painting. Nested pumps from notifications delivered by an
// outer pump are skipped so a burst of queued progress cannot grow the stack.
void PumpEvents() {
    static thread_local bool LPumping = false;
    if (LPumping || !QCoreApplication::instance()) {
        return;
    }
    LPumping = true;
    QCoreApplication::processEvents();
    LPumping = false;
}

template <class THandler, class... TArgs>
void CallHandler(const THandler& AHandler, TArgs&&... AArgs) {
    if (!AHandler) {
        return;
    }
    // A handler's own failure must not cross into the transfer or Qt's event
    // dispatch; the download has ended either way.
    try {
        AHandler(std::forward<TArgs>(AArgs)...);
    } catch (...) {
    }
}

} // namespace

TDownloader::TDownloader(std::string AAPIUrl, std::string AToken)
    : APIUrl(std::move(AAPIUrl)), Token(std::move(AToken)) {
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

void TDownloader::AbortAll() {
    THttpClient::CancelAll();
    while (GActive.load() > 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

void TDownloader::CreateClient() {
    FClient = std::make_unique<THttpClient>();
    FClient->OnBegin = [this](std::int64_t AExpected) {
        PostToGui([this, AExpected] {
            MaxProgress = AExpected;
            CallHandler(OnStarted, *this);
            PumpEvents();
        });
    };
    FClient->OnProgress = [this](std::int64_t AReceived) {
        if (OnGuiThread()) {
            Progress = AReceived;
            CallHandler(OnProgress, *this);
            PumpEvents();
            return;
        }
        // A GUI thread slower than the network would otherwise face one queued
        // call per received block.
        FLatestProgress = AReceived;
        const auto LNow = std::chrono::steady_clock::now();
        if (LNow - FLastProgressPost < KProgressInterval || FProgressQueued.exchange(true)) {
            return;
        }
        FLastProgressPost = LNow;
        PostToGui([this] {
            FProgressQueued = false;
            Progress = FLatestProgress;
            CallHandler(OnProgress, *this);
            PumpEvents();
        });
    };
    FClient->OnEnd = [this](std::int64_t AReceived) {
        PostToGui([this, AReceived] {
            // Without an announced length the end still reports a full bar.
            if (MaxProgress < 0) {
                MaxProgress = AReceived;
            }
            Progress = MaxProgress;
            CallHandler(OnProgress, *this);
            PumpEvents();
        });
    };
}

namespace {

// The application's teardown waits for the pool's tasks: transfers still
// running then are cancelled first, so a program that ends mid-download does
// not wait for the rest of it.
void CancelTransfersAtExit() {
    static QCoreApplication* LRegisteredFor = nullptr;
    QCoreApplication* LApp = QCoreApplication::instance();
    if (LApp && LApp != LRegisteredFor) {
        LRegisteredFor = LApp;
        qAddPostRoutine([] {
            LRegisteredFor = nullptr;
            THttpClient::CancelAll();
        });
    }
}

} // namespace

void TDownloader::Download(const std::string& AEndPoint, const std::string& ADestFile,
                           bool AAutoFree) {
    CancelTransfersAtExit();
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
                LBody = GetWhileGuiRuns(LUrl);
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
    QThreadPool::globalInstance()->start([this, AEndPoint] { RunTransfer(AEndPoint); });
}

// The token request holds up its caller, the GUI thread, but not the window:
// the request runs on a thread of its own while this one keeps processing
// events, so the window paints, and closing it cancels the request (AbortAll
// waits for it like for a transfer). Whatever HTTP client is used, a silent
// server cannot freeze the window.
std::string TDownloader::GetWhileGuiRuns(const std::string& AUrl) {
    if (!OnGuiThread()) {
        return FClient->GetText(AUrl, KMaxTokenAnswerBytes, KTokenLimitReason);
    }
    struct TRequest {
        std::string Body;
        std::exception_ptr Error;
        QSemaphore Finished;
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
        LRequest->Finished.release();
    });
    while (!LRequest->Finished.tryAcquire(1, 10)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    LThread.join();
    // The answer's progress notifications were queued from that thread; they
    // run now, before the caller goes on (and before this object may go).
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    if (LRequest->Error) {
        std::rethrow_exception(LRequest->Error);
    }
    return LRequest->Body;
}

void TDownloader::RunTransfer(const std::string& AEndPoint) {
    std::exception_ptr LError;
    try {
        if (!Destination.empty()) {
            const std::string LPartial = PartialFileName(Destination);
            auto LFile = std::make_unique<std::fstream>();
            LFile->open(PathFromUtf8(LPartial),
                        std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
            if (!LFile->is_open()) {
                throw std::runtime_error("Cannot create file \"" + LPartial + "\". " +
                                         std::strerror(errno));
            }
            FStream = std::move(LFile);
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
    auto& LFile = static_cast<std::fstream&>(*FStream);
    LFile.close();
    if (LFile.fail()) {
        throw std::runtime_error("Failed to write \"" + Destination + "\"");
    }
    std::error_code LError;
    std::filesystem::rename(PathFromUtf8(PartialFileName(Destination)), PathFromUtf8(Destination),
                            LError);
    if (LError) {
        throw std::runtime_error("Cannot rename \"" + PartialFileName(Destination) + "\" to \"" +
                                 Destination + "\". " + LError.message());
    }
    // OnCompleted may read the answer back.
    LFile.open(PathFromUtf8(Destination), std::ios::in | std::ios::binary);
    if (!LFile.is_open()) {
        throw std::runtime_error("Cannot open file \"" + Destination + "\". " +
                                 std::strerror(errno));
    }
}

void TDownloader::DeliverCompleted() {
    RunOnGuiAndWait([this] { CallHandler(OnCompleted, *this); });
}

void TDownloader::DeliverError(std::exception_ptr AError) {
    RunOnGuiAndWait([this, AError] {
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
