#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace orvane {

// The one thread a front end does its work on (the window's GUI thread, the
// console program's main thread), and how background threads hand work to it.
class THostThread {
public:
    virtual ~THostThread() = default;

    // Any thread: runs AWork on the host thread later, in the order posted.
    // Work posted after the host stopped running it is dropped.
    virtual void Post(std::function<void()> AWork) = 0;
    // Any thread.
    virtual bool IsHostThread() const = 0;
    // Host thread: runs the work posted so far; the window also paints and
    // takes input here. Returns soon; it never waits for work to come.
    virtual void ProcessPending() = 0;
    // Host thread: runs the work posted so far and nothing else.
    virtual void RunPosted() { ProcessPending(); }
    // Any thread: the host no longer runs posted work (its program is ending),
    // so nobody may wait for posted work to run.
    virtual bool IsShuttingDown() const { return false; }
};

// Where downloaders deliver unless they are given a host: the window's GUI
// thread once the application exists. Null until a program sets one.
std::shared_ptr<THostThread> DefaultHostThread();
void SetDefaultHostThread(std::shared_ptr<THostThread> AHost);

// A host thread for programs without an event loop (the console program,
// tests): posted work waits in a queue until the thread that created this
// object calls ProcessPending or WaitForWork.
class TQueuedHostThread : public THostThread {
public:
    TQueuedHostThread() : FThread(std::this_thread::get_id()) {}

    void Post(std::function<void()> AWork) override;
    bool IsHostThread() const override { return std::this_thread::get_id() == FThread; }
    void ProcessPending() override;
    bool IsShuttingDown() const override;

    // Host thread: sleeps until work is posted or ATimeout passed, then runs it.
    void WaitForWork(std::chrono::milliseconds ATimeout);
    // Any thread: posted work is dropped from now on (the program ends).
    void ShutDown();

private:
    const std::thread::id FThread;
    mutable std::mutex FMutex;
    std::condition_variable FPosted;
    std::deque<std::function<void()>> FQueue;
    bool FShutDown = false;
};

} // namespace orvane
