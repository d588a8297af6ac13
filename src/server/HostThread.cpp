#include "server/HostThread.h"

#include <utility>

namespace orvane {

namespace {

std::mutex GDefaultMutex;
std::shared_ptr<THostThread> GDefault;

} // namespace

std::shared_ptr<THostThread> DefaultHostThread() {
    const std::lock_guard LLock(GDefaultMutex);
    return GDefault;
}

void SetDefaultHostThread(std::shared_ptr<THostThread> AHost) {
    const std::lock_guard LLock(GDefaultMutex);
    GDefault = std::move(AHost);
}

void TQueuedHostThread::Post(std::function<void()> AWork) {
    {
        const std::lock_guard LLock(FMutex);
        if (FShutDown) {
            return;
        }
        FQueue.push_back(std::move(AWork));
    }
    FPosted.notify_all();
}

void TQueuedHostThread::ProcessPending() {
    // Only what was posted before this call: work that posts more work cannot
    // keep the caller here.
    std::deque<std::function<void()>> LBatch;
    {
        const std::lock_guard LLock(FMutex);
        LBatch.swap(FQueue);
    }
    for (auto& LWork : LBatch) {
        LWork();
    }
}

bool TQueuedHostThread::IsShuttingDown() const {
    const std::lock_guard LLock(FMutex);
    return FShutDown;
}

void TQueuedHostThread::WaitForWork(std::chrono::milliseconds ATimeout) {
    {
        std::unique_lock LLock(FMutex);
        FPosted.wait_for(LLock, ATimeout, [this] { return !FQueue.empty() || FShutDown; });
    }
    ProcessPending();
}

void TQueuedHostThread::ShutDown() {
    {
        const std::lock_guard LLock(FMutex);
        FShutDown = true;
        FQueue.clear();
    }
    FPosted.notify_all();
}

} // namespace orvane
